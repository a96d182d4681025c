#!/usr/bin/env bash
# Exports every mesh of the corpus with --to-gltf (one of them with an import
# script of sequences, --uc), and every mesh of the real packages beside it
# (corpus-packages, and KillConfirmed's of corpus-ue1, whose skin is a 24-bit
# BMP) with --uc, their textures embedded, into a scratch folder and
# has readers nobody on this project wrote read the files:
#   validator  Khronos' glTF-Validator (npm package gltf-validator): 0 errors
#              and 0 warnings for every file
#   blender    Blender's own glTF importer, headless: the shape keys of a few
#              meshes against their frames, and every textured file's images
#              loaded at their size onto their materials (blender_check.py)
#   assimp     the Open Asset Import Library's `assimp info`: every file loads,
#              with one face a triangle
#   three      three.js's GLTFLoader in node (npm packages three and pngjs):
#              every file's meshes at their counts, and every textured
#              material's image, blending and filters (three_check.mjs)
# The real compiled packages beside them (corpus-ue1): every mesh of the Deus
# Ex package Endemia.u (53) and HeadHunter's Skull (UT99) exported straight
# from the package (--to-gltf PACKAGE), each beside its two files as the
# package folder holds them in the form the package stores, which Blender's
# frame check and assimp's face count read.
# Usage: gltf_check.sh validator|blender|assimp|three MESHFOLD CORPUS NODE_MODULES
# Exits 77 (skipped) when the corpus or the reader is not there.
set -euo pipefail
what=$1 exe=$2 corpus=$3 modules=$4
here=$(cd "$(dirname "$0")" && pwd)
if ! ls "$corpus"/*_a.3d >/dev/null 2>&1; then
  echo "no corpus of meshes at $corpus"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$corpus"/*.3d "$dir"/
# One mesh with an import script of three sequences: its file gets three
# animations (--uc), the others one each.
first=$(basename "$(ls "$dir"/*_a.3d | head -1)" _a.3d)
frames=$(od -An -tu2 -N2 "$dir/${first}_a.3d" | tr -d ' ')
printf '#exec MESH SEQUENCE MESH=%s SEQ=All STARTFRAME=0 NUMFRAMES=%s\n' "$first" "$frames" >"$dir/$first.uc"
printf '#exec MESH SEQUENCE MESH=%s SEQ=First STARTFRAME=0 NUMFRAMES=1\n' "$first" >>"$dir/$first.uc"
printf '#exec MESH SEQUENCE MESH=%s SEQ=Last STARTFRAME=%s NUMFRAMES=1 RATE=12.5\n' "$first" \
  "$((frames - 1))" >>"$dir/$first.uc"
"$exe" --to-gltf --uc "$dir" >"$dir/export.log" || { cat "$dir/export.log"; exit 1; }
meshes=$(ls "$dir"/*_a.3d | wc -l)
glbs=$(ls "$dir"/*.glb | wc -l)
if [ "$meshes" -ne "$glbs" ]; then
  echo "$meshes meshes but $glbs .glb files"
  exit 1
fi
# The real packages, copied: each mesh with the textures its import lines name.
packages=$(dirname "$corpus")/corpus-packages
textured=()
if [ -d "$packages" ]; then
  cp -r "$packages" "$dir/packages"
  while IFS= read -r anim; do
    "$exe" --to-gltf --uc "$anim" >>"$dir/export.log" 2>&1 || { cat "$dir/export.log"; exit 1; }
    textured+=("${anim%_a.3d}.glb")
  done < <(find "$dir/packages" -name '*_a.3d' | sort)
  glbs=$((glbs + ${#textured[@]}))
fi
ue1=$(dirname "$corpus")/corpus-ue1
compiled=()
compiled_names=()
if [ -d "$ue1" ]; then
  mkdir "$dir/ue1"
  cp "$ue1/deusexhq_partystuff/System/Endemia.u" "$ue1/1337GameDev_Ut99Mods/System/HeadHunter.u" "$dir/ue1/"
  { "$exe" "$dir/ue1/Endemia.u" && "$exe" --to-unreal "$dir/ue1/HeadHunter.u" &&
    "$exe" --to-gltf "$dir/ue1/Endemia.u" "$dir/ue1/HeadHunter.u"; } >>"$dir/export.log" 2>&1 ||
    { cat "$dir/export.log"; exit 1; }
  while IFS= read -r glb; do
    compiled+=("$glb")
  done < <(find "$dir/ue1" -name '*.glb' | sort)
  for glb in "$dir"/ue1/Endemia/Models/*.glb; do
    compiled_names+=("$(basename "$glb" .glb)")
  done
  if [ "${#compiled[@]}" -ne 54 ]; then
    echo "${#compiled[@]} .glb files of the compiled packages, not 54"
    exit 1
  fi
  glbs=$((glbs + ${#compiled[@]}))
fi
# A skin imported from a 24-bit BMP (a UT99 mod's, of ../shared/corpus-ue1),
# embedded as an RGBA PNG.
mod=$(dirname "$corpus")/corpus-ue1/1337GameDev_Ut99Mods/KillConfirmed
if [ -d "$mod" ]; then
  cp -r "$mod" "$dir/KillConfirmed"
  "$exe" --to-gltf --uc "$dir/KillConfirmed/Models/DogTags/Tags_a.3d" >>"$dir/export.log" 2>&1 ||
    { cat "$dir/export.log"; exit 1; }
  textured+=("$dir/KillConfirmed/Models/DogTags/Tags.glb")
  glbs=$((glbs + 1))
fi

case $what in
validator)
  if [ ! -d "$modules/gltf-validator" ]; then
    echo "gltf-validator is not installed in $modules (tools/test.sh installs it)"
    exit 77
  fi
  node "$here/gltf_validate.js" "$modules" "$dir"/*.glb "${textured[@]}" "${compiled[@]}"
  echo "$glbs files validated"
  ;;
blender)
  if [ ! -x /usr/bin/blender ]; then
    echo "blender is not installed"
    exit 77
  fi
  # Debian's Blender with Debian's numpy: nothing of another Python's setup.
  status=0
  env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
    --python-exit-code 1 -P "$here/blender_check.py" -- "$dir" box telepo C4 Boss Decal redbull \
    >"$dir/blender.log" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && [ "${#textured[@]}" -gt 0 ]; then
    env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
      --python-exit-code 1 -P "$here/blender_check.py" -- --textures "${textured[@]}" "${compiled[@]}" \
      >>"$dir/blender.log" 2>&1 || status=$?
  fi
  if [ "$status" -eq 0 ] && [ "${#compiled[@]}" -gt 0 ]; then
    env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
      --python-exit-code 1 -P "$here/blender_check.py" -- "$dir/ue1/Endemia/Models" "${compiled_names[@]}" \
      >>"$dir/blender.log" 2>&1 || status=$?
    env -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV /usr/bin/blender -b --factory-startup \
      --python-exit-code 1 -P "$here/blender_check.py" -- "$dir/ue1/HeadHunter/Models" Skull \
      >>"$dir/blender.log" 2>&1 || status=$?
  fi
  grep -E '^[A-Za-z0-9_]+: ' "$dir/blender.log" || true
  if [ "$status" -ne 0 ]; then
    tail -20 "$dir/blender.log"
  fi
  exit "$status"
  ;;
three)
  if [ ! -d "$modules/three" ] || [ ! -d "$modules/pngjs" ]; then
    echo "three or pngjs is not installed in $modules (tools/test.sh installs them)"
    exit 77
  fi
  if [ "${#textured[@]}" -gt 0 ] || [ "${#compiled[@]}" -gt 0 ]; then
    node "$here/three_check.mjs" "$modules" "$dir"/*.glb --textures "${textured[@]}" "${compiled[@]}"
  else
    node "$here/three_check.mjs" "$modules" "$dir"/*.glb
  fi
  ;;
assimp)
  if ! command -v assimp >/dev/null; then
    echo "assimp is not installed"
    exit 77
  fi
  bad=0
  for f in "$dir"/*.glb "${textured[@]}" "${compiled[@]}"; do
    name=$(basename "$f" .glb)
    polys=$(od -An -tu2 -N2 "${f%.glb}_d.3d" | tr -d ' ')
    # `assimp info` exits 0 even when it cannot load a file: read its output.
    out=$(assimp info "$f" 2>&1 | tr -d '\r')
    faces=$(sed -n 's/^Faces: *\([0-9]*\).*/\1/p' <<<"$out")
    if ! grep -q '^Importing file .*OK' <<<"$out" || [ "$faces" != "$polys" ]; then
      echo "$name: assimp read ${faces:-nothing} faces of $polys"
      grep -i 'error' <<<"$out" | head -3
      bad=1
    fi
  done
  [ "$bad" -eq 0 ] && echo "$glbs files read by assimp"
  exit "$bad"
  ;;
esac
