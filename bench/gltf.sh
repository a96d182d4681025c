#!/usr/bin/env bash
# The time and peak memory of making a game mesh from a glTF file: a skinned
# column of 2048 vertices and 4032 triangles on a chain of 8 joints, 700
# frames (bench/make_skinned_glb.py), imported in the Deus Ex form; median of
# REPS runs, each from a fresh folder. Prints figures, never judges them.
#
# Usage: bash bench/gltf.sh [--reps N] [--frames N] [--meshfold PATH]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
reps=7
frames=700
meshfold="$repo/build/release/meshfold"
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=$2; shift 2 ;;
    --frames) frames=$2; shift 2 ;;
    --meshfold) meshfold=$2; shift 2 ;;
    *) sed -n '2,8p' "$0"; exit 2 ;;
  esac
done
if [ ! -x "$meshfold" ]; then
  cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$repo/build/release" -j 2 --target meshfold >/dev/null
fi
meshfold=$(realpath "$meshfold")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
python3 "$repo/bench/make_skinned_glb.py" "$dir/Column.glb" "$frames"
cd "$dir"
times=()
for ((i = 0; i < reps; i++)); do
  rm -f Column_a.3d Column_d.3d
  start=${EPOCHREALTIME/./}
  "$meshfold" Column.glb >/dev/null
  end=${EPOCHREALTIME/./}
  times+=($(( (10#$end - 10#$start) / 1000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}')
rss=$(/usr/bin/time -f %M "$meshfold" Column.glb 2>&1 >/dev/null | tail -1)
size=$(stat -c %s Column.glb)
anim=$(stat -c %s Column_a.3d)
echo "glTF import: $frames frames, $(( size / 1024 )) KiB .glb -> $(( anim / 1024 )) KiB animation file:" \
  "median ${median} ms of $reps runs (${times[*]} ms), peak memory $(( rss / 1024 )) MiB"
