#!/bin/sh
# run.sh - `make bench`: builds the benchmark program in release mode and prints a table of
# figures, each measured in the same run as the reference it is compared with.
#
#   1. pipeline: a 512 MiB image recorded through the whole driver onto one simulated recorder
#      at speed max, buffered and unbuffered image reads, against dd bs=32k conv=notrunc,
#      dd ... conv=fsync and dd truncating its output;
#
# Every recording goes through the cdwriter tool's MMC flow: the recorder is set up through
# the pass-through request before the record-disc request, and synchronized and closed after
# it. The figures compared with dd, cdrskin and cksum time the record-disc request alone (from
# the request to COMPLETE); the set-up and closing are timed apart and shown on their own.
#   2. peer: libburn's cdrskin writing the same image to its file pseudo-drive;
#   3. CPU seconds, peak resident memory, pool per recorder (16 and 96 cache buffers) and pool
#      allocations during the recording;
#   4. checksum-only recording against cksum;
#   5. many recorders at DVD 24x and CD 52x fed from one cache drive, for growing N;
#   6. status requests per second while a recorder records.
#
# Machines are noisy: every comparison is a median over BENCH_ROUNDS rounds (default 5), and
# each round runs the driver and its reference one after the other.
#
# Environment: BENCH_BUILD (build directory, default build-bench), BENCH_ROUNDS (5),
# BENCH_WORK (scratch directory; default a fresh one under /tmp, removed at the end),
# BENCH_USER (unprivileged user for cdrskin, default cdwbench, created when missing),
# BENCH_DVD_N / BENCH_CD_N (the recorder counts of the two sweeps), BENCH_REFILL (80),
# BENCH_DISCS (directory of the many-recorder disc files; default a fresh one in /dev/shm when
# it has 8 GiB free, removed at the end, else the scratch directory).
set -eu
shm_discs=""

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD:-$repo/build-bench}
rounds=${BENCH_ROUNDS:-5}
peer_user=${BENCH_USER:-cdwbench}
jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)

echo "== Building the benchmark (Release) in $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target cdw_bench >/dev/null
bench=$build/bench/cdw_bench

# ---- the peer: libburn's cdrskin, run as an unprivileged user ---------------------------------
is_root=0
[ "$(id -u)" -eq 0 ] && is_root=1
if ! command -v cdrskin >/dev/null 2>&1 && [ $is_root -eq 1 ]; then
    echo "== Installing cdrskin"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq cdrskin >/dev/null 2>&1 ||
        { apt-get update -qq && apt-get install -y -qq cdrskin >/dev/null; } || true
fi
have_peer=0
command -v cdrskin >/dev/null 2>&1 && have_peer=1
run_as_peer=""
if [ $have_peer -eq 1 ] && [ $is_root -eq 1 ]; then
    if ! id -u "$peer_user" >/dev/null 2>&1; then
        useradd --system --no-create-home --shell /usr/sbin/nologin "$peer_user"
    fi
    if command -v setpriv >/dev/null 2>&1; then
        run_as_peer="setpriv --reuid=$(id -u "$peer_user") --regid=$(id -g "$peer_user") --clear-groups"
    else
        run_as_peer="runuser -u $peer_user --"
    fi
fi

# ---- scratch files -----------------------------------------------------------------------------
own_work=""
if [ -n "${BENCH_WORK:-}" ]; then
    work=$BENCH_WORK
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/cdwriter-bench.XXXXXX)
    own_work=$work
fi
trap 'rm -rf ${own_work:+"$own_work"} ${shm_discs:+"$shm_discs"}' EXIT
trap 'exit 130' INT TERM
chmod 755 "$work"
results=$work/results
rm -rf "$results"
mkdir -p "$results" "$work/discs"

image=$work/img.iso
mib=512
echo "== Making a $mib MiB image (pseudo-random data) in $work"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$image"
head -c $((64 * 1024 * 1024)) "$image" >"$work/i64.iso"
head -c $((32 * 1024 * 1024)) "$image" >"$work/i32.iso"
head -c $((128 * 1024 * 1024)) "$image" >"$work/i128.iso"
chmod 644 "$image" "$work"/i*.iso
cp "$image" "$work/dd.out"
cp "$image" "$work/peer.img"
if [ -n "$run_as_peer" ]; then
    chown "$peer_user" "$work/peer.img"
