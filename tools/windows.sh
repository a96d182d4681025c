#!/usr/bin/env bash
# The Windows build: cross-compiles meshfold.exe with MinGW-w64 (statically
# linked) into build/win and runs the end-to-end tests against it under Wine,
# beside the native build in build/release. Installs what is missing.
# Usage: bash tools/windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ libgtest-dev libtinygltf-dev nlohmann-json3-dev libstb-dev zlib1g-dev \
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64

jobs=$(nproc 2>/dev/null || echo 2)
root=$PWD

echo "== windows: build meshfold.exe"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESHFOLD_BUILD_TESTS=ON \
  -DMESHFOLD_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs" >/dev/null
cmake --no-warn-unused-cli -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESHFOLD_BUILD_TESTS=OFF -DMESHFOLD_BUILD_BENCH=OFF \
  -DMESHFOLD_WERROR=ON >/dev/null
cmake --build build/win -j "$jobs"

# A bare Windows has only its own DLLs: nothing from MinGW may be needed.
dlls=$(x86_64-w64-mingw32-objdump -p build/win/meshfold.exe | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
for dll in $dlls; do
  case $dll in
    kernel32.dll|msvcrt.dll|shell32.dll|user32.dll|advapi32.dll) ;;
    *) echo "meshfold.exe needs $dll: it must be linked statically" >&2; exit 1 ;;
  esac
done

# The file properties show what the program is: its version resource has the
# project's version and the licence's copyright line. Its strings are UTF-16;
# each key ends a line (after its header words) and its value is the next line.
echo "== windows: version resource"
x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc build/win/meshfold.exe build/win/rsrc.bin
resource=$(iconv -c -f UTF-16LE -t UTF-8 build/win/rsrc.bin | tr '\0' '\n')
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win/CMakeCache.txt)
copyright="$(grep -m1 '^Copyright ' LICENSE), MIT License"
for entry in ProductName=meshfold OriginalFilename=meshfold.exe FileVersion="$version" \
    ProductVersion="$version" LegalCopyright="$copyright"; do
  key=${entry%%=*} expected=${entry#*=}
  value=$(awk -v key="$key" 'found && NF { print; exit } $0 ~ ("\001" key "$") { found = 1 }' <<<"$resource")
  [ "$value" = "$expected" ] || {
    echo "meshfold.exe's version resource has $key \"$value\", expected \"$expected\"" >&2
    exit 1
  }
done

# Its manifest lets Windows hand it paths past 260 characters.
grep -q longPathAware build/win/rsrc.bin || {
  echo "meshfold.exe has no long-path-aware manifest" >&2
  exit 1
}

# A Wine prefix of our own under the build folder; every Wine process it
# starts is ended when this script ends, however it ends.
export WINEPREFIX="$root/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8 # file names and arguments pass between Linux and Wine as UTF-8
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
echo "== windows: wine prefix"
wine wineboot --init </dev/null >/dev/null 2>&1 || true
wineserver -w
# One server for the whole run: an idle one ends after three seconds, and a
# program started just then may fail to reach it.
wineserver -p

echo "== windows: tests of meshfold.exe under wine"
export MESHFOLD_EXE="$root/build/win/meshfold.exe" MESHFOLD_RUNNER=wine
export MESHFOLD_HOLD_EXE="$root/build/win/tests/windows/hold_open.exe"
build/release/tests/meshfold_cli_tests --gtest_brief=1 </dev/null
build/release/tests/windows/meshfold_wine_tests --gtest_brief=1 </dev/null
