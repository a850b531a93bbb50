#!/usr/bin/env bash
# The release command with a throwaway certificate authority and code-signing certificate.
#   release_test.sh build WORK VERSION   what it refuses; an unsigned and a signed release of
#                                        the commit in two folders; signatures, tampering,
#                                        checksums, the same executables in both
#   release_test.sh install WORK WINE    the signed release under Wine: the executables run and
#                                        the package installs and uninstalls (test bed running)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
mode=$1 work=$2
ca=$work/ca
status=0
fail() { echo "FAIL: $*" >&2; status=1; }
unset BRENLOW_SIGN_PFX BRENLOW_SIGN_CERTS BRENLOW_SIGN_KEY BRENLOW_SIGN_PASSWORD_FILE \
  BRENLOW_TIMESTAMP_URL BRENLOW_SIGN_CA

make_ca() {
  rm -rf "$work" && mkdir -p "$ca" && cd "$ca"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Tevrin Release Test CA" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr \
    -subj "/CN=Tevrin Release Test" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >ext
  openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out leaf.pem \
    -extfile ext 2>/dev/null
  cat leaf.pem ca.pem >chain.pem
  echo "not a real secret" >password
  openssl pkcs12 -export -in leaf.pem -inkey leaf.key -certfile ca.pem -out leaf.pfx \
    -passout file:password
  cd "$root"
}

verifies() { osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" >/dev/null 2>&1; }
# The Authenticode digest: the file's bytes less its signature.
digest() {
  osslsigncode verify -CAfile "$ca/ca.pem" -in "$1" 2>&1 | grep 'Calculated message digest' ||
    echo "no digest for $1"
}

build() {
  local version=$1 out
  make_ca
  # Refused before anything is built, each with the reason; nothing is made.
  while IFS='|' read -r environment arguments reason; do
    # shellcheck disable=SC2086 # each word is one variable or one argument
    if out=$(env $environment tools/release.sh $arguments "$work/refused" 2>&1); then
      fail "release with '$environment $arguments' succeeded"
    fi
    [[ "$out" == *"$reason"* ]] || fail "release with '$environment $arguments' said: $out"
    [ ! -e "$work/refused" ] || fail "release with '$environment $arguments' left $work/refused"
  done <<EOF
||pass --unsigned
BRENLOW_SIGN_PFX=$ca/leaf.pfx||needs BRENLOW_SIGN_PASSWORD_FILE
BRENLOW_SIGN_KEY=$ca/leaf.key||go together
BRENLOW_SIGN_PFX=$ca/leaf.pfx BRENLOW_SIGN_CERTS=$ca/chain.pem BRENLOW_SIGN_KEY=$ca/leaf.key BRENLOW_SIGN_PASSWORD_FILE=$ca/password||not both
BRENLOW_SIGN_CERTS=$ca/chain.pem BRENLOW_SIGN_KEY=$ca/leaf.key|--unsigned|drop one or the other
BRENLOW_SIGN_CERTS=$ca/missing.pem BRENLOW_SIGN_KEY=$ca/leaf.key||cannot read
EOF

  out=$(tools/release.sh --unsigned "$work/unsigned" 2>&1) || fail "unsigned release: $out"
  [[ "$out" == *"UNSIGNED build"* ]] || fail "the unsigned release does not say so: $out"
  verifies "$work/unsigned/artifacts/brenlow.exe" && fail "the unsigned brenlow.exe is signed"

  out=$(BRENLOW_SIGN_PFX=$ca/leaf.pfx BRENLOW_SIGN_PASSWORD_FILE=$ca/password \
    BRENLOW_SIGN_CA=$ca/ca.pem tools/release.sh "$work/signed" 2>&1) || fail "signed release: $out"
  [[ "$out" == *"Signed build"*"NOT timestamped"* ]] || fail "the signed release says: $out"

  local package=TevrinAgent-$version-x64.msi file
  cd "$work/signed/artifacts"
  [ "$(ls | LC_ALL=C sort | tr '\n' ' ')" = "SHA256SUMS TevrinAgent-$version-x64.msi brenlow.exe seclister.exe " ] ||
    fail "artifacts: $(ls)"
  sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS does not match the artifacts"
  for file in brenlow.exe seclister.exe "$package"; do
    [[ "$out" == *"$(sha256sum "$file")"* ]] || fail "the release did not print the SHA-256 of $file"
    verifies "$file" || fail "$file does not verify against the test authority"
    # One byte changed in the middle, where code or the packed files are.
    python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[len(b) // 2] ^= 1
open(sys.argv[2], "wb").write(b)' "$file" "$work/tampered"
    verifies "$work/tampered" && fail "$file with one byte changed still verifies"
  done
  for file in brenlow.exe seclister.exe; do
    x86_64-w64-mingw32-windres -i "$file" -O rc | grep -q "VALUE \"FileVersion\", \"$version\"" ||
      fail "signed $file lost its version resource"
    # The other build, in another folder, made the same executable: signed the same, it has the
    # same digest.
    osslsigncode sign -certs "$ca/chain.pem" -key "$ca/leaf.key" -h sha256 \
      -in "$work/unsigned/artifacts/$file" -out "$work/resigned-$file" >/dev/null
    [ "$(digest "$file")" = "$(digest "$work/resigned-$file")" ] ||
      fail "$file differs between the signed and the unsigned build"
  done
}

install() {
  local wine=$1 artifacts=$work/signed/artifacts folder out
  folder="$(dirname "$wine")/testbed/wineprefix/drive_c/Program Files/Tevrin Agent"
  out=$("$wine" "$artifacts/seclister.exe" 2>/dev/null) || fail "signed seclister.exe failed: $out"
  [[ "$out" == *"1: "* ]] || fail "signed seclister.exe listed nothing: $out"
  local package
  package=$(ls "$artifacts"/TevrinAgent-*-x64.msi)
  local log="Z:${work//\//\\}\\msiexec"
  "$wine" msiexec /i "Z:${package//\//\\}" /qn /l*v "$log-install.log" 2>/dev/null ||
    fail "the signed package did not install (log: $work/msiexec-install.log)"
  cmp "$artifacts/brenlow.exe" "$folder/brenlow.exe" || fail "installed brenlow.exe is not the signed one"
  local waited=0
  until "$wine" sc query TevrinInternalSvc 2>/dev/null | grep -q RUNNING; do
    ((++waited < 60)) || { fail "the signed package's service is not running"; break; }
    sleep 1
  done
  "$wine" msiexec /x "Z:${package//\//\\}" /qn /l*v "$log-uninstall.log" 2>/dev/null ||
    fail "the signed package did not uninstall (log: $work/msiexec-uninstall.log)"
  "$wine" sc query TevrinInternalSvc >/dev/null 2>&1 && fail "the service is left after uninstall"
  [ ! -e "$folder/brenlow.exe" ] ||
    fail "brenlow.exe is left after uninstall (log: $work/msiexec-uninstall.log)"
}

cd "$root"
case "$mode" in
  build) build "$3" ;;
  install) install "$3" ;;
  *) echo "usage: $0 build WORK VERSION | install WORK WINE" >&2; exit 2 ;;
esac
[ $status -eq 0 ] && echo "release as expected ($mode)"
exit $status
