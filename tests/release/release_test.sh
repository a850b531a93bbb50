#!/usr/bin/env bash
# The release command with a throwaway certificate authority and code-signing certificate.
#   release_test.sh build WORK VERSION   refusals; an unsigned and a signed release in two folders
#   release_test.sh install WORK WINE    the signed release under Wine (test bed running)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd) mode=$1 work=$2
ca=$work/ca status=0
fail() { echo "FAIL: $*" >&2; status=1; }
unset "${!BRENLOW_@}"
verifies() { osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" >/dev/null 2>&1; }
digest() {
  osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" 2>&1 | grep 'Calculated message' || echo "$1"
}

build() {
  rm -rf "$work" && mkdir -p "$ca" && cd "$ca" || exit 1
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj /CN=Signer 2>/dev/null
  echo extendedKeyUsage=codeSigning >ext
  openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext \
    -out leaf.pem 2>/dev/null && cat leaf.pem ca.pem >chain.pem
  cd "$root" || exit 1
  local pem="BRENLOW_SIGN_CERTS=$ca/chain.pem BRENLOW_SIGN_KEY=$ca/leaf.key" out file
  local package=TevrinAgent-$1-x64.msi
  # Refused before anything is built or removed, each saying why.
  # Each case: the environment, the arguments, what the refusal says.
  for case in "||pass --unsigned" "BRENLOW_SIGN_PFX=$ca/x.pfx||needs BRENLOW_SIGN_PASSWORD_FILE" \
    "$pem|--unsigned|drop one or the other"; do
    IFS='|' read -r environment arguments reason <<<"$case"
    # shellcheck disable=SC2086 # the words are variables and arguments
    out=$(env $environment tools/release.sh $arguments "$work/refused" 2>&1) &&
      fail "'$environment $arguments' not refused"
    [[ "$out" == *"$reason"* && ! -e $work/refused ]] || fail "'$environment $arguments' gave: $out"
  done
  # A folder that merely holds an artifacts/ folder is no release's: refused, left as it was.
  mkdir -p "$work/other/artifacts" && echo keep >"$work/other/notes.txt"
  out=$(tools/release.sh --unsigned "$work/other" 2>&1) && fail "a folder of other files not refused"
  [[ "$out" == *"not marked"* && -f $work/other/notes.txt ]] || fail "a folder of other files: $out"
  # The two releases are made side by side: each spends a good part of its time on one core
  # (configuring, packing, signing) while the other compiles.
  tools/release.sh --unsigned "$work/unsigned" >"$work/unsigned.log" 2>&1 &
  local unsigned=$!
  # The signed release goes where an earlier one was: its artifact goes, a file of others stays.
  # The earlier release's mark is there as soon as that release has begun.
  for i in $(seq 600); do [ -f "$work/unsigned/.tevrin-release" ] && break || sleep 0.1; done
  mkdir -p "$work/signed/artifacts" && cp "$work/unsigned/.tevrin-release" "$work/signed/" &&
    touch "$work/signed/artifacts/TevrinAgent-0.0.1-x64.msi" "$work/signed/notes.txt"
  # shellcheck disable=SC2086
  out=$(env $pem BRENLOW_SIGN_CA="$ca/ca.pem" tools/release.sh "$work/signed" 2>&1) &&
    [[ "$out" == *"Signed build"*"NOT timestamped"* ]] || fail "signed release: $out"
  wait "$unsigned" && [[ "$(cat "$work/unsigned.log")" == *"UNSIGNED build"* ]] ||
    fail "unsigned release: $(cat "$work/unsigned.log")"
  cd "$work/signed/artifacts" || exit 1
  # shellcheck disable=SC2012 # plain names
  [ "$(ls | LC_ALL=C sort | xargs)" = "SHA256SUMS $package brenlow.exe seclister.exe" ] &&
    sha256sum --quiet -c SHA256SUMS || fail "artifacts or SHA256SUMS: $(ls)"
  for file in brenlow.exe seclister.exe "$package"; do
    [[ "$out" == *"$(sha256sum "$file")"* ]] && verifies "$file" || fail "$file: no signature or sum"
    python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[len(b) // 2] ^= 1
open(sys.argv[2], "wb").write(b)' "$file" "$work/tampered"
    verifies "$work/tampered" && fail "$file with one byte changed still verifies"
  done
  for file in brenlow.exe seclister.exe; do
    x86_64-w64-mingw32-windres -i "$file" -O rc | grep -q "VALUE \"FileVersion\", \"$1\"" ||
      fail "signed $file lost its version resource"
    # The unsigned build, in another folder, made the same executable: signed, the same digest.
    osslsigncode sign -certs "$ca/chain.pem" -key "$ca/leaf.key" -h sha256 \
      -in "$work/unsigned/artifacts/$file" -out "$work/resigned-$file" >/dev/null
    [ "$(digest "$file")" = "$(digest "$work/resigned-$file")" ] || fail "$file differs in builds"
  done
  [ -f "$work/signed/notes.txt" ] || fail "the release removed a file it had not made"
  # Both builds name the same tools, each with its version.
  grep -q '^compiler: x86_64-w64-mingw32-g++.* [0-9]' ../TOOLCHAIN && grep -q '^wixl: [0-9]' ../TOOLCHAIN &&
    grep -q '^osslsigncode: osslsigncode [0-9]' ../TOOLCHAIN &&
    cmp -s ../TOOLCHAIN "$work/unsigned/TOOLCHAIN" || fail "TOOLCHAIN: $(cat ../TOOLCHAIN)"
}

install() {
  local artifacts=$work/signed/artifacts package out
  package="Z:$(echo "$artifacts"/TevrinAgent-*-x64.msi | tr / '\\')"
  out=$("$1" "$artifacts/seclister.exe" 2>/dev/null) && [[ "$out" == *"1: "* ]] ||
    fail "signed seclister.exe: $out"
  "$1" msiexec /i "$package" /qn /l*v "Z:${work//\//\\}\\install.log" || fail "see install.log"
  local installed
  installed="$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$1")/drive_c/Program Files/Tevrin Agent/brenlow.exe"
  cmp "$artifacts/brenlow.exe" "$installed" || fail "the installed brenlow.exe is not the release's"
  for ((i = 0; i < 60; i++)); do
    "$1" sc query TevrinInternalSvc | grep -q RUNNING && break || sleep 1
  done
  ((i < 60)) || fail "the signed package's service does not run"
  "$1" msiexec /x "$package" /qn || fail "the signed package did not uninstall"
  "$1" sc query TevrinInternalSvc >/dev/null && fail "the service is left after uninstall"
}

case "$mode" in
  build | install) cd "$root" && "$mode" "$3" ;;
  *) echo "usage: see $0" >&2 && exit 2 ;;
esac
[ $status -eq 0 ] && echo "release as expected ($mode)"
exit $status
