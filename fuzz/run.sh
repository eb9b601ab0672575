#!/bin/sh
# Control-interface fuzzer (libFuzzer, clang).
#   sh fuzz/run.sh short   seeded run of about three minutes (part of `make test`)
#   sh fuzz/run.sh long    one hour with a fresh seed (printed), or as set below
# Environment: CDW_FUZZ_SEED (libFuzzer -seed), CDW_FUZZ_SECONDS (run time),
# CDW_FUZZ_BUILD (build directory, default build-fuzz), CDW_FUZZ_JOBS (parallel jobs, long).
# A broken rule stops the run with the input saved as <build>/fuzz-work/crash-*; it
# reproduces with `<build>/fuzz/cdw_control_fuzzer <file>` and goes into
# tests/fuzz_regression_test.cpp as a regression case.
set -e
mode=${1:-short}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CDW_FUZZ_BUILD:-$root/build-fuzz}

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ is not installed; the fuzzer is skipped"
    exit 0
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    >/dev/null
cmake --build "$build" --target cdw_control_fuzzer -j "$(nproc)"
fuzzer=$build/fuzz/cdw_control_fuzzer

work=$build/fuzz-work
mkdir -p "$work/corpus"
case $mode in
short)
    seed=${CDW_FUZZ_SEED:-1}
    seconds=${CDW_FUZZ_SECONDS:-180}
    jobs=1
    ;;
long)
    seed=${CDW_FUZZ_SEED:-$(date +%s)}
    seconds=${CDW_FUZZ_SECONDS:-3600}
    jobs=${CDW_FUZZ_JOBS:-1}
    ;;
*)
    echo "usage: sh fuzz/run.sh short|long" >&2
    exit 2
    ;;
esac

# Large freed blocks leave ASan's quarantine at once, so the resident size follows what is in
# use (pool blocks of the transfer length the application asks for may be large).
ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
export ASAN_OPTIONS
echo "fuzz: $mode run, seed $seed, $seconds s (reproduce with CDW_FUZZ_SEED=$seed)"
status=0
if [ "$jobs" -gt 1 ]; then
    "$fuzzer" -seed="$seed" -max_total_time="$seconds" -max_len=4096 -len_control=0 -timeout=60 \
        -jobs="$jobs" -workers="$jobs" -artifact_prefix="$work/" -print_final_stats=1 \
        "$work/corpus" "$root/fuzz/corpus" || status=$?
else
    "$fuzzer" -seed="$seed" -max_total_time="$seconds" -max_len=4096 -len_control=0 -timeout=60 \
        -artifact_prefix="$work/" -print_final_stats=1 \
        "$work/corpus" "$root/fuzz/corpus" 2>"$work/last-run.log" || status=$?
    grep -E "^stat::number_of_executed_units|^control fuzzer:|^#[0-9]+ +DONE" "$work/last-run.log" || true
fi
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/last-run.log" 2>/dev/null || true
    echo "fuzz: FAILED (seed $seed); inputs that broke a rule:" >&2
    ls "$work"/crash-* "$work"/timeout-* "$work"/leak-* "$work"/oom-* 2>/dev/null >&2 || true
    exit 1
fi
echo "fuzz: passed"
