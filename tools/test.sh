#!/usr/bin/env bash
# Builds meshfold and runs every test. Installs with apt-get whatever a fresh
# Debian machine is missing. Usage: bash tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ libgtest-dev
# The interop tests compare against an independent importer of the packed form.
need_packages assimp-utils
# The kernel benchmark, and /usr/bin/time for peak memory in bench/e2e.sh.
need_packages libbenchmark-dev time

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build and test"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMESHFOLD_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== windows build, its tests under wine, packages"
bash tools/package.sh

# Figures only, never judged: a tiny run keeps the benchmarks building and
# working. The real measurement is described in docs/performance.md.
echo "== benchmark smoke run"
bash bench/e2e.sh --quick --meshfold build/release/meshfold

echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer (clang)"
need_packages clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMESHFOLD_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== fuzzing the core for 60 seconds"
bash tools/fuzz.sh
