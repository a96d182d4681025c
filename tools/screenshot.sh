#!/usr/bin/env bash
# The README's picture: exports a mesh of ../shared/corpus with --to-gltf and
# renders the .glb headless with Blender (its own glTF importer, Cycles on
# the CPU) into docs/gltf-export.png.
# Usage: bash tools/screenshot.sh [MESH [FRAME]]
# The default, mar_rifle (frame 0), is the one corpus mesh whose author lets
# anyone use it ("free for any use"; see the corpus's PROVENANCE.md).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make g++ blender python3-numpy
mesh=${1:-mar_rifle}
frame=${2:-0}
corpus=../shared/corpus
[ -f "$corpus/${mesh}_a.3d" ] || { echo "no mesh $mesh in $corpus" >&2; exit 1; }
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target meshfold -j 2 >/dev/null
work=build/screenshot
rm -rf "$work"
mkdir -p "$work" docs
cp "$corpus/${mesh}_a.3d" "$corpus/${mesh}_d.3d" "$work/"
build/release/meshfold --to-gltf "$work/$mesh"
# Debian's Blender with Debian's numpy: nothing of another Python's setup.
env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
  --python-exit-code 1 -P tools/screenshot.py -- "$work/$mesh.glb" "$frame" "$PWD/docs/gltf-export.png" \
  >"$work/blender.log" 2>&1 || { tail -20 "$work/blender.log" >&2; exit 1; }
echo "docs/gltf-export.png: $mesh.glb, frame $frame, as Blender's glTF importer shows it"
