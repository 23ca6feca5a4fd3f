#!/bin/sh
# Compile flags of the host flavour, read from build.ninja: every source whose arithmetic must
# match the kernels' (the kernels compiled as C++, the native code, its SIMD copies) is compiled
# without contraction, and each SIMD copy's last -march is its own level, whatever
# CMAKE_CXX_FLAGS holds.
ninja_file=$1
status=0
list=$(mktemp)
awk '
  /^build .*\.o: CXX_COMPILER__/ { object = $2; sub(":$", "", object); next }
  object != "" && /^  FLAGS = / { print object "\t" substr($0, 11); object = "" }
' "$ninja_file" > "$list"
while IFS="$(printf '\t')" read -r object flags; do
  case $object in
    *gyrant_core.dir/src/cpp/*.cu.o|*gyrant_core.dir/src/cpp/cpu/*.o|*gyrant_simd_*) ;;
    *) continue ;;
  esac
  last_contract=$(printf '%s\n' $flags | grep '^-ffp-contract=' | tail -n 1)
  if [ "$last_contract" != "-ffp-contract=off" ]; then
    echo "$object: contraction not off (${last_contract:-compiler default})"; status=1
  fi
  case $object in
    *gyrant_simd_*)
      target=$(printf '%s\n' "$object" | sed 's/.*gyrant_simd_\([a-z0-9_]*\)\.dir.*/\1/')
      want=$(printf '%s\n' "$target" | sed 's/^baseline$/x86-64/; s/_/-/g')
      last_march=$(printf '%s\n' $flags | grep '^-march=' | tail -n 1)
      if [ "$(uname -m)" = x86_64 ] && [ "$last_march" != "-march=$want" ]; then
        echo "$object: last instruction-set flag is '${last_march:-none}', not -march=$want"; status=1
      fi ;;
  esac
done < "$list"
rm -f "$list"
[ $status -eq 0 ] && echo "compile flags keep the kernels' arithmetic"
exit $status
