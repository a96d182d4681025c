#!/usr/bin/env bash
# The performance figures of meshfold on this machine and its disk:
#   1. converting a large animation file against `cp` + `sync` of a file the
#      size of the output (median of paired runs, and the median ratio), and
#      taking the converted file back with --to-unreal;
#   2. meshfold's peak resident memory for a small and a large input;
#   3. converting a 4-vertex mesh against `cp` of its animation file;
#   4. converting a folder of small meshes in one call, against a shell loop
#      of one call per mesh and against `cp -r` of the folder + `sync`, with
#      the call's peak memory and a run under a low open-files limit;
#   5. the conversion kernel against memcpy of its output bytes (the
#      kernel benchmark, repetitions interleaved, medians);
#   6. with --growth, how the time and memory grow with the input size;
#   7. --to-gltf: exporting the whole corpus folder against `cp` + `sync`
#      of the .glb files it writes, the same for every mesh of the real
#      packages (../shared/corpus-packages) with --uc, their textures
#      embedded (and without, for comparison), the bytes of each PNG
#      embedded against Pillow's optimize=True on the same pixels
#      (bench/png_sizes.py), and the peak memory of exporting a mesh of 20
#      frames against one of 20,000 frames of the same vertices.
# It prints figures and never judges them: a slow disk or a busy machine
# changes the numbers, not the exit status. It fails only when a conversion
# fails or writes a file of the wrong size (with the open files limited to 48
# for the folder of small meshes, which needs fewer whatever its size).
#
# Usage: bash bench/e2e.sh [--quick] [--reps N] [--size-mib N] [--rss-mib "A B"]
#                          [--small-reps N] [--meshes N] [--meshes-reps N]
#                          [--growth "A B C"] [--dir DIR] [--meshfold PATH]
#                          [--no-kernel] [--growth-only] [--meshes-only]
#                          [--gltf-reps N] [--gltf-frames N] [--gltf-only]
#   --quick       tiny sizes and few repetitions (a smoke run for CI)
#   --reps        paired runs of the large conversion (default 7)
#   --size-mib    size of the large animation file in MiB (default 64)
#   --rss-mib     input sizes in MiB whose peak memory is measured (default "1 256")
#   --small-reps  paired runs of the 4-vertex mesh (default 41)
#   --meshes      number of small meshes in the folder (default 1000; 0 skips it);
#                 copies of the 1384-byte BunnyStatue of ../shared/corpus beside
#                 the repository, or a generated mesh of that size without it
#   --meshes-reps runs of each of the three folder commands (default 3)
#   --growth      input sizes in MiB for the growth table (default: none)
#   --dir         scratch folder; must be on the disk to be measured
#                 (default build/e2e under the repository, removed afterwards)
#   --meshfold    the binary to measure (default: build/release/meshfold, built
#                 with cmake when missing); the kernel benchmark is taken from
#                 bench/ in the same build folder
#   --no-kernel   skip the kernel benchmark
#   --growth-only only the growth table (give --growth too)
#   --meshes-only only the folder of small meshes
#   --gltf-reps   paired runs of the corpus export (default 5; 0 skips section 7)
#   --gltf-frames frames of the long mesh whose export memory is measured
#                 (default 20000)
#   --gltf-only   only section 7
#   --help        print this text
set -euo pipefail
shopt -s inherit_errexit

repo=$(cd "$(dirname "$0")/.." && pwd)
reps=7
size_mib=64
rss_mib="1 256"
small_reps=41
meshes=1000
meshes_reps=3
growth=""
growth_reps=5
growth_only=0
meshes_only=0
gltf_reps=5
gltf_frames=20000
gltf_only=0
dir="$repo/build/e2e"
meshfold=""
kernel=1
kernel_args=(--benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
  --benchmark_report_aggregates_only=true)

