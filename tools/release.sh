#!/usr/bin/env bash
# Makes a release of the commit checked out: builds it from a clean copy of that commit, signs
# brenlow.exe and seclister.exe, packs the signed executables into the installer package, signs
# the package, and leaves in DIR/artifacts/ exactly brenlow.exe, seclister.exe,
# TevrinAgent-<version>-x64.msi and SHA256SUMS, and beside them DIR/TOOLCHAIN (the versions of
# the tools that made them, to compare a rebuild with). Prints each artifact's SHA-256 and
# whether the build is signed.
#
#   tools/release.sh [--unsigned] [DIR]      DIR defaults to build/release
#
# The certificate comes from the environment, one of:
#   BRENLOW_SIGN_PFX=<file.pfx>  BRENLOW_SIGN_PASSWORD_FILE=<file holding its password>
#   BRENLOW_SIGN_CERTS=<PEM: the signing certificate and its chain>  BRENLOW_SIGN_KEY=<PEM key>
#     (BRENLOW_SIGN_PASSWORD_FILE too when the key is encrypted)
# and optionally:
#   BRENLOW_TIMESTAMP_URL=<RFC 3161 server>   keeps the signatures valid after the certificate
#                                             expires; a real release should have one
#   BRENLOW_SIGN_CA=<PEM of the root>         what the signatures are checked against before the
#                                             release is declared made (default: the system's
#                                             certificate store)
# Without a certificate it refuses, unless --unsigned asks for an unsigned build outright: a
# release never comes out unsigned by accident.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
refuse() {
  echo "release: $*" >&2
  exit 2
}

unsigned=false
dir=
for arg in "$@"; do
  case "$arg" in
    --unsigned) unsigned=true ;;
    -*) refuse "unknown option $arg (usage: tools/release.sh [--unsigned] [DIR])" ;;
    *) [ -z "$dir" ] || refuse "one folder only (usage: tools/release.sh [--unsigned] [DIR])"
       dir=$arg ;;
  esac
done
dir=$(realpath -m "${dir:-$root/build/release}")

# Which certificate, decided before anything is built.
pfx=${BRENLOW_SIGN_PFX:-} certs=${BRENLOW_SIGN_CERTS:-} key=${BRENLOW_SIGN_KEY:-}
password=${BRENLOW_SIGN_PASSWORD_FILE:-} tsa=${BRENLOW_TIMESTAMP_URL:-} ca=${BRENLOW_SIGN_CA:-}
sign_args=()
if $unsigned; then
  [ -z "$pfx$certs$key" ] ||
    refuse "--unsigned while a certificate is set (BRENLOW_SIGN_PFX, _CERTS or _KEY): drop one or the other"
elif [ -n "$pfx" ]; then
  [ -z "$certs$key" ] || refuse "give BRENLOW_SIGN_PFX or BRENLOW_SIGN_CERTS with _KEY, not both"
  [ -n "$password" ] || refuse "BRENLOW_SIGN_PFX needs BRENLOW_SIGN_PASSWORD_FILE"
  sign_args=(-pkcs12 "$pfx")
elif [ -n "$certs$key" ]; then
  [ -n "$certs" ] && [ -n "$key" ] || refuse "BRENLOW_SIGN_CERTS and BRENLOW_SIGN_KEY go together"
  sign_args=(-certs "$certs" -key "$key")
else
  refuse "no certificate to sign with. Set BRENLOW_SIGN_PFX and BRENLOW_SIGN_PASSWORD_FILE," \
    "or BRENLOW_SIGN_CERTS and BRENLOW_SIGN_KEY (see docs/DEVELOPING.md, Making a release);" \
    "or pass --unsigned for an unsigned build."
fi
for file in "$pfx" "$certs" "$key" "$password" "$ca"; do
  [ -z "$file" ] || [ -r "$file" ] || refuse "cannot read $file"
done
[ -z "$password" ] || sign_args+=(-readpass "$password")
[ -z "$tsa" ] || sign_args+=(-ts "$tsa")

"$root/tools/setup.sh"
commit=$(git -C "$root" rev-parse HEAD) || refuse "$root is not a git checkout"
[ -z "$(git -C "$root" status --porcelain --untracked-files=no)" ] ||
  echo "release: note: uncommitted changes in $root are not in this release; it builds commit $commit"
# The commit's time stands for every time a tool would otherwise write (the package's).
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")