fi
cat "$image" >/dev/null

# field KEY LINE: the value of KEY=... in a RESULT line
field() {
    echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"
}
# note NAME VALUE: appends one sample of a figure
note() {
    echo "$2" >>"$results/$1"
}
# median NAME: the median of the samples of a figure
median() {
    sort -g "$results/$1" | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "nan"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "nan" }'
}
timed() {
    "$bench" time "$@"
}

# ---- 1-4: pipeline, peer, checksum ----------------------------------------------------------------
echo "== Pipeline, peer and checksum: $rounds rounds (each round: driver runs and references)"
round=1
while [ $round -le "$rounds" ]; do
    printf '   round %d/%d\n' "$round" "$rounds"
    r=$(timed dd if="$image" of="$work/dd.out" bs=32k conv=notrunc)
    dd_s=$(field seconds "$r")
    note dd_notrunc_s "$dd_s"
    note dd_notrunc_cpu "$(field cpu "$r")"

    out=$("$bench" pipeline "$image" "$work/disc.img" --runs 2 --verify)
    fresh=$(echo "$out" | grep 'run=0')
    over=$(echo "$out" | grep 'run=1')
    for line in "$fresh" "$over"; do
        [ "$(field identical "$line")" = 1 ] || { echo "bench: the disc differs from the image" >&2; exit 1; }
    done
    p_s=$(field seconds "$over")
    note pipe_s "$p_s"
    note pipe_cpu "$(field cpu "$over")"
    note pipe_fresh_s "$(field seconds "$fresh")"
    note pipe_rss "$(field rss_kib "$over")"
    note pipe_setup_s "$(field setup_s "$over")"
    note pipe_close_s "$(field close_s "$over")"
    for line in "$fresh" "$over"; do
        [ "$(field closed "$line")" = 1 ] || { echo "bench: the disc was not closed" >&2; exit 1; }
    done
    note ratio_dd "$(ratio "$p_s" "$dd_s")"
    pool96=$(field pool_per_recorder "$over")
    allocs=$(field pool_allocs "$over")
    reqbufs=$(field request_buffers "$over")
    writes=$(field writes "$over")

    r=$(timed dd if="$image" of="$work/dd.out" bs=32k conv=notrunc,fsync)
    note dd_fsync_s "$(field seconds "$r")"
    note ratio_fsync "$(ratio "$p_s" "$(field seconds "$r")")"

    r=$(timed dd if="$image" of="$work/dd.out" bs=32k)
    note dd_trunc_s "$(field seconds "$r")"
    note ratio_trunc "$(ratio "$(field seconds "$fresh")" "$(field seconds "$r")")"

    if [ $have_peer -eq 1 ]; then
        # shellcheck disable=SC2086
        r=$(timed $run_as_peer cdrskin --no_rc --allow_emulated_drives dev=stdio:"$work/peer.img" \
            -sao "$image")
        note peer_s "$(field seconds "$r")"
        note peer_cpu "$(field cpu "$r")"
        note ratio_peer "$(ratio "$p_s" "$(field seconds "$r")")"
    fi

    out=$("$bench" pipeline "$image" "$work/disc.img" --runs 2 --unbuffered --verify)
    line=$(echo "$out" | grep 'run=1')
    [ "$(field identical "$line")" = 1 ] || { echo "bench: the disc differs from the image" >&2; exit 1; }
    note unbuf_s "$(field seconds "$line")"
    note unbuf_cpu "$(field cpu "$line")"
    r=$(timed dd if="$image" of="$work/dd.out" bs=32k conv=notrunc iflag=direct)
    note dd_direct_s "$(field seconds "$r")"
    note ratio_unbuf "$(ratio "$(field seconds "$line")" "$(field seconds "$r")")"

    r=$(timed cksum "$image")
    ck_s=$(field seconds "$r")
    note cksum_s "$ck_s"
    out=$("$bench" pipeline "$image" "$work/disc.img" --runs 2 --checksum --verify)
    line=$(echo "$out" | grep 'run=1')
    [ "$(field identical "$line")" = 1 ] || { echo "bench: the checksum differs from the image's" >&2; exit 1; }
    note sum_s "$(field seconds "$line")"
    note sum_cpu "$(field cpu "$line")"
    note ratio_cksum "$(ratio "$(field seconds "$line")" "$ck_s")"
    round=$((round + 1))