while [ $# -gt 0 ]; do
  case "$1" in
    --quick)
      reps=3; size_mib=1; rss_mib="1 4"; small_reps=5; meshes=50; meshes_reps=1
      gltf_reps=1; gltf_frames=2000
      kernel_args=(--words=4096 --benchmark_min_time=0.01); shift ;;
    --reps) reps=$2; shift 2 ;;
    --size-mib) size_mib=$2; shift 2 ;;
    --rss-mib) rss_mib=$2; shift 2 ;;
    --small-reps) small_reps=$2; shift 2 ;;
    --meshes) meshes=$2; shift 2 ;;
    --meshes-reps) meshes_reps=$2; shift 2 ;;
    --growth) growth=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --meshfold) meshfold=$2; shift 2 ;;
    --no-kernel) kernel=0; shift ;;
    --growth-only) growth_only=1; kernel=0; shift ;;
    --meshes-only) meshes_only=1; kernel=0; shift ;;
    --gltf-reps) gltf_reps=$2; shift 2 ;;
    --gltf-frames) gltf_frames=$2; shift 2 ;;
    --gltf-only) gltf_only=1; growth_only=1; kernel=0; meshes=0; shift ;;
    --help) sed -n '2,/^set -euo/p' "$0" | sed -n 's/^# \{0,1\}//p'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

if [ -z "$meshfold" ]; then
  meshfold="$repo/build/release/meshfold"
  if [ ! -x "$meshfold" ]; then
    cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$repo/build/release" --target meshfold -j 2 >/dev/null
  fi
fi
meshfold=$(cd "$(dirname "$meshfold")" && pwd)/$(basename "$meshfold")
kernel_bench=$(dirname "$meshfold")/bench/meshfold_kernel_bench
if [ "$kernel" = 1 ] && [ ! -x "$kernel_bench" ]; then
  cmake --build "$(dirname "$meshfold")" --target meshfold_kernel_bench -j 2 >/dev/null ||
    { echo "cannot build the kernel benchmark (needs libbenchmark-dev); --no-kernel skips it" >&2; exit 1; }
