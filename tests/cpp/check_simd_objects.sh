#!/bin/sh
# Fails when an object of the per-instruction-set copies defines a symbol that may be merged with
# another object's (weak or unique symbols: inline functions and template instantiations that
# were not inlined). The linker would keep one definition for every caller, so code compiled for
# AVX-512 could end up running on a CPU without it.
status=0
for object in "$@"; do
  shared=$(nm --defined-only "$object" | awk '$2 ~ /^[WVu]$/ && $3 !~ /^DW\.ref\./ { print $3 }')
  if [ -n "$shared" ]; then
    echo "$object defines symbols other objects may share:"
    echo "$shared" | c++filt | head -20
    status=1
  fi
  echo "$object: $(nm --defined-only "$object" | awk '$2 == "T"' | wc -l) entry points"
done
exit $status
