#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs them: the mesh target on its generated seeds and the meshes of
# ../shared/corpus when present, the glTF reader on its seeds, the texture
# decoders on theirs, the package reader on seeds cut from the real packages
# of ../shared/corpus-ue1 when present. Arguments go to libFuzzer; without any each target runs
# for 15 seconds, a minute in all.
#   bash tools/fuzz.sh                     # the CI run
#   bash tools/fuzz.sh -runs=10000000      # a long campaign (several minutes)
# Inputs that find something are written to build/sanitize/fuzz-findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
need_packages cmake make clang libclang-rt-14-dev libtinygltf-dev nlohmann-json3-dev libstb-dev zlib1g-dev

build=build/sanitize
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMESHFOLD_SANITIZE=ON -DMESHFOLD_WERROR=ON >/dev/null
cmake --build "$build" -j 2 --target meshfold_fuzz meshfold_fuzz_seeds meshfold_gltf_fuzz \
  meshfold_image_fuzz meshfold_package_fuzz meshfold_package_fuzz_seeds

seeds="$build/fuzz-seeds"
corpus="$build/fuzz-corpus"
findings="$build/fuzz-findings"
rm -rf "$seeds"
mkdir -p "$corpus" "$findings"
"$build/fuzz/meshfold_fuzz_seeds" "$seeds" ../shared/corpus

# Small inputs keep the fuzzer fast (the real meshes among the seeds are cut
# to this size); the invariants do not depend on the size of a file.
# Four targets share the run.
[ "$#" -gt 0 ] || set -- -max_total_time=15
"$build/fuzz/meshfold_fuzz" -print_final_stats=1 -artifact_prefix="$findings/" -max_len=4096 "$@" "$corpus" "$seeds"

# The glTF reader: the Blender-made files of the tests, a .gltf of skins,
# morphs and keys, and a file written by --to-gltf --uc (with its record and
# three sequences) as seeds, each after the byte that picks the options, with
# a dictionary of the format's words.
gltf_seeds="$build/fuzz-gltf-seeds"
gltf_corpus="$build/fuzz-gltf-corpus"
rm -rf "$gltf_seeds"
mkdir -p "$gltf_seeds" "$gltf_corpus"
for f in tests/data/gltf/*.glb fuzz/seed.gltf fuzz/seed_written.glb; do
  { printf '\000'; cat "$f"; } > "$gltf_seeds/$(basename "$f")"
done
"$build/fuzz/meshfold_gltf_fuzz" -print_final_stats=1 -artifact_prefix="$findings/" -max_len=16384 \
  -dict=fuzz/gltf.dict "$@" "$gltf_corpus" "$gltf_seeds"

# The texture decoders: small PCX, BMP, PNG, TGA and JPEG files of every
# variant as seeds, and the small real textures of ../shared/corpus-packages
# when present.
image_seeds="$build/fuzz-image-seeds"
image_corpus="$build/fuzz-image-corpus"
rm -rf "$image_seeds"
mkdir -p "$image_seeds" "$image_corpus"
cp fuzz/image-seeds/* "$image_seeds/"
if [ -d ../shared/corpus-packages ]; then
  find ../shared/corpus-packages -type f \( -iname '*.pcx' -o -iname '*.bmp' \) -size -6k \
    -exec cp {} "$image_seeds/" \;
fi
"$build/fuzz/meshfold_image_fuzz" -print_final_stats=1 -artifact_prefix="$findings/" -max_len=8192 \
  "$@" "$image_corpus" "$image_seeds"

# The package reader: each seed is a real package's header and tables with the bytes of one
# small mesh, or of a texture and its palette (generated, not kept in the repository). Without
# the real packages, a seed of the container alone.
package_seeds="$build/fuzz-package-seeds"
package_corpus="$build/fuzz-package-corpus"
rm -rf "$package_seeds"
mkdir -p "$package_seeds" "$package_corpus"
if [ -d ../shared/corpus-ue1 ]; then
  "$build/fuzz/meshfold_package_fuzz_seeds" "$package_seeds" ../shared/corpus-ue1
else
  printf '\301\203\052\236\105\000\000\000' > "$package_seeds/tag-and-version"
fi
"$build/fuzz/meshfold_package_fuzz" -print_final_stats=1 -artifact_prefix="$findings/" \
  -max_len=32768 "$@" "$package_corpus" "$package_seeds"
