#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian, as root). Idempotent.
set -euo pipefail

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(mingw-w64 g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-windres >/dev/null || missing+=(binutils-mingw-w64-x86-64)
command -v wine >/dev/null || missing+=(wine64 wine)
command -v wineserver >/dev/null || missing+=(wine64)
command -v cmake >/dev/null || missing+=(cmake)
command -v python3 >/dev/null || missing+=(python3)
command -v ninja >/dev/null || missing+=(ninja-build)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
# The installer package: wixl builds it, msibuild (msitools) adds the brenlow.ini rows.
command -v wixl >/dev/null || missing+=(wixl)
command -v msibuild >/dev/null || missing+=(msitools)
# The release (tools/release.sh): Authenticode signing, the tests' throwaway certificates, and
# the stopped clock the package is made on.
command -v osslsigncode >/dev/null || missing+=(osslsigncode)
command -v openssl >/dev/null || missing+=(openssl)
command -v faketime >/dev/null || missing+=(faketime)
command -v git >/dev/null || missing+=(git)
# The status test's JSON parser (header-only, compiled into that test program only).
[ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
# The native fuzz targets (tools/fuzz.sh): clang with libFuzzer and the sanitizer runtimes.
command -v clang++-14 >/dev/null || missing+=(clang-14)
[ -f /usr/lib/llvm-14/lib/libFuzzer.a ] || missing+=(libfuzzer-14-dev)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
  missing+=(libclang-rt-14-dev)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
