#!/usr/bin/env bash
# What the package promises on Windows but Wine's installer cannot show, read from its tables:
# the refused downgrade says why (Wine's msiexec does not show or log the message); a failed
# install deletes the service it created (Wine runs no custom rollback action); a repair
# evaluates the brenlow.ini conditions again (Transitive; Wine always does); the settings reach
# the system-context part of an elevated install (SecureCustomProperties); an upgrade that fails
# rolls back to the older version (its removal runs inside the transaction, before any file of
# the new one is installed); the install folder's access list (MsiLockPermissionsEx; Wine's
# installer ignores it).
# Usage: check-tables.sh PACKAGE
set -euo pipefail
package=$1
status=0
fail() { echo "$package: $*" >&2; status=1; }
row() { msiinfo export "$package" "$1" | tr -d '\r' | awk -F'\t' -v key="$2" '$1 == key'; }

row LaunchCondition 'NOT WIX_DOWNGRADE_DETECTED' | grep -q 'A newer version of Tevrin Agent' ||
  fail "no message for a refused downgrade"

rollback=$(row CustomAction InstallServiceRollback)
type=$(cut -f2 <<<"$rollback")
[ -n "$type" ] && (((type & 0x100) && (type & 0x400) && (type & 0x800))) &&
  [ "$(cut -f4 <<<"$rollback")" = --uninstall ] ||
  fail "the service's rollback action is not a deferred rollback of --uninstall: '$rollback'"
sequence=$(msiinfo export "$package" InstallExecuteSequence | tr -d '\r')
at() { awk -F'\t' -v a="$1" '$1 == a {print $3}' <<<"$sequence"; }
[ "$(at InstallServiceRollback)" -lt "$(at InstallService)" ] ||
  fail "the rollback action is not scheduled before the service is created"
removal=$(at RemoveExistingProducts)
[ -n "$removal" ] && [ "$removal" -gt "$(at InstallInitialize)" ] &&
  [ "$removal" -lt "$(at ProcessComponents)" ] && [ "$removal" -lt "$(at InstallFiles)" ] ||
  fail "the older product is not removed inside the transaction before the files: $removal"

for component in IniPhpExePath:PHP_EXE_PATH IniWebRootPath:WEB_ROOT_PATH \
  IniScriptTimeLimit:SCRIPT_TIME_LIMIT; do
  line=$(row Component "${component%%:*}")
  attributes=$(cut -f4 <<<"$line")
  [ -n "$attributes" ] && ((attributes & 64)) && [ "$(cut -f5 <<<"$line")" = "${component#*:}" ] ||
    fail "component ${component%%:*} is not transitive on ${component#*:}: '$line'"
done

secure=$(row Property SecureCustomProperties | cut -f2)
for property in INSTALLDIR PHP_EXE_PATH WEB_ROOT_PATH SCRIPT_TIME_LIMIT; do
  [[ ";$secure;" == *";$property;"* ]] || fail "$property is not a secure property"
done

row IniFile ScriptTimeLimit | grep -qP '^ScriptTimeLimit\tbrenlow.ini\tINSTALLDIR\tGeneral\tScriptTimeLimit\t\[SCRIPT_TIME_LIMIT\]\t0\tIniScriptTimeLimit$' ||
  fail "no brenlow.ini row for SCRIPT_TIME_LIMIT"

# The folder is locked through the row of a component that every install has: SYSTEM and
# Administrators full control, Users read and execute, protected, inherited by what is inside.
msiinfo export "$package" CreateFolder | tr -d '\r' | grep -qP '^INSTALLDIR\tBrenlow$' ||
  fail "the install folder has no CreateFolder row of its own"
[ "$(row MsiLockPermissionsEx InstallFolder)" = "$(printf '%s\t' InstallFolder INSTALLDIR \
  CreateFolder 'D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)')" ] ||
  fail "the install folder's access list is not as expected: '$(row MsiLockPermissionsEx InstallFolder)'"

[ $status -eq 0 ] && echo "tables as expected: $package"
exit $status
