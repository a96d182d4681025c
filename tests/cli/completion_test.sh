# The bash completion of meshfold, run on a scratch folder of meshes.
# Usage: bash tests/cli/completion_test.sh packaging/meshfold.bash-completion
set -u
export LC_ALL=C # completions come in byte order
source "$1"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
mkdir -p models/sub "with space"
touch -- -odd_a.3d -odd_d.3d models/notes.txt models/_a.3d models/Stray_d.3d \
  "models/Big Bunny_a.3d" "models/Big Bunny_d.3d" models/BunnyDroid_a.3d models/BunnyDroid_d.3d \
  models/X_A.3D models/X_D.3D models/sub/Deep_a.3d models/Yes_A.3d models/YES_d.3D \
  models/Z_a.3ds models/Z_b.3d models/Gun.glb models/Arm.GLTF models/Arm.bin \
  models/Endemia.u models/Walls.UTX models/Endemia.uc

# The words of a command line (joined by ","; the last one is being completed,
# as typed) and the completions expected (joined by ",").
cases=(
  'meshfold,-'                '-ms,-h,--to-unreal,--to-gltf,--fps,--fit,--scale,--texture-size,--uc,--list,--mesh,--dry-run,--,--help,--version,-?'
  'meshfold,--h'              '--help'
  'meshfold,--t'              '--to-unreal,--to-gltf,--texture-size'
  'meshfold,--to-g'           '--to-gltf'
  'meshfold,--to-gltf,--fps,' '15,24,25,30,60'
  'meshfold,--fps,2'          '24,25'
  'meshfold,--texture-size,1' '1,16,128,1024'
  'meshfold,--uc,--texture-size,' '1,2,4,8,16,32,64,128,256,512,1024'
  'meshfold,--fps,24,m'       'models/'
  'meshfold,--scale,'         '52.5'
  'meshfold,--scale,1'        ''
  'meshfold,--scale,52.5,m'   'models/'
  'meshfold,--,--fps,m'       'models/'
  'meshfold,--to-unreal,-h,m' 'models/'
  'meshfold,-q'               ''
  'meshfold,'                 '-odd,models/,with space/'
  'meshfold,--,-'             '-odd'
  'meshfold,-ms,-'            '-ms,-h,--to-unreal,--to-gltf,--fps,--fit,--scale,--texture-size,--uc,--list,--mesh,--dry-run,--,--help,--version,-?'
  'meshfold,--f'              '--fps,--fit'
  'meshfold,--s'              '--scale'
  'meshfold,--uc,models/G'    'models/Gun.glb'
  'meshfold,models/A'         'models/Arm.GLTF'
  'meshfold,models/'          'models/Arm.GLTF,models/Big Bunny,models/BunnyDroid,models/Endemia.u,models/Gun.glb,models/Walls.UTX,models/X,models/Yes,models/sub/'
  'meshfold,--list,models/E'  'models/Endemia.u'
  'meshfold,--mesh,'          ''
  'meshfold,--mesh,Skull,models/W' 'models/Walls.UTX'
  'meshfold,--l'              '--list'
  'meshfold,--m'              '--mesh'
  'meshfold,models/Bu'        'models/BunnyDroid'
  'meshfold,models/X'         'models/X'
  'meshfold,models/Y'         'models/Yes'
  'meshfold,-ms,models/Big\ ' 'models/Big Bunny'
  "meshfold,'models/Big B"    'models/Big Bunny'
  'meshfold,"models/Big B'    'models/Big Bunny'
  'meshfold,models/S'         ''
  'meshfold,models/sub/'      'models/sub/Deep'
  'meshfold,with\ '           'with space/'
)

failed=0
for ((c = 0; c < ${#cases[@]}; c += 2)); do
  IFS=, read -ra COMP_WORDS <<<"${cases[c]}"
  [[ ${cases[c]} == *, ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=(unset)
  _meshfold meshfold "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(IFS=,; echo "${COMPREPLY[*]}")
  if [[ $got != "${cases[c + 1]}" ]]; then
    echo "FAIL: completing [${cases[c]}] gave [$got], expected [${cases[c + 1]}]"
    failed=$((failed + 1))
  fi
done
echo "$((${#cases[@]} / 2 - failed)) of $((${#cases[@]} / 2)) completions right"
[[ $failed -eq 0 ]]
