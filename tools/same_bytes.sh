#!/usr/bin/env bash
# Checks that two builds of meshfold behave the same byte for byte, as a change
# meant to leave behaviour alone (moving files, renaming, reorganising) must.
#
#   bash tools/same_bytes.sh REV_A REV_B                      two git revisions
#   bash tools/same_bytes.sh --binary PROG_A --binary PROG_B  two built programs
#
# Options: --corpus DIR, --packages DIR (default ../shared/corpus and
# ../shared/corpus-packages beside this checkout, where the tests look);
# --jobs N (cases run side by side, default 2); --scratch DIR (where the cases
# run, default build/same-bytes/work); --rebuild (build again what was built
# before); --keep (keep every file the cases leave, under
# build/same-bytes/last/a|b/files, for cmp); --only G,G (only those groups
# of cases, while working on one: export, convert_plain, convert_ms,
# convert_h, convert_ms_h, import, packages, images, folder, example, driver). Exit status 0 when all is
# identical, 1 on any difference, 2 when the check itself could not run.
#
# Each revision is built in a temporary git worktree under build/same-bytes/
# (Release, target meshfold only, tests, benchmark and fuzzer off), assuming
# nothing of its sources but "CMake at the root builds target meshfold". The
# program is kept in build/same-bytes/bin/, keyed by source tree and compiler,
# so a tree is built once (REV REV builds once; a rerun builds only new trees).
# Every input comes from this checkout, never from the revisions, so both
# programs read the same bytes even where a revision moves files:
#   - corpus meshes (every NAME_a.3d/NAME_d.3d pair), in each mode (none, -ms,
#     -h, -ms -h): dry run, conversion, second conversion (refused); each
#     mode's converted meshes taken back with --to-unreal in every mode (dry
#     run and real) and exported with --to-gltf (dry run and real);
#   - corpus originals: --to-gltf (dry run, real, --fps 12.5, --uc with an
#     import script of three sequences), and those .glb imported (plain, --uc);
#     whole-folder runs of all meshes at once (grouped commits, summary line);
#   - package folders: --to-gltf --uc of each mesh (dry run, one by one, all in
#     one run), plain --to-gltf; each .glb imported again, plain and with --uc
#     (dry run and real: its .pcx textures, .uc script and game files);
#   - every glTF file the checkout tracks (tests/data/gltf/*.glb, which is all
#     tools/make_gltf_samples.py writes, and fuzz/seed.gltf,
#     fuzz/seed_written.glb) in each import mode: default, --to-unreal, --fit,
#     --fps, --scale, --uc, --uc --texture-size 1/64/1024, --dry-run, and
#     combinations; one by one and all in one run; the meshes made exported
#     again with --to-gltf, plain and --uc;
#   - every image the checkout tracks (the decoders' fuzz seeds, damaged ones
#     included, the example's skin, the screenshot) as the example mesh's
#     skin, plain and masked: --to-gltf --uc, then --uc of that .glb;
#   - the example package (examples/): conversion, --to-gltf --uc, --uc back;
#   - the driver's own lines: no arguments, --help, --version, unknown and
#     clashing switches, bad values, names that are no mesh.
# Compared: each run's standard output, standard error and exit status, and
# every entry each case's folder holds at its end (path, type, permission
# bits, size, SHA-256), inputs included, so that a dry run that writes, or an
# input changed that should not be, shows as well.
#
# Nothing is normalised: no line meshfold prints holds a timing, and both
# programs run each case in the same folder, one after the other, with
# relative names and a clean environment (LC_ALL=C, TZ=UTC, umask 022, no
# input), so no temporary or absolute path can differ between them.
set -euo pipefail
umask 022

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}

die() {
  echo "same_bytes: $*" >&2
  exit 2
}

repo=$(cd "$(dirname "$0")/.." && git rev-parse --show-toplevel 2>/dev/null) ||
  die "not inside a git checkout"
