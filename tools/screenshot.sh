#!/usr/bin/env bash
# The README's picture: exports a mesh with --to-gltf --uc, its textures
# embedded, and renders the .glb headless with Blender (its own glTF
# importer, Cycles on the CPU) into docs/gltf-export.png.
# Usage: bash tools/screenshot.sh [MESH [FRAME]]
# The default is the bundled example cube (frame 1), with its own skin and
# import script (examples/: the texture is ours, made by
# tools/make_example_texture.py). Any other MESH is taken from
# ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ libtinygltf-dev nlohmann-json3-dev libstb-dev zlib1g-dev blender python3-numpy
mesh=${1:-Cube}
frame=${2:-1}
corpus=../shared/corpus
[ "$mesh" = Cube ] || [ -f "$corpus/${mesh}_a.3d" ] || { echo "no mesh $mesh in $corpus" >&2; exit 1; }
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target meshfold -j 2 >/dev/null
work=build/screenshot
rm -rf "$work"
mkdir -p "$work" docs
if [ "$mesh" = Cube ]; then
  cp -r examples/. "$work/"
else
  cp "$corpus/${mesh}_a.3d" "$corpus/${mesh}_d.3d" "$work/"
fi
build/release/meshfold --to-gltf --uc "$work/$mesh"
# Debian's Blender with Debian's numpy: nothing of another Python's setup.
env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
  --python-exit-code 1 -P tools/screenshot.py -- "$work/$mesh.glb" "$frame" "$PWD/docs/gltf-export.png" \
  >"$work/blender.log" 2>&1 || { tail -20 "$work/blender.log" >&2; exit 1; }
echo "docs/gltf-export.png: $mesh.glb, frame $frame, as Blender's glTF importer shows it"
