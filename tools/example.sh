#!/usr/bin/env bash
# Builds meshfold and converts a copy of the bundled example mesh (a turning
# cube, examples/Cube_a.3d + examples/Cube_d.3d). The originals stay as they
# are; the converted copy is in build/example/. Usage: bash tools/example.sh [switches]
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ libtinygltf-dev nlohmann-json3-dev libstb-dev zlib1g-dev

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DMESHFOLD_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" --target meshfold >/dev/null

rm -rf build/example
mkdir -p build/example
cp examples/Cube_a.3d examples/Cube_d.3d build/example/
cd build/example
echo "before: $(wc -c < Cube_a.3d) bytes in Cube_a.3d, $(wc -c < Cube_d.3d) in Cube_d.3d"
status=0
../release/meshfold "$@" Cube || status=$?
echo
echo "after:  $(wc -c < Cube_a.3d) bytes in Cube_a.3d, $(wc -c < Cube_d.3d) in Cube_d.3d (exit status $status)"
exit "$status"
