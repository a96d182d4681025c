#!/usr/bin/env bash
# The time and peak memory of taking a compiled package apart: every mesh and
# texture of the largest package of ../shared/corpus-ue1 (Jazz3.u, 4 MB: a
# mesh of 355 frames and 37 textures) and of the Deus Ex package Endemia.u
# (53 meshes, 161 textures: many small files), each into a fresh folder,
# against `cp -r` + `sync` of the folder it writes; paired runs in
# alternating order, medians and the median ratio. Then the peak resident
# memory of each run (/usr/bin/time) against the package's size + 16 MiB.
# Prints figures, never judges them: a busy machine or a slow disk changes
# the numbers, not the exit status. It fails only when a run fails.
#
# Usage: bash bench/package.sh [--reps N] [--meshfold PATH] [--package FILE]...
#   --reps      paired runs of each package (default 9)
#   --meshfold  the binary (default: build/release/meshfold, built when missing)
#   --package   a package to measure instead (repeatable)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
reps=9
meshfold="$repo/build/release/meshfold"
packages=()
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=$2; shift 2 ;;
    --meshfold) meshfold=$2; shift 2 ;;
    --package) packages+=("$(realpath "$2")"); shift 2 ;;
    *) sed -n '2,16p' "$0"; exit 2 ;;
  esac
done
if [ ${#packages[@]} -eq 0 ]; then
  corpus="$repo/../shared/corpus-ue1"
  for p in SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/Jazz3.u deusexhq_partystuff/System/Endemia.u; do
    [ -f "$corpus/$p" ] && packages+=("$(realpath "$corpus/$p")")
  done
fi
if [ ${#packages[@]} -eq 0 ]; then
  echo "no package to measure: ../shared/corpus-ue1 is not beside the repository (--package FILE)"
  exit 0
fi
if [ ! -x "$meshfold" ]; then
  cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$repo/build/release" -j 2 --target meshfold >/dev/null
fi
meshfold=$(realpath "$meshfold")
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package: time)" >&2; exit 1; }
# On the repository's disk, which is the one a modder's packages are on here.
mkdir -p "$repo/build"
dir=$(mktemp -d "$repo/build/package-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"

now_us() { local t=${EPOCHREALTIME/./}; echo "$((10#$t))"; }
median() { sort -n | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else printf "%.6g\n", (v[NR/2]+v[NR/2+1])/2}'; }
extract() { "$meshfold" "$1" >/dev/null || { echo "meshfold failed on $1" >&2; exit 1; }; }
copy_and_sync() { cp -r ref "$1" && sync; }

echo "meshfold package figures, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "binary: $meshfold"
echo "scratch: $dir ($(df -T "$dir" | awk 'NR==2 {print $2}')); load before: $(uptime | sed 's/.*load average: //')"
for package in "${packages[@]}"; do
  name=$(basename "$package")
  stem=${name%.*}
  cp "$package" "$name"
  extract "$name"
  mv "$stem" ref
  files=$(find ref -type f | wc -l)
  bytes=$(du -sb ref | cut -f1)
  a=() b=() r=()
  for ((i = 0; i < reps; i++)); do
    rm -rf "$stem" copy; sync
    if ((i % 2 == 0)); then
      t0=$(now_us); extract "$name"; t1=$(now_us); sync
      t2=$(now_us); copy_and_sync copy; t3=$(now_us)
    else
      t2=$(now_us); copy_and_sync copy; t3=$(now_us); sync
      t0=$(now_us); extract "$name"; t1=$(now_us)
    fi
    diff -r ref "$stem" >/dev/null || { echo "$name: the folder differs from the first run's" >&2; exit 1; }
    a+=($((t1 - t0))) b+=($((t3 - t2)))
    r+=("$(awk -v a=$((t1 - t0)) -v b=$((t3 - t2)) 'BEGIN {printf "%.4f", a / b}')")
  done
  rm -rf "$stem"
  rss=$(/usr/bin/time -f %M "$meshfold" "$name" 2>&1 >/dev/null | tail -1)
  size=$(stat -c %s "$name")
  rm -rf "$stem" copy ref "$name"
  ma=$(printf '%s\n' "${a[@]}" | median)
  mb=$(printf '%s\n' "${b[@]}" | median)
  mr=$(printf '%s\n' "${r[@]}" | median)
  echo
  echo "$name: $size bytes; writes $files files, $bytes bytes"
  awk -v a="$ma" -v b="$mb" -v r="$mr" -v n="$reps" 'BEGIN {
    printf "  taken apart:      %8.1f ms (median of %d)\n", a / 1000, n
    printf "  cp -r + sync:     %8.1f ms\n", b / 1000
    printf "  ratio:            %8.2f (median of the paired ratios; goal: at most 3)\n", r }'
  echo "  runs (ms): $(printf '%s\n' "${a[@]}" | awk '{printf "%s%.0f", (NR > 1 ? " " : ""), $1 / 1000}')"
  echo "  cp + sync (ms): $(printf '%s\n' "${b[@]}" | awk '{printf "%s%.0f", (NR > 1 ? " " : ""), $1 / 1000}')"
  awk -v rss="$rss" -v size="$size" 'BEGIN {
    printf "  peak memory:      %8.1f MiB, against the package %.1f MiB + 16 MiB = %.1f MiB\n",
      rss / 1024, size / 1048576, size / 1048576 + 16 }'
done
echo
echo "load after: $(uptime | sed 's/.*load average: //')"