done

echo "== Memory: 16 cache buffers"
out=$("$bench" pipeline "$image" "$work/disc.img" --runs 2 --buffers 16 --verify)
line16=$(echo "$out" | grep 'run=1')
pool16=$(field pool_per_recorder "$line16")

# ---- 5: many recorders -----------------------------------------------------------------------------
# sweep NAME IMAGE SPEED DRIVEBUFFER N...: runs until the first N that fails twice. A failing
# N is run a second time (the machine may be shared); the table marks such a row.
passes() {
    [ "$(field complete "$2")" = "$1" ] && [ "$(field closed "$2")" = "$1" ] &&
        [ "$(field identical "$2")" = "$1" ] && [ "$(field underruns "$2")" = 0 ]
}
sweep() {
    name=$1 img=$2 speed=$3 dbuf=$4
    shift 4
    best=0
    : >"$results/$name.rows"
    for n in "$@"; do
        ok=0
        for try in 1 2; do
            line=$("$bench" many "$img" "$discs" "$n" "$speed" --drive-buffer "$dbuf" \
                --refill "$refill" --stagger --buffers 0)
            if [ "$(field pool_exhausted "$line")" = 1 ]; then
                ok=0
                break
            fi
            printf '   %-6s N=%-4s try %s: %s\n' "$name" "$n" "$try" \
                "$(echo "$line" | sed 's/^RESULT mode=many //')"
            if passes "$n" "$line"; then
                ok=$try
                best=$n
                break
            fi
        done
        if [ "$(field pool_exhausted "$line")" = 1 ]; then
            printf '   %-6s N=%-4s: the non-paged pool cannot give %s recorders 16 cache buffers each\n' \
                "$name" "$n" "$n"
            echo "$n pool $line" >>"$results/$name.rows"
            break
        fi
        echo "$n $ok $line" >>"$results/$name.rows"
        [ $ok -ne 0 ] || break
    done
    echo "$best" >"$results/$name.best"
}
echo "== Many recorders from one cache drive"
# The simulated recorders' media: in memory (/dev/shm) when it has room for the largest sweep,
# so that the host's write-back of gigabytes of disc files does not stall the recorders (a
# real recorder writes to its own medium, not to the host's disk).
discs=${BENCH_DISCS:-}
if [ -z "$discs" ]; then
    discs=$work/discs
    shm_kib=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')
    if [ -n "$shm_kib" ] && [ "$shm_kib" -gt $((8 * 1024 * 1024)) ]; then
        discs=$(mktemp -d /dev/shm/cdwriter-bench-discs.XXXXXX)
        shm_discs=$discs
    fi
fi
mkdir -p "$discs"
dvd_buffer=$((8 * 1024 * 1024))
refill=${BENCH_REFILL:-80}
cd_buffer=$((2 * 1024 * 1024))
line2m=$("$bench" many "$work/i64.iso" "$discs" 1 24d --drive-buffer $cd_buffer)
line2m_hold=$("$bench" many "$work/i64.iso" "$discs" 1 24d --drive-buffer $cd_buffer --hold)
line_burst=$("$bench" many "$work/i64.iso" "$discs" 24 24d --drive-buffer $dvd_buffer \
    --refill "$refill" --buffers 0)
line_default=$("$bench" many "$work/i64.iso" "$discs" 24 24d --drive-buffer $dvd_buffer \
    --stagger --buffers 0)
echo "   (DVD 24x with a 2 MiB drive buffer, 1 recorder: $(field underruns "$line2m") underruns answering 02/04/08, $(field underruns "$line2m_hold") holding the WRITE)"
# shellcheck disable=SC2086
sweep dvd24 "$work/i64.iso" 24d $dvd_buffer ${BENCH_DVD_N:-1 8 16 24 32 40 48 56 64 80 96}
# shellcheck disable=SC2086
sweep cd52 "$work/i32.iso" 52c $cd_buffer ${BENCH_CD_N:-1 16 32 48 64 80 96 112}