fi
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package: time)" >&2; exit 1; }

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
cleanup() {
  rm -f "$dir"/*.3d "$dir"/*.pristine "$dir"/*.wide "$dir"/*.out "$dir"/*.meshfold-*
  rm -rf "$dir"/meshes.src "$dir"/meshes.run "$dir"/meshes.copy "$dir"/gltf.run "$dir"/gltf.copy
  rm -f "$dir"/*.glb
  rmdir "$dir" 2>/dev/null || true
}
trap cleanup EXIT
cd "$dir"

# The largest packed frame that can still be converted: 8191 vertices of 4
# bytes (a frame size of 32764, doubled to 65528).
readonly kVertices=8191
readonly kMiB=1048576

le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8)))"; }

# make_mesh NAME BYTES: NAME_a.pristine (at most BYTES long: whole frames of
# random vertex words after the 4-byte header) and NAME_d.3d (one triangle).
# Prints the word count.
make_mesh() {
  local name=$1 bytes=$2 vertices=$kVertices
  local words=$(((bytes - 4) / 4))
  [ "$words" -lt "$vertices" ] && vertices=$words
  local frames=$((words / vertices))
  [ "$frames" -gt 65535 ] && frames=65535
  words=$((frames * vertices))
  { le16 "$frames"; le16 $((vertices * 4)); head -c $((words * 4)) /dev/urandom; } >"${name}_a.pristine"
  { le16 1; le16 "$vertices"; head -c 44 /dev/zero; le16 0; le16 1; le16 2; head -c 10 /dev/zero; } >"${name}_d.3d"
  echo "$words"
}

run_meshfold() { "$meshfold" "$1" >/dev/null || { echo "meshfold failed on $1" >&2; exit 1; }; }
run_back() { "$meshfold" --to-unreal "$1" >/dev/null || { echo "meshfold --to-unreal failed on $1" >&2; exit 1; }; }

# Checks that NAME's animation file now holds WORDS wide vertices.
check_output() {
  local name=$1 words=$2 got
  got=$(stat -c %s "${name}_a.3d")
  [ "$got" -eq $((4 + 8 * words)) ] || { echo "$name: output is $got bytes, expected $((4 + 8 * words))" >&2; exit 1; }
}

fresh_copy() { cp "$1_a.pristine" "$1_a.3d"; }

now_us() { local t=${EPOCHREALTIME/./}; echo "$((10#$t))"; }

median() { sort -n | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else printf "%.6g\n", (v[NR/2]+v[NR/2+1])/2}'; }

# time_us CMD...: wall time of CMD in microseconds, process start included.
time_us() {
  local t0 t1
  t0=$(now_us)
  "$@"
  t1=$(now_us)
  echo $((t1 - t0))
}

copy_and_sync() { cp "$1" "$2" && sync "$2"; }

# Times `reps` pairs on mesh NAME of WORDS words: meshfold converting a fresh
# copy, and cp + sync of copy_src.out, in alternating order so that neither
# always runs second. Leaves the times (us) in pair_a and pair_b and the
# ratios in pair_r.
paired_runs() {
  local name=$1 words=$2 reps=$3 i a b
  pair_a=() pair_b=() pair_r=()
  for ((i = 0; i < reps; i++)); do
    fresh_copy "$name"; rm -f copy_dst.out; sync
    if ((i % 2 == 0)); then
      a=$(time_us run_meshfold "$name"); sync
      b=$(time_us copy_and_sync copy_src.out copy_dst.out)
    else
      b=$(time_us copy_and_sync copy_src.out copy_dst.out); sync
      a=$(time_us run_meshfold "$name")
    fi
    check_output "$name" "$words"
    pair_a+=("$a") pair_b+=("$b")
    pair_r+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.4f", a / b}')")
  done
}

echo "meshfold end-to-end figures, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "binary: $meshfold"
echo "scratch: $dir ($(df -T "$dir" | awk 'NR==2 {print $2}'))"
echo "load before: $(uptime | sed 's/.*load average/load average/')"
echo

peak_rss_kib() {
  /usr/bin/time -f %M -o rss.out "$meshfold" "$1" >/dev/null || { echo "meshfold failed on $1" >&2; exit 1; }
  cat rss.out
}

# The folder of small meshes: meshes.src holds the pristine copies;
# meshes.run is refilled from it before each conversion, outside the timing.
readonly kCorpusMesh=BunnyStatue # 345 vertices, 1 frame: 1384 + 8960 bytes
readonly kFdLimit=48             # a run needs ~36 open files, not one per mesh
corpus="$repo/../shared/corpus"
packages="$repo/../shared/corpus-packages"

make_many() {
  local i words src_a src_d
  rm -rf meshes.src
  mkdir meshes.src
  if [ -f "$corpus/${kCorpusMesh}_a.3d" ] && [ -f "$corpus/${kCorpusMesh}_d.3d" ]; then
    src_a="$corpus/${kCorpusMesh}_a.3d" src_d="$corpus/${kCorpusMesh}_d.3d"
    words=$((($(stat -c %s "$src_a") - 4) / 4))
    many_source="$kCorpusMesh from $(cd "$corpus" && pwd)"
  else
    words=$(make_mesh gen 1384)
    mv gen_a.pristine meshes.src/gen_a.3d
    mv gen_d.3d meshes.src/gen_d.3d
    src_a=meshes.src/gen_a.3d src_d=meshes.src/gen_d.3d
    many_source="a generated 1384-byte mesh, no corpus at $corpus"
  fi
  for ((i = 1; i <= meshes; i++)); do
    cp "$src_a" "meshes.src/m${i}_a.3d"
    cp "$src_d" "meshes.src/m${i}_d.3d"
  done
  rm -f meshes.src/gen_a.3d meshes.src/gen_d.3d
  chmod u+w meshes.src/*
  many_words=$words
  many_bytes=$(du -sb --apparent-size meshes.src | cut -f1)
}

fresh_many() { rm -rf meshes.run && cp -r meshes.src meshes.run && sync; }

# Every animation file in meshes.run holds many_words wide vertices.
check_many() {
  local bad
  bad=$(stat -c '%s %n' meshes.run/*_a.3d | awk -v s=$((4 + 8 * many_words)) '$1 != s' | head -3)
  [ -z "$bad" ] || { echo "not converted as expected (want $((4 + 8 * many_words)) bytes): $bad" >&2; exit 1; }
}

many_one_call() {
  (cd meshes.run && "$meshfold" *_a.3d >../many.out) || { echo "meshfold failed on the folder" >&2; exit 1; }
  grep -q "^$meshes meshes: $meshes converted," many.out ||
    { tail -3 many.out >&2; echo "not every mesh was converted" >&2; exit 1; }
}

many_loop() {
  (cd meshes.run && for f in *_a.3d; do "$meshfold" "$f" >/dev/null || exit 1; done) ||
    { echo "meshfold failed in the loop" >&2; exit 1; }
}

many_copy() { cp -r meshes.src meshes.copy && sync; }

# Most open files at once, from an strace of the call (openat against close).
max_open_files() {
  strace -f -qq -e trace=openat,open,close,dup,dup2,dup3,fcntl -o strace.out \
    "$meshfold" meshes.run/*_a.3d >/dev/null || { echo "meshfold failed under strace" >&2; exit 1; }
  awk '/(openat|open|dup[23]?)\(/ && / = [0-9]+$/ {n++; if (n > m) m = n}
       /fcntl\(.*F_DUPFD/ && / = [0-9]+$/ {n++; if (n > m) m = n}
       /close\(/ && / = 0$/ {n--} END {print m + 3}' strace.out
  rm -f strace.out
}

many_section() {
  local i a b c one_t=() loop_t=() copy_t=() ratios=() kib peak_fds
  make_many
  for ((i = 0; i < meshes_reps; i++)); do
    # The three commands take turns at going first.
    for step in $(printf '%s\n' one loop copy one loop | sed -n "$((i % 3 + 1)),+2p"); do
      case $step in
        one) fresh_many; a=$(time_us many_one_call); check_many ;;
        loop) fresh_many; b=$(time_us many_loop); check_many ;;
        copy) rm -rf meshes.copy; sync; c=$(time_us many_copy) ;;
      esac
    done
    one_t+=("$a") loop_t+=("$b") copy_t+=("$c")
    ratios+=("$(awk -v a="$a" -v c="$c" 'BEGIN {printf "%.3f", a / c}')")
  done
  rm -rf meshes.copy

  # Peak memory, and the same call allowed only kFdLimit open files.
  fresh_many
  (ulimit -n "$kFdLimit" && cd meshes.run &&
    /usr/bin/time -f %M -o ../rss.out "$meshfold" *_a.3d >../many.out) ||
    { tail -3 many.out >&2; echo "meshfold failed on $meshes meshes with ulimit -n $kFdLimit" >&2; exit 1; }
  grep -q "^$meshes meshes: $meshes converted," many.out || { echo "not every mesh was converted" >&2; exit 1; }
  check_many
  kib=$(cat rss.out)
  peak_fds="not measured (no strace)"
  if command -v strace >/dev/null; then
    fresh_many
    peak_fds="$(max_open_files) (strace of a call, standard streams included)"
    check_many
  fi
  rm -rf meshes.run meshes.src rss.out many.out

  ms() { printf '%s\n' "$@" | median | awk '{printf "%.1f", $1 / 1000}'; }
  all_ms() { printf '%s\n' "$@" | awk '{printf "%s%.0f", (NR > 1 ? " " : ""), $1 / 1000}'; }
  echo "4. $meshes small meshes in one folder ($many_source; $many_words words each, $many_bytes bytes in all), runs of each: $meshes_reps"
  echo "   meshfold *_a.3d (one call): median $(ms "${one_t[@]}") ms   runs: $(all_ms "${one_t[@]}") ms"
  echo "   loop of $meshes single calls:  median $(ms "${loop_t[@]}") ms   runs: $(all_ms "${loop_t[@]}") ms"
  echo "   cp -r of the folder + sync:  median $(ms "${copy_t[@]}") ms   runs: $(all_ms "${copy_t[@]}") ms"
  echo "   ratio one call / (cp -r + sync): median $(printf '%s\n' "${ratios[@]}" | median)   per run: ${ratios[*]}"
  echo "   ratio loop / one call: $(awk -v a="$(printf '%s\n' "${loop_t[@]}" | median)" -v b="$(printf '%s\n' "${one_t[@]}" | median)" 'BEGIN {printf "%.1f", a / b}')"
  printf '   peak resident memory of the call: %s KiB (%.2f MiB)\n' "$kib" "$(awk -v k="$kib" 'BEGIN {print k / 1024}')"
  echo "   with ulimit -n $kFdLimit: all $meshes meshes converted; most open files at once: $peak_fds"
  echo
}

if [ "$growth_only" = 0 ] && [ "$meshes_only" = 0 ]; then
  # 1. Large file against cp + sync of the output size.
  words=$(make_mesh big $((size_mib * kMiB)))
  out_bytes=$((4 + 8 * words))
  head -c "$out_bytes" /dev/urandom >copy_src.out
  sync
  paired_runs big "$words" "$reps"
  a_times=("${pair_a[@]}") b_times=("${pair_b[@]}") ratios=("${pair_r[@]}")
  # The way back, on copies of the converted file.
  mv big_a.3d big_a.wide
  back_times=()
  for ((i = 0; i < reps; i++)); do
    cp big_a.wide big_a.3d; sync
    back_times+=("$(time_us run_back big)")
    got=$(stat -c %s big_a.3d)
    [ "$got" -eq $((4 + 4 * words)) ] || { echo "--to-unreal wrote $got bytes, expected $((4 + 4 * words))" >&2; exit 1; }
  done
  back_med=$(printf '%s\n' "${back_times[@]}" | median)
  rm -f copy_dst.out copy_src.out big_a.3d big_a.wide big_a.pristine big_d.3d
  a_med=$(printf '%s\n' "${a_times[@]}" | median)
  b_med=$(printf '%s\n' "${b_times[@]}" | median)
  r_med=$(printf '%s\n' "${ratios[@]}" | median)
  echo "1. ${size_mib} MiB animation file ($words words, $out_bytes bytes out), $reps paired runs"
  echo "   meshfold:           median $(awk -v t="$a_med" 'BEGIN {printf "%.1f", t / 1000}') ms   runs: ${a_times[*]} us"
  echo "   cp + sync (output): median $(awk -v t="$b_med" 'BEGIN {printf "%.1f", t / 1000}') ms   runs: ${b_times[*]} us"
  echo "   ratio meshfold / (cp + sync): median $r_med   per pair: ${ratios[*]}"
  echo "   meshfold throughput: $(awk -v t="$a_med" -v n="$out_bytes" 'BEGIN {printf "%.0f", n / t}') MB/s written"
  echo "   meshfold --to-unreal of the output: median $(awk -v t="$back_med" 'BEGIN {printf "%.1f", t / 1000}') ms   runs: ${back_times[*]} us"
  echo

  # 2. Peak resident memory.
  echo "2. peak resident memory of meshfold (/usr/bin/time, max of 3 runs)"
  for mib in $rss_mib; do
    words=$(make_mesh rss $((mib * kMiB)))
    peak=0
    for _ in 1 2 3; do
      fresh_copy rss
      kib=$(peak_rss_kib rss)
      [ "$kib" -gt "$peak" ] && peak=$kib
    done
    printf '   %5s MiB input: %6s KiB (%.2f MiB)\n' "$mib" "$peak" "$(awk -v k="$peak" 'BEGIN {print k / 1024}')"
    rm -f rss_a.3d rss_a.pristine rss_d.3d rss.out
  done
  echo

  # 3. A 4-vertex mesh against cp of its animation file.
  make_mesh tiny 20 >/dev/null
  a_times=() b_times=() ratios=()
  for ((i = 0; i < small_reps; i++)); do
    fresh_copy tiny
    rm -f tiny_copy.out
    sync
    if ((i % 2 == 0)); then
      a=$(time_us run_meshfold tiny)
      b=$(time_us cp tiny_a.pristine tiny_copy.out)
    else
      b=$(time_us cp tiny_a.pristine tiny_copy.out)
      a=$(time_us run_meshfold tiny)
    fi
    check_output tiny 4
    a_times+=("$a") b_times+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", a / b}')")
  done
  rm -f tiny_a.3d tiny_a.pristine tiny_d.3d tiny_copy.out
  echo "3. 4-vertex mesh, $small_reps paired runs"
  echo "   meshfold:              median $(printf '%s\n' "${a_times[@]}" | median) us"
  echo "   cp of animation file:  median $(printf '%s\n' "${b_times[@]}" | median) us"
  echo "   ratio meshfold / cp: median $(printf '%s\n' "${ratios[@]}" | median)"
  echo
fi

# 4. A folder of small meshes: one call against one call per mesh and against
# cp -r + sync of the same files.
if [ "$growth_only" = 0 ] && [ "$meshes" -gt 0 ]; then
  many_section
fi

# 5. The kernel against memcpy.
if [ "$kernel" = 1 ]; then
  echo "5. conversion kernel against memcpy of the output bytes ($kernel_bench ${kernel_args[*]})"
  "$kernel_bench" "${kernel_args[@]}" >kernel.out 2>&1 || { cat kernel.out >&2; exit 1; }
  sed -n '/^kernel throughput/,$p' kernel.out | sed 's/^/   /'
  rm -f kernel.out
  echo
fi

# 6. Growth with the input size.
if [ -n "$growth" ]; then
  echo "6. growth with input size (medians of $growth_reps paired runs each)"
  printf '   %8s %12s %12s %14s %7s %10s\n' "MiB in" "meshfold ms" "cp+sync ms" "ns/word" "ratio" "peak KiB"
  for mib in $growth; do
    words=$(make_mesh grow $((mib * kMiB)))
    head -c $((4 + 8 * words)) /dev/urandom >copy_src.out
    paired_runs grow "$words" "$growth_reps"
    at=("${pair_a[@]}") bt=("${pair_b[@]}") rt=("${pair_r[@]}")
    fresh_copy grow
    kib=$(peak_rss_kib grow)
    am=$(printf '%s\n' "${at[@]}" | median)
    bm=$(printf '%s\n' "${bt[@]}" | median)
    printf '   %8s %12.1f %12.1f %14.2f %7s %10s\n' "$mib" "$(awk -v t="$am" 'BEGIN {print t / 1000}')" \
      "$(awk -v t="$bm" 'BEGIN {print t / 1000}')" "$(awk -v t="$am" -v w="$words" 'BEGIN {print t * 1000 / w}')" \
      "$(printf '%s\n' "${rt[@]}" | median)" "$kib"
    rm -f grow_a.3d grow_a.pristine grow_d.3d copy_src.out copy_dst.out rss.out
  done
  echo
fi

# 7. --to-gltf.

# paired_exports EXPORT CLEAN LABEL: gltf_reps pairs of EXPORT (a function
# writing .glb files under gltf.run) and cp + sync of the .glb it wrote, in
# alternating order, CLEAN removing the .glb before each; prints the figures.
paired_exports() {
  local export=$1 clean=$2 label=$3 i a b files bytes a_t=() b_t=() ratios=()
  for ((i = 0; i < gltf_reps; i++)); do
    "$clean"
    rm -rf gltf.copy
    sync
    if ((i % 2 == 0)); then
      a=$(time_us "$export"); sync
      b=$(time_us gltf_copy)
    else
      # The copy needs the files of a run before: keep them, time the copy
      # first, then export again over them.
      "$export" >/dev/null; rm -rf gltf.copy; sync
      b=$(time_us gltf_copy); sync
      "$clean"; sync
      a=$(time_us "$export")
    fi
    a_t+=("$a") b_t+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.3f", a / b}')")
  done
  files=$(ls gltf.copy/*.glb | wc -l)
  bytes=$(du -sb --apparent-size gltf.copy | cut -f1)
  echo "7. $label ($files meshes, $bytes bytes of .glb written), $gltf_reps paired runs"
  echo "   meshfold --to-gltf: median $(printf '%s\n' "${a_t[@]}" | median | awk '{printf "%.1f", $1 / 1000}') ms   runs: ${a_t[*]} us"
  echo "   cp of the .glb + sync:  median $(printf '%s\n' "${b_t[@]}" | median | awk '{printf "%.1f", $1 / 1000}') ms   runs: ${b_t[*]} us"
  echo "   ratio export / (cp + sync): median $(printf '%s\n' "${ratios[@]}" | median)   per pair: ${ratios[*]}"
}

gltf_section() {
  if ! ls "$corpus"/*_a.3d >/dev/null 2>&1; then
    echo "7. --to-gltf: no corpus at $corpus, skipped"
    echo
    return
  fi
  rm -rf gltf.run gltf.copy
  mkdir gltf.run
  cp "$corpus"/*.3d gltf.run/
  paired_exports gltf_export gltf_clean "--to-gltf of the corpus folder"
  rm -rf gltf.run gltf.copy
  # The real packages beside the corpus, every mesh with its textures (--uc).
  if [ -d "$packages" ]; then
    mkdir gltf.run
    cp -r "$packages"/. gltf.run/
    paired_exports gltf_export_textured gltf_clean "--to-gltf --uc of the corpus-packages folder"
    png_sizes
    # The same meshes without their textures: what the textures add.
    paired_exports gltf_export_untextured gltf_clean "--to-gltf of the corpus-packages folder, no --uc"
    rm -rf gltf.run gltf.copy
  fi
  # Peak memory: the same 300 vertices and 500 triangles, few frames and many.
  local frames
  for frames in 20 "$gltf_frames"; do
    { le16 "$frames"; le16 1200; head -c $((frames * 1200)) /dev/urandom; } >long_a.3d
    { le16 500; le16 300; head -c 44 /dev/zero
      for ((t = 0; t < 500; t++)); do
        # Texture bytes only: one material, as most meshes have few (each
        # material's primitive lists every frame's target in the JSON).
        le16 $((t % 300)); le16 $(((t + 1) % 300)); le16 $(((t + 7) % 300))
        head -c 2 /dev/zero; head -c 6 /dev/urandom; head -c 2 /dev/zero
      done; } >long_d.3d
    /usr/bin/time -f %M -o rss.out "$meshfold" --to-gltf long >/dev/null ||
      { echo "meshfold --to-gltf failed on $frames frames" >&2; exit 1; }
    printf '   %6s frames of 300 vertices: peak %6s KiB, %s bytes of .glb (JSON %s)\n' "$frames" \
      "$(cat rss.out)" "$(stat -c %s long.glb)" "$(od -An -tu4 -j12 -N4 long.glb | tr -d ' ')"
    rm -f long_a.3d long_d.3d long.glb rss.out
  done
  echo
}

# The PNGs the textured export embedded (the .glb of its last run) against
# zlib's best on the same pixels: Pillow's optimize=True (Debian's python3-pil).
png_sizes() {
  local files
  mapfile -t files < <(find gltf.run -name '*.glb' | sort)
  if ! /usr/bin/python3 -c "import PIL" 2>/dev/null; then
    echo "   PNG sizes: no Pillow for /usr/bin/python3 (Debian package python3-pil), skipped"
  elif [ "${#files[@]}" -gt 0 ]; then
    echo "   PNG sizes against Pillow's optimize=True on the same pixels:"
    /usr/bin/python3 "$repo/bench/png_sizes.py" "${files[@]}" | sed 's|gltf.run/||'
  fi
}

gltf_export() {
  "$meshfold" --to-gltf gltf.run >gltf.out || { tail -3 gltf.out >&2; echo "--to-gltf failed" >&2; exit 1; }
  grep -q " meshes: .* exported, 0 failed" gltf.out || { tail -3 gltf.out >&2; exit 1; }
  rm -f gltf.out
}

# Every folder of the packages that holds a mesh, in one call, with the
# switches given (--uc: with their textures).
gltf_export_packages() {
  local folders
  mapfile -t folders < <(find gltf.run -name '*_a.3d' -printf '%h\n' | sort -u)
  "$meshfold" --to-gltf "$@" "${folders[@]}" >gltf.out 2>/dev/null ||
    { tail -3 gltf.out >&2; echo "--to-gltf $* failed" >&2; exit 1; }
  grep -q " meshes: .* exported, 0 failed" gltf.out || { tail -3 gltf.out >&2; exit 1; }
  rm -f gltf.out
}
gltf_export_textured() { gltf_export_packages --uc; }
gltf_export_untextured() { gltf_export_packages; }

gltf_clean() { find gltf.run -name '*.glb' -delete; }

gltf_copy() { mkdir gltf.copy && find gltf.run -name '*.glb' -exec cp -t gltf.copy/ {} + && sync; }

if [ "$gltf_reps" -gt 0 ] && { [ "$gltf_only" = 1 ] || { [ "$growth_only" = 0 ] && [ "$meshes_only" = 0 ]; }; }; then
  gltf_section
fi

echo "load after: $(uptime | sed 's/.*load average/load average/')"
