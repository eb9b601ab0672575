#!/bin/sh
# Fault-injection soak of whole recordings (tests/soak_test.cpp).
#   sh tests/soak/run.sh short   seeds 1..300 (what ctest runs in `make test`)
#   sh tests/soak/run.sh long    seeds 1..5000, split over the processors
# Environment: CDW_SOAK_FIRST, CDW_SOAK_COUNT (the seed range), CDW_SOAK_BUILD (a build
# directory with soak_test, default build). A failing seed is printed as "soak seed N: ..."
# with its plan; CDW_SOAK_FIRST=N CDW_SOAK_COUNT=1 <build>/soak_test repeats it alone.
set -e
mode=${1:-short}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${CDW_SOAK_BUILD:-$root/build}
cmake --build "$build" --target soak_test -j "$(nproc)" >/dev/null

case $mode in
short) first=${CDW_SOAK_FIRST:-1}; count=${CDW_SOAK_COUNT:-300} ;;
long) first=${CDW_SOAK_FIRST:-1}; count=${CDW_SOAK_COUNT:-5000} ;;
*) echo "usage: sh tests/soak/run.sh short|long" >&2; exit 2 ;;
esac

jobs=$(nproc)
chunk=$(( (count + jobs - 1) / jobs ))
status=0
pids=""
i=0
while [ $i -lt "$jobs" ]; do
    start=$(( first + i * chunk ))
    n=$chunk
    if [ $(( start + n )) -gt $(( first + count )) ]; then n=$(( first + count - start )); fi
    if [ "$n" -gt 0 ]; then
        CDW_SOAK_FIRST=$start CDW_SOAK_COUNT=$n "$build/soak_test" >"$build/soak-$i.log" 2>&1 &
        pids="$pids $!"
    fi
    i=$(( i + 1 ))
done
for pid in $pids; do
    wait "$pid" || status=1
done
cat "$build"/soak-*.log | grep -E "^soak:|soak seed" || true
if [ $status -ne 0 ]; then
    echo "soak: FAILED (details in $build/soak-*.log)" >&2
    exit 1
fi
echo "soak: passed, seeds $first..$(( first + count - 1 )), each run twice"