rt_threads=$(field realtime_threads "$line_default")
case $discs in
/dev/shm/*) media="memory (/dev/shm)" ;;
*) media="$discs" ;;
esac
first_underrun="none"
for name in dvd24 cd52; do
    while read -r n ok line; do
        [ "$ok" = 0 ] || continue
        first_underrun="$name N=$n recorder $(field first_underrun_recorder "$line") at block \
$(field first_underrun_block "$line"), $(field first_underrun_after_start_s "$line") s after its start,\
 $(field first_underrun_gap_ms "$line") ms after its buffer ran empty"
    done <"$results/$name.rows"
done

# ---- 6: status requests --------------------------------------------------------------------------
echo "== Status requests while recording (DVD 24x)"
line=$("$bench" status "$work/i128.iso" "$work/disc.img" 24d --drive-buffer $dvd_buffer --seconds 2)
status_rate=$(field per_second "$line")

# ---- the table -------------------------------------------------------------------------------------
m() { median "$1"; }
f3() { awk -v v="$1" 'BEGIN { printf "%.3f", v }'; }
per_gib() { awk -v v="$1" -v mib=$mib 'BEGIN { printf "%.3f", v * 1024 / mib }'; }

cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
mem_gib=$(awk '/MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo)
pipe_s=$(m pipe_s)
sum_s=$(m sum_s)
checksum_gbps=$(awk -v s="$sum_s" -v b=$((mib * 1024 * 1024)) 'BEGIN { printf "%.2f", b / s / 1e9 }')
cksum_gbps=$(awk -v s="$(m cksum_s)" -v b=$((mib * 1024 * 1024)) 'BEGIN { printf "%.2f", b / s / 1e9 }')
limit=$((96 * 156672))

echo
echo "cdwriter benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $jobs cores ($cpu_model), $mem_gib GiB, $(uname -sr); image $mib MiB, page cache warm;"
echo "figures are medians of $rounds rounds; ratios are medians of the per-round ratios"
echo
echo "1. Pipeline: $mib MiB through the whole driver onto one simulated recorder at speed max, a"
echo "   blank CD-R set up by the tool's MMC flow (page 05: track at once, Mode 1, underrun"
echo "   protection) and closed by it (SYNCHRONIZE CACHE, CLOSE TRACK, CLOSE SESSION); the driver's"
echo "   wall and CPU s run from the record-disc request to COMPLETE (at speed max every block is"
echo "   then in the disc file), without the flow's set-up and closing (below)"
printf '   %-52s %8s %8s %8s\n' "" "wall s" "CPU s" "ratio"
printf '   %-52s %8s %8s %8s\n' "dd bs=32k conv=notrunc" "$(f3 "$(m dd_notrunc_s)")" "$(f3 "$(m dd_notrunc_cpu)")" "1.00"
printf '   %-52s %8s %8s %8s\n' "driver, buffered read, disc file exists" "$(f3 "$pipe_s")" "$(f3 "$(m pipe_cpu)")" "$(m ratio_dd)"
printf '   %-52s %8s %8s %8s\n' "dd bs=32k conv=notrunc,fsync" "$(f3 "$(m dd_fsync_s)")" "" "$(m ratio_fsync)"
printf '   %-52s %8s %8s %8s\n' "dd bs=32k (truncating its output)" "$(f3 "$(m dd_trunc_s)")" "" "1.00"
printf '   %-52s %8s %8s %8s\n' "driver, buffered read, fresh (truncated) disc file" "$(f3 "$(m pipe_fresh_s)")" "" "$(m ratio_trunc)"
printf '   %-52s %8s %8s %8s\n' "dd bs=32k conv=notrunc iflag=direct" "$(f3 "$(m dd_direct_s)")" "" "1.00"
printf '   %-52s %8s %8s %8s\n' "driver, unbuffered (O_DIRECT) read" "$(f3 "$(m unbuf_s)")" "$(f3 "$(m unbuf_cpu)")" "$(m ratio_unbuf)"
echo "   (ratio: the driver's time over the reference in the line above it; \"disc file exists\":"
echo "    the second recording of the process, onto a new blank medium whose disc file keeps the"
echo "    bytes the first one wrote, as dd conv=notrunc writes over its output; \"fresh\": the"
echo "    first, into a disc file emptied for the blank medium)"
printf '   %-52s %s\n' "the flow's set-up before the request (not above)" "$(f3 "$(m pipe_setup_s)") s"
printf '   %-52s %s\n' "the flow's closing after COMPLETE (not above)" "$(f3 "$(m pipe_close_s)") s"
echo
echo "2. Peer: cdrskin --no_rc --allow_emulated_drives dev=stdio:OUT -sao IMAGE (4 MiB fifo)"
if [ $have_peer -eq 1 ]; then
    printf '   %-52s %8s %8s %8s\n' "cdrskin, as user $peer_user" "$(f3 "$(m peer_s)")" "$(f3 "$(m peer_cpu)")" ""
    printf '   %-52s %8s %8s %8s\n' "driver, buffered read, disc file exists" "$(f3 "$pipe_s")" "$(f3 "$(m pipe_cpu)")" "$(m ratio_peer)"
else
    echo "   cdrskin is not installed (run as root to install it): no peer figures"
fi
echo
echo "3. CPU and memory (buffered read, disc file exists)"
printf '   %-52s %s\n' "CPU (user+sys) per GiB recorded" "$(per_gib "$(m pipe_cpu)") s (dd notrunc: $(per_gib "$(m dd_notrunc_cpu)") s)"
printf '   %-52s %s\n' "CPU per $mib MiB" "$(f3 "$(m pipe_cpu)") s (target <= 0.35)"
printf '   %-52s %s\n' "peak resident memory of the process, 96 buffers" "$(m pipe_rss) KiB"
printf '   %-52s %s\n' "peak resident memory of the process, 16 buffers" "$(field rss_kib "$line16") KiB"
printf '   %-52s %s\n' "pool per recorder, 96 cache buffers" "$pool96 bytes (96 x 156672 = $limit, +$((pool96 - limit)))"
printf '   %-52s %s\n' "pool per recorder, 16 cache buffers" "$pool16 bytes (16 x 156672 = $((16 * 156672)), +$((pool16 - 16 * 156672)))"
printf '   %-52s %s\n' "pool allocations during one recording" "$allocs = $writes WRITE(10) request blocks + $reqbufs request buffers"
printf '   %-52s %s\n' "" "(the record-disc request and the application's status polls)"
printf '   %-52s %s\n' "pool allocations per WRITE(10) command" "$(awk -v a="$allocs" -v r="$reqbufs" -v w="$writes" 'BEGIN { printf "%.3f", (a - r) / w }')"
echo
echo "4. Checksum-only recording of the image against cksum (nothing is written: as in the tool,"
echo "   the recorder is not set up or closed; from the request to COMPLETE)"
printf '   %-52s %8s %8s %8s\n' "" "wall s" "CPU s" "GB/s"
printf '   %-52s %8s %8s %8s\n' "cksum IMAGE" "$(f3 "$(m cksum_s)")" "" "$cksum_gbps"
printf '   %-52s %8s %8s %8s\n' "driver, checksum only, buffered read" "$(f3 "$sum_s")" "$(f3 "$(m sum_cpu)")" "$checksum_gbps"
printf '   %-52s %s\n' "ratio to cksum" "$(m ratio_cksum)"
echo
echo "5. Many recorders recording at once from one cache drive (cache-drive lock around every"
echo "   fill burst); each recorder gets an equal share of the 256 MiB non-paged pool as cache"
echo "   buffers (at most 96); buffered reads; refill at $refill % of the ring (the record-disc"
echo "   request's refillPercent); the application starts each recorder once the one before it"
echo "   has filled its drive buffer (a few ms each); every recorder is set up through the tool's"
echo "   MMC flow before the first starts (a blank DVD+R: the speed, no write parameters; a blank"
echo "   CD-R: the speed and page 05, track at once) and closed by it once its request is complete"
echo "   (SYNCHRONIZE CACHE, then CLOSE TRACK and FINALIZE or CLOSE SESSION), while the others"
echo "   still record; wall s: from the first start to the last COMPLETE; pass = every recording"
echo "   complete and closed, zero underruns, every disc identical to the image; the recording"
echo "   threads run in the host's real-time class as the platform runs their priority 31"
echo "   ($rt_threads threads were);"
echo "   the simulated media are files in $media"
echo "   DVD 24x (33.2 MB/s each): 64 MiB image per recorder, 8 MiB drive buffer"
echo "   CD 52x (7.99 MB/s each): 32 MiB image per recorder, 2 MiB drive buffer"
printf '   %-7s %4s %7s %4s %6s %9s %9s %8s %8s %9s %7s\n' speed N buffers pass closed underruns identical "min ring" "(start)" "min drive" "wall s"
for name in dvd24 cd52; do
    while read -r n ok line; do
        if [ "$ok" = pool ]; then
            printf '   %-7s %4s %7s  no pool: fewer than 16 cache buffers per recorder\n' "$name" "$n" \
                "$(field buffers "$line")"
            continue
        fi
        printf '   %-7s %4s %7s %4s %6s %9s %9s %8s %8s %9s %7s\n' "$name" "$n" "$(field buffers "$line")" \
            "$(case $ok in 1) echo yes ;; 2) echo yes2 ;; *) echo no ;; esac)" \
            "$(field closed "$line")/$n" "$(field underruns "$line")" "$(field identical "$line")/$n" "$(field min_ring "$line")" \
            "$(field min_ring_start "$line")" "$(field min_drive "$line")" "$(field seconds "$line")"
    done <"$results/$name.rows"
done
echo "   (pass yes2: passed on the second try after a first run with underruns)"
echo "   (first underrun of the last failing run: $first_underrun)"
echo "   (min ring: lowest ring fill (packetsQueued / buffers, polled every 3 ms) after each"
echo "    recorder's start-up (its drive buffer full once, its ring back at the refill threshold),"
echo "    while the image still had more than a ring to read; (start): the same from the first"
echo "    write on, when the first write pass pours the ring into the empty drive buffer; min"
echo "    drive: lowest drive-buffer level polled after the start-up)"
for variant in burst default; do
    if [ $variant = burst ]; then
        line=$line_burst
        what="24 at DVD 24x, all started at once"
    else
        line=$line_default
        what="24 at DVD 24x, driver's refill threshold (30 packets)"
    fi
    echo "   $what: underruns $(field underruns "$line"), identical $(field identical "$line")/24," \
        "min ring $(field min_ring "$line") (start $(field min_ring_start "$line")), min drive $(field min_drive "$line")"
done
echo "   A full drive buffer met both ways: DVD 24x, the simulator's default 2 MiB drive buffer,"
echo "   1 recorder, 64 MiB image, underruns per 64 MiB:"
printf '   %-72s %s\n' "  recorder answering NOT READY 02/04/08 at once (long write in progress)" \
    "$(field underruns "$line2m") (02/04/08 answers: $(field not_ready "$line2m"), closed $(field closed "$line2m")/1, identical $(field identical "$line2m")/1)"
printf '   %-72s %s\n' "  recorder holding the WRITE until its buffer has room" \
    "$(field underruns "$line2m_hold") (02/04/08 answers: $(field not_ready "$line2m_hold"), closed $(field closed "$line2m_hold")/1, identical $(field identical "$line2m_hold")/1)"
echo "   (after a 02/04/08 answer the driver pauses 100 ms before it sends again; 2 MiB last"
echo "    63 ms at 24x)"
echo
echo "6. Control path (one recorder at DVD 24x set up through the flow; the recording is"
echo "   cancelled after the measurement, not closed)"
printf '   %-52s %s\n' "status requests per second, one recorder recording" "$status_rate"
echo
echo "finished in $(($(date +%s) - started)) s"
echo
echo "pipeline_vs_dd_notrunc: $(m ratio_dd)"
if [ $have_peer -eq 1 ]; then
    echo "pipeline_vs_cdrskin: $(m ratio_peer)"
else
    echo "pipeline_vs_cdrskin: nan"
fi
echo "cpu_s_per_512MiB: $(f3 "$(m pipe_cpu)")"
echo "checksum_GBps: $checksum_gbps"
echo "max_recorders_dvd24x: $(cat "$results/dvd24.best")"
echo "max_recorders_cd52x: $(cat "$results/cd52.best")"
echo "status_requests_per_s: $status_rate"