# A clean copy of the commit, built on its own; the artifacts appear only once all is done.
# A release marks its folder; of a marked folder only what a release makes is removed, and a
# folder that holds anything without the mark is refused.
marker=.tevrin-release made=(source build signed artifacts TOOLCHAIN "$marker")
if [ -n "$(ls -A "$dir" 2>/dev/null)" ] && [ ! -f "$dir/$marker" ]; then
  refuse "$dir is not empty and not marked as an earlier release's folder ($marker): give another DIR"
fi
for entry in "${made[@]}"; do rm -rf "${dir:?}/$entry"; done
mkdir -p "$dir/source" "$dir/signed" "$dir/artifacts"
echo "A folder of tools/release.sh: it removes source, build, signed, artifacts and TOOLCHAIN here at every release." >"$dir/$marker"
# The tools' versions, to compare a rebuild with: the same versions make the same bytes.
{
  echo "commit $commit"
  echo "compiler: $(x86_64-w64-mingw32-g++-posix --version | head -n 1)"
  echo "binutils: $(x86_64-w64-mingw32-ld --version | head -n 1)"
  echo "cmake: $(cmake --version | head -n 1)"
  echo "wixl: $(wixl --version 2>&1 | head -n 1)"
  echo "msibuild: msitools $(dpkg-query -W -f '${Version}' msitools 2>/dev/null || echo unknown)"
  echo "osslsigncode: $(osslsigncode --version 2>&1 | head -n 1)"
} >"$dir/TOOLCHAIN"
git -C "$root" archive "$commit" | tar -x -C "$dir/source"
# The copy holds no git data: the commit that brenlow.exe --version shows is passed in.
cmake -S "$dir/source" -B "$dir/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$dir/source/cmake/mingw-w64-x86_64.cmake" \
  -DBRENLOW_COMMIT="$(git -C "$root" rev-parse --short=10 "$commit")" \
  -DCMAKE_BUILD_TYPE=Release -DBRENLOW_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir/build" --target brenlow seclister

sign() { # IN OUT: an Authenticode SHA-256 signature, or a plain copy for an unsigned build
  if $unsigned; then
    cp "$1" "$2"
  else
    osslsigncode sign "${sign_args[@]}" -h sha256 -n "Tevrin Agent" -in "$1" -out "$2" >/dev/null
  fi
}
for exe in brenlow seclister; do
  sign "$dir/build/bin/$exe.exe" "$dir/signed/$exe.exe"
  # The package's cabinet records each file's time: the commit's, as for the package.
  touch -d "@$SOURCE_DATE_EPOCH" "$dir/signed/$exe.exe"
done

# The package of the signed executables, with the arguments of the build's own package.
args_file=$(ls "$dir"/build/TevrinAgent-*-x64.msi.args)
package=$(basename "$args_file" .args)
version=${package#TevrinAgent-} version=${version%-x64.msi}
mapfile -t package_args <"$args_file"
cmake "${package_args[@]}" -DBIN_DIR="$dir/signed" -DOUTPUT="$dir/build/$package" \
  -P "$dir/source/installer/BuildPackage.cmake"
sign "$dir/build/$package" "$dir/signed/$package"

# A signature that is missing or does not check out stops the release here.
if ! $unsigned; then
  for file in brenlow.exe seclister.exe "$package"; do
    osslsigncode verify ${ca:+-CAfile "$ca"} -in "$dir/signed/$file" >"$dir/build/verify-$file.log" 2>&1 ||
      refuse "the signature of $file does not verify; see $dir/build/verify-$file.log"
  done
fi

cd "$dir/signed"
sha256sum brenlow.exe seclister.exe "$package" >SHA256SUMS
mv brenlow.exe seclister.exe "$package" SHA256SUMS "$dir/artifacts/"
echo
echo "Release of commit $commit (version $version) in $dir/artifacts:"
sed 's/^/  /' "$dir/artifacts/SHA256SUMS"
if $unsigned; then
  echo "UNSIGNED build, as asked (--unsigned): not for release to hosts."
elif [ -n "$tsa" ]; then
  echo "Signed build (Authenticode, SHA-256), timestamped by $tsa."
else
  echo "Signed build (Authenticode, SHA-256), NOT timestamped (no BRENLOW_TIMESTAMP_URL): the" \
    "signatures stop being valid when the certificate expires."
fi
