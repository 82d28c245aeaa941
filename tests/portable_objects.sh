#!/bin/sh
# portable_objects.sh OBJDUMP OBJECT...: fails when a function of the portable build holds a
# VEX or EVEX instruction (mnemonics starting with v, or ymm/zmm registers): it would stop the
# program with an illegal instruction on a CPU without AVX. Left out: the units compiled for
# a wider instruction set (*_avx2*, *_avx512*) and the functions built for one (named so),
# which run only where the CPU has it.
objdump=$1
shift
status=0 checked=0
for object in "$@"; do
  case "$object" in *_avx2* | *_avx512*) continue ;; esac
  checked=$((checked + 1))
  found=$("$objdump" -d --no-show-raw-insn "$object" | awk -F'\t' '/^[0-9a-f]+ <.*>:$/ { wide = /avx/ } !wide && ($2 ~ /^v/ || /%[yz]mm/)' | head -n 3)
  if [ -n "$found" ]; then
    echo "$object holds AVX instructions:"
    echo "$found"
    status=1
  fi
done
[ "$checked" -gt 0 ] || { echo "no object files given"; exit 1; }
echo "$checked portable object files checked"
exit $status
