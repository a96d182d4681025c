#!/usr/bin/env bash
# Builds meshfold and runs every test: the native suite on the Release build,
# the Windows build's tests under Wine with the packages, a benchmark smoke
# run, the suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang), and a minute of fuzzing; every build warning-free. Installs with apt-get whatever a fresh Debian machine is missing.
# Usage: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ libgtest-dev libtinygltf-dev nlohmann-json3-dev libstb-dev zlib1g-dev
# The interop tests compare against an independent importer of the packed form.
need_packages assimp-utils
# The .glb files of --to-gltf, read by Khronos' validator and three.js (npm,
# into the build folder; pngjs decodes the PNGs three.js gets in node),
# Blender's glTF importer (which needs numpy, not pulled in) and assimp;
# Pillow reads the texture writer's PCX files back; tiny_gltf and nlohmann's JSON
# for the tests' own reader.
need_packages nodejs blender python3-numpy python3-pil nlohmann-json3-dev libtinygltf-dev
# Some nodejs packages bring npm along; Debian's is a package of its own.
command -v npm >/dev/null || need_packages npm
for module in gltf-validator three pngjs; do
  if [ ! -d "build/node/node_modules/$module" ]; then
    npm install --prefix build/node --no-audit --no-fund "$module" >/dev/null
  fi
done
# The kernel benchmark, and /usr/bin/time for peak memory in bench/e2e.sh.
need_packages libbenchmark-dev time

jobs=$(nproc 2>/dev/null || echo 2)
logs=build/test-logs
mkdir -p "$logs"

echo "== build and test"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DMESHFOLD_BUILD_TESTS=ON \
  -DMESHFOLD_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" | tee "$logs/release.txt"

# The build above is the one a packager makes (Release: g++ at -O3, where it
# warns of what it does not at lower levels) with every test, warnings as
# errors; g++'s other warnings come from its front end, the same at every
# level. clang's come from its front end alone: its sanitizer build below,
# warnings as errors, is its warning-free build.

echo "== windows build, its tests under wine, packages"
bash tools/package.sh | tee "$logs/windows.txt"

# Figures only, never judged: a tiny run keeps the benchmarks building and
# working. The real measurement is described in docs/performance.md.
echo "== benchmark smoke run"
bash bench/e2e.sh --quick --meshfold build/release/meshfold
bash bench/gltf.sh --reps 1 --frames 50 --meshfold build/release/meshfold
bash bench/package.sh --reps 1 --meshfold build/release/meshfold

echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
need_packages clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMESHFOLD_SANITIZE=ON -DMESHFOLD_WERROR=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
# Each run is several times slower here: the power-cut replay samples 128
# of the combinations of a cut's unflushed folder operations instead of 1024
# (every state is still tried while a cut leaves at most 7 of them open).
# The outside readers' tests ("reader") judge files the native run has
# already shown them, and are left out here.
MESHFOLD_POWER_CUT_SAMPLES=128 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -LE reader | tee "$logs/sanitize.txt"

echo "== fuzzing the core for 60 seconds"
bash tools/fuzz.sh

# Every stage above stops the script on a failure, so reaching this point
# means everything passed; the counts say how much ran.
ctest_count() { sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$1" | tail -1; }
gtest_count() { sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$1" | awk '{s += $1} END {print s + 0}'; }
release=$(ctest_count "$logs/release.txt")
sanitize=$(ctest_count "$logs/sanitize.txt")
wine=$(gtest_count "$logs/windows.txt")
echo "== summary: native $release, under wine $wine, sanitizers $sanitize," \
  "built without warnings by g++ (Release) and clang; fuzzing 60 s; $((SECONDS / 60)) min $((SECONDS % 60)) s"
echo "$((release + wine + sanitize)) passed, 0 failed"
