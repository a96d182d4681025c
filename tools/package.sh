#!/usr/bin/env bash
# Builds meshfold.exe and tests it under Wine (tools/windows.sh), then builds
# the packages into build/packages: the Debian package, checked with lintian
# and for its bash completion, and the Windows .zip. Installs what is missing.
# Usage: bash tools/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/windows.sh
source tools/deps.sh
need_packages dpkg-dev file lintian unzip gzip

echo "== packages"
rm -rf build/packages
mkdir -p build/packages
(cd build/release && cpack -G DEB -B "$PWD/../packages" >/dev/null)
(cd build/win && cpack -G ZIP -B "$PWD/../packages" >/dev/null)
rm -rf build/packages/_CPack_Packages
deb=$(ls build/packages/meshfold_*.deb)
zip=$(ls build/packages/meshfold-*-win64.zip)

# The .deb carries the bash completion where bash-completion finds it.
dpkg-deb -c "$deb" | grep ' \./usr/share/bash-completion/completions/meshfold$' >/dev/null || {
  echo "$deb lacks the bash completion /usr/share/bash-completion/completions/meshfold" >&2
  exit 1
}

# Errors fail the build; warnings are shown.
status=0
lintian --fail-on error "$deb" >build/lintian.txt 2>&1 || status=$?
grep -v "running with root privileges" build/lintian.txt || true
[ "$status" -eq 0 ] || { echo "lintian found errors in $deb" >&2; exit 1; }

# The .zip's program must run on its own, stripped as it is.
export WINEPREFIX="$PWD/build/win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
unpacked=build/packages/unzipped
unzip -q -o "$zip" -d "$unpacked"
banner=$(wine "$unpacked"/meshfold-*/meshfold.exe --version </dev/null | tr -d '\r')
rm -rf "$unpacked"
[ "$banner" = $'\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane' ] || {
  echo "the packaged meshfold.exe printed: $banner" >&2
  exit 1
}
ls -l build/packages