corpus=$repo/../shared/corpus
packages=$repo/../shared/corpus-packages
jobs=2
rebuild=0
keep=0
scratch=
only=
revs=()
bins=()
while [ $# -gt 0 ]; do
  case $1 in
    --binary) [ $# -ge 2 ] || die "--binary needs a program"; bins+=("$2"); shift 2 ;;
    --corpus) [ $# -ge 2 ] || die "--corpus needs a folder"; corpus=$2; shift 2 ;;
    --packages) [ $# -ge 2 ] || die "--packages needs a folder"; packages=$2; shift 2 ;;
    --jobs) [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || die "--jobs needs a number"; jobs=$2; shift 2 ;;
    --rebuild) rebuild=1; shift ;;
    --keep) keep=1; shift ;;
    --scratch) [ $# -ge 2 ] || die "--scratch needs a folder"; scratch=$2; shift 2 ;;
    --only) [ $# -ge 2 ] || die "--only needs group names"; only=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) die "unknown option $1 (see --help)" ;;
    *) revs+=("$1"); shift ;;
  esac
done
if [ ${#bins[@]} -eq 0 ] && [ ${#revs[@]} -eq 2 ]; then
  :
elif [ ${#bins[@]} -eq 2 ] && [ ${#revs[@]} -eq 0 ]; then
  :
else
  die "give two revisions or --binary twice (see --help)"
fi
[ -d "$corpus" ] && ls "$corpus"/*_a.3d >/dev/null 2>&1 || die "no corpus of meshes at $corpus (--corpus DIR)"
[ -d "$packages" ] || die "no package folders at $packages (--packages DIR)"
corpus=$(cd "$corpus" && pwd)
packages=$(cd "$packages" && pwd)

state=$repo/build/same-bytes
mkdir -p "$state"
if [ -n "$scratch" ]; then
  mkdir -p "$scratch"
  work=$(cd "$scratch" && pwd)/meshfold-same-bytes
else
  work=$state/work
fi
exec 9>"$state/lock"
flock -n 9 || die "another same_bytes.sh run holds $state/lock"
worktrees=()
cleanup() {
  local wt pid
  for pid in $(jobs -p); do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  for wt in "${worktrees[@]}"; do
    git -C "$repo" worktree remove --force "$wt" >/dev/null 2>&1 || rm -rf "$wt"
  done
  [ ${#worktrees[@]} -eq 0 ] || git -C "$repo" worktree prune
  rm -rf "$work" "$state"/tree-*
}
trap cleanup EXIT
trap 'exit 130' INT TERM
started=$SECONDS

# ---------------------------------------------------------------- building

toolchain=$( { "${CXX:-c++}" --version 2>&1 | head -1; cmake --version | head -1; } | sha256sum | cut -c1-12)

# build_rev REV: sets `built` to the path of meshfold built at REV.
build_rev() {
  local rev=$1 commit tree key bin wt bd found log
  commit=$(git -C "$repo" rev-parse --verify --quiet "$rev^{commit}") || die "no revision $rev"
  tree=$(git -C "$repo" rev-parse "$commit^{tree}")
  key=$tree-$toolchain
  bin=$state/bin/$key/meshfold
  if [ "$rebuild" -eq 1 ] && [ -z "${built_now[$key]:-}" ]; then
    rm -rf "$state/bin/$key"
  fi
  if [ -n "${built_now[$key]:-}" ]; then
    echo "  $rev (${commit:0:7}): the same source tree as above" >&2
  elif [ -x "$bin" ]; then
    echo "  $rev (${commit:0:7}): built by an earlier run, $bin" >&2
  else
    wt=$state/tree-$key
    bd=$wt.build
    worktrees+=("$wt")
    rm -rf "$wt" "$bd"
    git -C "$repo" worktree add --detach --quiet "$wt" "$commit" || die "cannot check out $rev"
    log=$state/build-${commit:0:12}.log
    echo "  $rev (${commit:0:7}): building (log in $log)" >&2
    if ! { cmake -S "$wt" -B "$bd" -DCMAKE_BUILD_TYPE=Release -DMESHFOLD_BUILD_TESTS=OFF \
      -DMESHFOLD_BUILD_BENCH=OFF -DMESHFOLD_BUILD_FUZZ=OFF &&
      cmake --build "$bd" --target meshfold -j2; } >"$log" 2>&1; then
      tail -20 "$log" >&2
      die "the build of $rev failed"
    fi
    found=$(find "$bd" -path "$bd/CMakeFiles" -prune -o -type f -name meshfold -perm -u+x -print)
    [ -n "$found" ] && [ "$(printf '%s\n' "$found" | wc -l)" -eq 1 ] ||
      die "the build of $rev left no single program named meshfold"
    mkdir -p "$state/bin/$key"
    cp "$found" "$bin.tmp" && mv "$bin.tmp" "$bin"
    git -C "$repo" worktree remove --force "$wt"
    rm -rf "$bd"
  fi
  built_now[$key]=1
  built=$bin
}

declare -A built_now=()
if [ ${#revs[@]} -eq 2 ]; then
  echo "building meshfold at $(printf '%s and ' "${revs[@]}" | sed 's/ and $//')" >&2
  for rev in "${revs[@]}"; do
    build_rev "$rev"
    bins+=("$built")
  done
  labels=("${revs[0]}" "${revs[1]}")
else
  labels=("${bins[0]}" "${bins[1]}")
fi
for i in 0 1; do
  [ -x "${bins[$i]}" ] && [ -f "${bins[$i]}" ] || die "${bins[$i]} is not a program"
  bins[i]=$(cd "$(dirname "${bins[$i]}")" && pwd)/$(basename "${bins[$i]}")
done
build_seconds=$((SECONDS - started))

# ---------------------------------------------------------------- cases
# Each group_NAME lays out its inputs in its own folder ($root) and runs the
# program there; run DIR ARGS... runs it in $root/DIR (relative to $root).

meshes=()
for anim in "$corpus"/*_a.3d; do
  name=$(basename "$anim" _a.3d)
  [ -f "$corpus/${name}_d.3d" ] || die "$anim has no ${name}_d.3d"
  meshes+=("$name")
done
mapfile -t meshes < <(printf '%s\n' "${meshes[@]}" | LC_ALL=C sort)
# The package meshes, as paths under the package root without _a.3d.
mapfile -t package_meshes < <(cd "$packages" && find . -type f -name '*_a.3d' | sed 's|^\./||; s|_a\.3d$||' | LC_ALL=C sort)
[ ${#package_meshes[@]} -gt 0 ] || die "no mesh in $packages"
# The checkout's own files, found by kind rather than by folder: every glTF
# file it tracks (the tests' files and the fuzz seeds), every image (the fuzz
# seeds of the image decoders, the example's skin, the screenshot), and the
# example mesh's folder, laid out as a package.
tracked() {
  git -C "$repo" ls-files -z -- "$@" | xargs -0 -r -n1 printf "$repo/%s\n" | LC_ALL=C sort
}
mapfile -t gltf_inputs < <(tracked ':(icase)*.glb' ':(icase)*.gltf')
mapfile -t images < <(tracked ':(icase)*.pcx' ':(icase)*.bmp' ':(icase)*.png' ':(icase)*.jpg' ':(icase)*.tga')
mapfile -t example_anims < <(tracked '*_a.3d')
[ ${#gltf_inputs[@]} -gt 0 ] || die "no glTF file in $repo"
[ ${#images[@]} -gt 0 ] || die "no image in $repo"
[ ${#example_anims[@]} -eq 1 ] || die "not one example mesh in $repo: ${example_anims[*]}"
example_dir=$(dirname "${example_anims[0]}")
example=$(basename "${example_anims[0]}" _a.3d)
[ -f "$example_dir/Classes/$example.uc" ] || die "the example $example has no Classes/$example.uc"
for list in gltf_inputs images; do
  declare -n files=$list
  [ -z "$(for f in "${files[@]}"; do basename "$f"; done | LC_ALL=C sort | uniq -d)" ] ||
    die "two of the checkout's files of one kind share a name: ${files[*]}"
done
unset -n files

run() {
  local dir=$1 n rc=0
  shift
  runs=$((runs + 1))
  n=$(printf '%05d' "$runs")
  (cd "$root/$dir" && umask 022 &&
    exec env -i PATH=/usr/bin:/bin LC_ALL=C TZ=UTC HOME=/nonexistent "$bin" "$@") \
    </dev/null >"$rec/$n.out" 2>"$rec/$n.err" || rc=$?
  local line=
  [ $# -eq 0 ] || line=$(printf ' %q' "$@")
  printf '%s\t%s\t%s\t%s\n' "$n" "$rc" "$dir" "meshfold$line" >>"$rec/index"
}

# copy_corpus DIR: every corpus mesh into $root/DIR, writable as a user's files are.
copy_corpus() {
  mkdir -p "$root/$1"
  cp "$corpus"/*_a.3d "$corpus"/*_d.3d "$root/$1/"
  chmod -R u+w "$root/$1"
}

copy_packages() {
  mkdir -p "$root/$1"
  cp -R "$packages"/. "$root/$1/"
  chmod -R u+w "$root/$1"
}

copy_gltf_inputs() {
  mkdir -p "$root/$1"
  cp "${gltf_inputs[@]}" "$root/$1/"
  chmod -R u+w "$root/$1"
}

mode_args() { # plain|ms|h|ms-h -> the switches
  case $1 in plain) ;; ms) echo -ms ;; h) echo -h ;; ms-h) echo "-ms -h" ;; esac
}

convert_modes=(plain ms h ms-h)

# Conversion in one mode, then every way back and the export of the result.
group_convert() {
  local mode=$1 m u
  local -a sw back
  read -ra sw <<<"$(mode_args "$mode")"
  copy_corpus .
  snapshot
  for m in "${meshes[@]}"; do
    run . "${sw[@]}" --dry-run "$m"
    run . "${sw[@]}" "$m"
    run . "${sw[@]}" "$m"
  done
  for m in "${meshes[@]}"; do
    run . --dry-run --to-gltf "$m"
    run . --to-gltf "$m"
  done
  for u in "${convert_modes[@]}"; do
    read -ra back <<<"$(mode_args "$u")"
    mkdir "$root/back-$u"
    cp "$root"/*.3d "$root/back-$u/"
    for m in "${meshes[@]}"; do
      run "back-$u" --to-unreal "${back[@]}" --dry-run "$m"
      run "back-$u" --to-unreal "${back[@]}" "$m"
    done
  done
}
group_convert_plain() { group_convert plain; }
group_convert_ms() { group_convert ms; }
group_convert_h() { group_convert h; }
group_convert_ms_h() { group_convert ms-h; }

# The originals as glTF, and those files brought back.
group_export() {
  local m frames
  copy_corpus plain
  copy_corpus fps
  copy_corpus uc
  for m in "${meshes[@]}"; do
    frames=$(od -An -tu2 -N2 "$root/uc/${m}_a.3d" | tr -d ' ')
    {
      printf '#exec MESH SEQUENCE MESH=%s SEQ=All STARTFRAME=0 NUMFRAMES=%s\n' "$m" "$frames"
      printf '#exec MESH SEQUENCE MESH=%s SEQ=First STARTFRAME=0 NUMFRAMES=1\n' "$m"
      printf '#exec MESH SEQUENCE MESH=%s SEQ=Last STARTFRAME=%s NUMFRAMES=1 RATE=12.5\n' "$m" "$((frames - 1))"
    } >"$root/uc/$m.uc"
  done
  snapshot
  for m in "${meshes[@]}"; do
    run plain --dry-run --to-gltf "$m"
    run plain --to-gltf "$m"
    run fps --to-gltf --fps 12.5 "$m"
    run uc --to-gltf --uc "$m"
  done
  for m in "${meshes[@]}"; do
    mkdir -p "$root/back/$m" "$root/back-uc/$m"
    cp "$root/plain/$m.glb" "$root/back/$m/"
    cp "$root/uc/$m.glb" "$root/back-uc/$m/"
    run "back/$m" "$m.glb"
    run "back-uc/$m" --uc "$m.glb"
  done
}

# Several meshes per run: grouped commits and the summary line.
group_folder() {
  local -a anims=() all=()
  local m
  for m in "${meshes[@]}"; do
    anims+=("${m}_a.3d")
    all+=("${m}_a.3d" "${m}_d.3d")
  done
  copy_corpus .
  snapshot
  run . --dry-run .
  run . -ms --dry-run "${all[@]}"
  run . .
  run . "${anims[@]}"
  run . --to-gltf --dry-run .
  run . --to-gltf .
  run . --to-unreal --dry-run "${all[@]}"
  run . --to-unreal .
  run . -ms -h "${anims[@]}"
  run . --to-unreal -h .
}

# The package folders with their scripts and textures, and the textured round trip.
group_packages() {
  local p name
  copy_packages one
  copy_packages all
  copy_packages plain
  snapshot
  for p in "${package_meshes[@]}"; do
    run one --dry-run --to-gltf --uc "$p"
    run one --to-gltf --uc "$p"
    run plain --to-gltf "$p"
  done
  run all --to-gltf --uc "${package_meshes[@]}"
  for p in "${package_meshes[@]}"; do
    name=$(basename "$p")
    mkdir -p "$root/back/$p" "$root/back-plain/$p"
    cp "$root/one/$p.glb" "$root/back/$p/"
    cp "$root/one/$p.glb" "$root/back-plain/$p/"
    run "back/$p" --dry-run --uc "$name.glb"
    run "back/$p" --uc "$name.glb"
    run "back-plain/$p" "$name.glb"
  done
}

# The bundled example package.
group_example() {
  mkdir -p "$root/pkg" "$root/convert"
  cp -R "$example_dir"/. "$root/pkg/"
  cp "$example_dir/${example}_a.3d" "$example_dir/${example}_d.3d" "$root/convert/"
  chmod -R u+w "$root"
  snapshot
  run convert "$example"
  run convert --to-gltf "$example"
  run pkg --to-gltf --uc "$example"
  mkdir "$root/back"
  cp "$root/pkg/$example.glb" "$root/back/"
  run back --uc "$example.glb"
}

# Every image of the checkout as the example's skin, plain and masked
# (FLAGS=2): decoded into the .glb, or refused with its reason; then the
# .glb brought back with --uc, the image as a PCX of its own palette.
group_images() {
  local image name slug flags
  for image in "${images[@]}"; do
    name=$(basename "$image")
    for flags in "" " FLAGS=2"; do
      slug=$name${flags:+-masked}
      mkdir -p "$root/$slug/Classes" "$root/$slug/Textures" "$root/$slug/back"
      cp "$example_dir/${example}_a.3d" "$example_dir/${example}_d.3d" "$root/$slug/"
      cp "$image" "$root/$slug/Textures/"
      printf '#exec MESH IMPORT MESH=%s ANIVFILE=%s_a.3d DATAFILE=%s_d.3d\n' "$example" "$example" "$example" \
        >"$root/$slug/Classes/$example.uc"
      printf '#exec TEXTURE IMPORT NAME=Skin FILE=Textures\\%s GROUP=Skins%s\n' "$name" "$flags" \
        >>"$root/$slug/Classes/$example.uc"
      printf '#exec MESHMAP SETTEXTURE MESHMAP=%s NUM=0 TEXTURE=Skin\n' "$example" >>"$root/$slug/Classes/$example.uc"
    done
  done
  chmod -R u+w "$root"
  snapshot
  local -a slugs
  mapfile -t slugs < <(cd "$root" && find . -mindepth 1 -maxdepth 1 -type d | sed 's|^\./||' | LC_ALL=C sort)
  for slug in "${slugs[@]}"; do
    run "$slug" --to-gltf --uc "$example"
    cp "$root/$slug/$example.glb" "$root/$slug/back/"
    run "$slug/back" --uc "$example.glb"
  done
}

# glTF files into game meshes, in every import mode.
import_modes=(
  "default:"
  "to-unreal:--to-unreal"
  "fit:--fit"
  "fit-to-unreal:--fit --to-unreal"
  "fps-12:--fps 12"
  "scale-2:--scale 2"
  "uc:--uc"
  "uc-to-unreal:--uc --to-unreal"
  "uc-texture-size-64:--uc --texture-size 64"
  "uc-texture-size-1:--uc --texture-size=1"
  "uc-texture-size-1024:--uc --texture-size 1024"
  "uc-scale-2:--uc --scale 2"
  "uc-fit-scale-52.5:--uc --fit --scale=52.5"
  "uc-fit-to-unreal-fps-60:--uc --fit --to-unreal --fps=60"
  "dry-run:--dry-run"
  "dry-run-uc-to-unreal:--dry-run --uc --to-unreal"
)

group_import() {
  local entry slug f name
  local -a sw names=()
  for f in "${gltf_inputs[@]}"; do
    names+=("$(basename "$f")")
  done
  for entry in "${import_modes[@]}"; do
    copy_gltf_inputs "${entry%%:*}"
  done
  copy_gltf_inputs all
  snapshot
  for entry in "${import_modes[@]}"; do
    slug=${entry%%:*}
    read -ra sw <<<"${entry#*:}"
    for f in "${names[@]}"; do
      run "$slug" "${sw[@]}" "$f"
    done
  done
  run all --uc --dry-run "${names[@]}"
  run all --uc "${names[@]}"
  # The imported meshes exported again.
  for f in "${names[@]}"; do
    name=${f%.*}
    mkdir -p "$root/export/$name" "$root/export-uc/$name"
    cp "$root/default/${name}_a.3d" "$root/default/${name}_d.3d" "$root/export/$name/"
    mkdir -p "$root/export-uc/$name/Textures"
    cp "$root/uc/${name}_a.3d" "$root/uc/${name}_d.3d" "$root/uc/$name.uc" "$root/export-uc/$name/"
    find "$root/uc" -maxdepth 1 -name "${name}Tex*.pcx" -exec cp {} "$root/export-uc/$name/Textures/" \;
    run "export/$name" --to-gltf "$name"
    run "export-uc/$name" --to-gltf --uc "$name"
  done
}

# What the driver prints for no mesh, help, and lines it refuses.
group_driver() {
  local model=model.${gltf_inputs[0]##*.}
  mkdir -p "$root/empty"
  cp "$example_dir/${example}_a.3d" "$example_dir/${example}_d.3d" "$root/"
  cp "${gltf_inputs[0]}" "$root/$model"
  printf 'Not a mesh.\n' >"$root/notes.txt"
  chmod -R u+w "$root"
  snapshot
  # MESH stands for the example mesh, GLTF for the glTF file.
  local -a lines=(
    "" "--help" "-?" "--version" "--HELP -sm" "--version MESH" "-sm MESH" "-ms" "--dry-run"
    "--to-gltf -ms MESH" "--to-gltf -h MESH" "--to-gltf --to-unreal MESH" "--fps 24 MESH"
    "--to-gltf --fps 0 MESH" "--to-gltf --fps 1001 MESH" "--to-gltf --fps=abc MESH" "--to-gltf --fps"
    "--uc --texture-size 3 GLTF" "--uc --texture-size 2048 GLTF" "--texture-size 64 GLTF"
    "--scale 0 GLTF" "--uc --scale 100001 GLTF" "-ms GLTF" "-h GLTF" "--fit MESH" "--uc MESH"
    "Missing" "notes.txt" "empty" "-- -MESH" "--dry-run MESH Missing notes.txt empty"
    "MESH MESH_a.3d ./MESH_d.3d" "MESH" "-MS MESH"
  )
  local line
  local -a sw
  for line in "${lines[@]}"; do
    line=${line//MESH/$example}
    read -ra sw <<<"${line//GLTF/$model}"
    run . "${sw[@]}"
  done
}

groups=(export convert_plain convert_ms convert_h convert_ms_h import packages images folder example driver)
if [ -n "$only" ]; then
  IFS=, read -ra groups <<<"$only"
  for g in "${groups[@]}"; do
    declare -F "group_$g" >/dev/null || die "no group $g"
  done
fi

# snapshot: records the folder as laid out, to count what the runs changed.
snapshot() {
  manifest "$root" >"$rec/inputs"
}

manifest() {
  python3 - "$1" <<'EOF'
import hashlib, os, stat, sys
root = sys.argv[1]
entries = []
for here, dirs, files in os.walk(root):
    dirs.sort()
    for name in sorted(dirs + files):
        path = os.path.join(here, name)
        st = os.lstat(path)
        rel = os.path.relpath(path, root)
        if stat.S_ISREG(st.st_mode):
            h = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    h.update(block)
            entries.append((rel, "file", st.st_size, h.hexdigest(), st.st_mode))
        elif stat.S_ISLNK(st.st_mode):
            entries.append((rel, "link", 0, os.readlink(path), st.st_mode))
        elif stat.S_ISDIR(st.st_mode):
            entries.append((rel, "dir", 0, "-", st.st_mode))
        else:
            entries.append((rel, "other", 0, "-", st.st_mode))
for rel, kind, size, digest, mode in sorted(entries):
    print(f"{rel}\t{kind}\t{stat.S_IMODE(mode):04o}\t{size}\t{digest}")
EOF
}

# run_side BIN SIDE: every group with BIN, records under $state/last/SIDE.
run_side() {
  local side_bin=$1 side=$2 g
  rm -rf "${state:?}/last/$side"
  mkdir -p "$state/last/$side" "$work"
  for g in "${groups[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
      wait -n || true
    done
    (
      bin=$side_bin
      root=$work/$g
      rec=$state/last/$side/$g
      runs=0
      rm -rf "$root"
      mkdir -p "$root" "$rec"
      : >"$rec/index"
      local t0=$SECONDS
      "group_$g" 2>"$rec/setup.log"
      local t1=$SECONDS
      manifest "$root" >"$rec/files"
      echo "$((t1 - t0)) s running, $((SECONDS - t1)) s hashing" >"$rec/seconds"
      if [ "$keep" -eq 1 ]; then
        mkdir -p "$state/last/$side/files"
        mv "$root" "$state/last/$side/files/$g"
      else
        rm -rf "$root"
      fi
      touch "$rec/done"
    ) &
  done
  wait
  for g in "${groups[@]}"; do
    [ -f "$state/last/$side/$g/done" ] || {
      cat "$state/last/$side/$g/setup.log" >&2 2>/dev/null || true
      die "the cases of group $g could not be laid out or run (side $side)"
    }
  done
}

echo "inputs: ${#meshes[@]} corpus meshes, ${#package_meshes[@]} package meshes, ${#gltf_inputs[@]} glTF files," \
  "${#images[@]} images, the example $example" >&2
echo "running the cases with ${labels[0]}" >&2
run_side "${bins[0]}" a
echo "running the cases with ${labels[1]}" >&2
run_side "${bins[1]}" b

if cmp -s "${bins[0]}" "${bins[1]}"; then
  same_program="the two programs are identical files"
else
  same_program="the two programs differ as files"
fi

python3 - "$state/last" "$keep" "$same_program" "$((SECONDS - started))" "$build_seconds" "${groups[@]}" <<'EOF'
import difflib, os, sys

last, keep, same_program, seconds, build_seconds = sys.argv[1:6]
groups = sys.argv[6:]
runs = files = folders = written = 0
differences = []

def read(path):
    with open(path, "rb") as f:
        return f.read()

def excerpt(a, b):
    lines = difflib.unified_diff(a.decode("utf-8", "replace").splitlines(),
                                 b.decode("utf-8", "replace").splitlines(), "a", "b", lineterm="", n=1)
    return "\n".join("      " + line for line in list(lines)[:12])

def table(path):
    rows = {}
    for line in read(path).decode().splitlines():
        rel, rest = line.split("\t", 1)
        rows[rel] = rest
    return rows

for g in groups:
    a_dir, b_dir = os.path.join(last, "a", g), os.path.join(last, "b", g)
    a_runs = read(os.path.join(a_dir, "index")).decode().splitlines()
    b_runs = read(os.path.join(b_dir, "index")).decode().splitlines()
    if len(a_runs) != len(b_runs):
        differences.append(f"{g}: {len(a_runs)} runs against {len(b_runs)}")
    for a_line, b_line in zip(a_runs, b_runs):
        runs += 1
        n, a_rc, a_dir_run, a_args = a_line.split("\t")
        _, b_rc, b_dir_run, b_args = b_line.split("\t")
        command = a_args if len(a_args) <= 160 else a_args[:150] + " ..."
        where = f"{g}, in {a_dir_run}: {command}"
        if (a_dir_run, a_args) != (b_dir_run, b_args):
            differences.append(f"{g}: run {n} is not the same command on both sides")
            continue
        if a_rc != b_rc:
            differences.append(f"{where}\n    exit status {a_rc} against {b_rc}")
        for stream, label in (("out", "standard output"), ("err", "standard error")):
            a = read(os.path.join(a_dir, f"{n}.{stream}"))
            b = read(os.path.join(b_dir, f"{n}.{stream}"))
            if a != b:
                differences.append(f"{where}\n    {label} differs:\n{excerpt(a, b)}")
    a_files, b_files = table(os.path.join(a_dir, "files")), table(os.path.join(b_dir, "files"))
    inputs = table(os.path.join(a_dir, "inputs"))
    for rel in sorted(set(a_files) | set(b_files)):
        a, b = a_files.get(rel), b_files.get(rel)
        if (a or b).startswith("dir\t"):
            folders += 1
        else:
            files += 1
            written += a is not None and inputs.get(rel) != a
        if a != b:
            def show(row):
                if row is None:
                    return "missing"
                kind, mode, size, digest = row.split("\t")
                return f"{kind} {mode} {size} bytes {digest[:16]}"
            differences.append(f"{g}/{rel}\n    {show(a)} against {show(b)}")

print(f"compared {runs} runs (standard output, standard error, exit status) and {files} files in "
      f"{folders} folders ({written} of the files written or changed by the runs); {same_program}; "
      f"{seconds} s in all, {build_seconds} s of it building")
if differences:
    print(f"{len(differences)} differences:")
    for d in differences[:200]:
        print("  " + d)
    if len(differences) > 200:
        print(f"  ... and {len(differences) - 200} more")
    print(f"the runs' records are in {last}/a and {last}/b" +
          ("" if keep == "1" else "; --keep keeps the files too"))
    sys.exit(1)
print("all identical")
EOF
