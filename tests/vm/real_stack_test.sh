#!/bin/bash
# real_stack_test.sh - records an image through the whole driver, the SG_IO port and the MMC flow
# onto a DVD+R that tgt emulates, reached through a real Linux SCSI stack and iSCSI initiator in
# a QEMU guest (TCG), then compares tgt's backing file with the image byte for byte. Before
# that, a second DVD+R is unplugged while it records beside a simulated recorder.
#
#   real_stack_test.sh CDWRITER_BINARY WORK_DIRECTORY
#
# Needs qemu-system-x86_64, tgtd/tgtadm/tgtimg, busybox (static), iscsistart, cpio, xorriso and
# python3, and the Debian kernel package in WORK_DIRECTORY/cache (make's dependency step puts it
# there); without them it exits 77 (skipped) and says what is missing. Everything it starts
# (tgtd, qemu) it stops again by process id, also when it fails.
#
# Network: the guest's only way out is the forward of 10.0.2.100:3260 to tgtd's portal on
# 127.0.0.1 (user-mode network with restrict=on); tgtd listens on 127.0.0.1 only.
set -u

TOOL=${1:?cdwriter binary}
WORK=${2:?work directory}
SKIP=77
started=$(date +%s.%N)

skip() {
    echo "SKIP: $*"
    exit $SKIP
}
fail() {
    echo "FAIL: $*"
    exit 1
}

for program in qemu-system-x86_64 tgtd tgtadm tgtimg busybox iscsistart cpio xorriso python3 \
    gzip; do
    command -v "$program" >/dev/null 2>&1 || skip "$program is not installed (make deps-vm)"
done
[ -x "$TOOL" ] || fail "no cdwriter binary at $TOOL"
busybox_path=$(command -v busybox)
if ldd "$busybox_path" >/dev/null 2>&1; then
    skip "busybox is not the static one (package busybox-static)"
fi
kernel_deb=$(ls -t "$WORK"/cache/linux-image-6.1.0-*-amd64_*.deb 2>/dev/null | head -1)
[ -n "$kernel_deb" ] || skip "no Debian kernel package in $WORK/cache (make deps-vm)"

mkdir -p "$WORK"
run=$(mktemp -d "$WORK/run.XXXXXX")
tgtd_pid=""
qemu_pid=""
control_port=""

watchdog_pid=""
cleanup() {
    if [ -n "$watchdog_pid" ]; then
        # the watchdog and its sleep, by process id
        kill $(cat /proc/"$watchdog_pid"/task/*/children 2>/dev/null) "$watchdog_pid" 2>/dev/null
        wait "$watchdog_pid" 2>/dev/null
    fi
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid" 2>/dev/null
        wait "$qemu_pid" 2>/dev/null
    fi
    if [ -n "$tgtd_pid" ] && kill -0 "$tgtd_pid" 2>/dev/null; then
        timeout 10 tgtadm -C "$control_port" --mode system --op delete >/dev/null 2>&1
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$tgtd_pid" 2>/dev/null || break
            sleep 0.5
        done
        kill -9 "$tgtd_pid" 2>/dev/null
        wait "$tgtd_pid" 2>/dev/null
    fi
    if [ "${KEEP_RUN:-0}" = 1 ]; then
        echo "kept $run"
    else
        rm -rf "$run"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- the guest: the kernel package's image and modules, busybox, iscsistart, cdwriter -------
# Kept between runs: the uncompressed kernel and the modules the guest loads, in load order.
kernel_dir="$WORK/kernel"
stamp="$kernel_dir/.from-$(basename "$kernel_deb")"
if [ ! -e "$stamp" ]; then
    rm -rf "$kernel_dir"
    mkdir -p "$kernel_dir/modules"
    unpacked="$kernel_dir/unpacked"
    dpkg-deb -x "$kernel_deb" "$unpacked" || fail "cannot unpack $kernel_deb"
    vmlinuz=$(ls "$unpacked"/boot/vmlinuz-* | head -1)
    # The uncompressed ELF boots through PVH, about twice as fast as the compressed image.
    python3 - "$vmlinuz" "$kernel_dir/vmlinux" <<'EOF' || cp "$vmlinuz" "$kernel_dir/vmlinux"
import lzma, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(b'\xfd7zXZ\x00')
if at < 0:
    sys.exit(1)
elf = lzma.LZMADecompressor().decompress(data[at:])
if elf[:4] != b'\x7fELF':
    sys.exit(1)
open(sys.argv[2], 'wb').write(elf)
EOF
    # Modules in dependency order (the .modinfo depends= line of each).
    declare -A loaded=()
    add_module() {
        local name=$1 file deps dep
        [ -n "${loaded[$name]:-}" ] && return
        loaded[$name]=1
        file=$(find "$unpacked"/lib/modules/*/kernel -name "$name.ko" | head -1)
        [ -n "$file" ] || fail "module $name is not in the kernel package"
        deps=$(grep -a -o 'depends=[a-z0-9_,-]*' "$file" | head -1 | cut -d= -f2)
        for dep in ${deps//,/ }; do
            add_module "$dep"
        done
        cp "$file" "$kernel_dir/modules/"
        echo "/lib/modules/$name.ko" >>"$kernel_dir/modules.order"
    }
    for m in crc32c_generic virtio_pci virtio_net scsi_mod sg sr_mod iscsi_tcp; do
        add_module "$m"
    done
    rm -rf "$unpacked"
    touch "$stamp"
fi

root="$run/root"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,lib,etc,root,work}
cp "$busybox_path" "$root/bin/busybox"
for applet in seq sh mount insmod ip ifconfig sleep ls cat echo poweroff mkdir grep sync dd kill \
    readlink su chgrp chmod; do
    ln -s busybox "$root/bin/$applet"
done
cp -r "$kernel_dir/modules" "$root/lib/modules"
cp "$kernel_dir/modules.order" "$root/modules.order"

# Dynamic programs with the libraries they load.
copy_program() {
    local program=$1 target=$2 lib
    cp "$program" "$root$target"
    for lib in $(ldd "$program" | grep -o '/[^ ]*'); do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}
copy_program "$TOOL" /bin/cdwriter
copy_program "$(command -v iscsistart)" /sbin/iscsistart

# The image: a small ISO 9660 file system of 2048-byte blocks.
mkdir -p "$run/files"
head -c 3000000 /dev/urandom >"$run/files/random.bin"
echo "cdwriter real-stack test" >"$run/files/README"
xorriso -as mkisofs -quiet -V CDWTEST -o "$root/work/image.iso" "$run/files" >/dev/null 2>&1 ||
    fail "xorriso could not make the image"
cp "$root/work/image.iso" "$run/image.iso"

printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ncdrom:x:24:\nnogroup:x:65534:\n' >"$root/etc/group"
cat >"$root/init" <<'EOF'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
export HOME=/root XDG_STATE_HOME=/tmp/state PATH=/bin:/sbin
for m in $(cat /modules.order); do insmod $m || echo "GUEST: insmod $m failed"; done
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
step() { echo "GUEST-BEGIN $1"; shift; "$@"; echo "GUEST-END rc=$?"; }
step login iscsistart -i iqn.2026-12.org.cdwriter:guest -t iqn.2026-12.org.cdwriter:dvd \
    -g 1 -a 10.0.2.100 -p 3260
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    [ -e /dev/sg2 ] && break
    sleep 0.5
done
# LUN 2 is unplugged while it records beside a simulated recorder, which must go on.
for d in /sys/class/scsi_generic/sg*; do
    case "$(readlink $d/device)" in *:2) second=${d##*/} ;; esac
done
unplug() {
    dd if=/dev/zero of=/tmp/zeros.iso bs=1048576 count=24 2>/dev/null
    printf 'recorder disc=/tmp/sim.img\nrecorder sg=/dev/%s\n' "$second" >/tmp/install
    cdwriter --install /tmp/install --disc-dir /tmp/discs record /tmp/zeros.iso >/tmp/unplug.out 2>&1 &
    pid=$!
    for i in $(seq 1 600); do
        grep -q "Recorder 1: [0-9.]* of" /tmp/unplug.out && break
        sleep 0.1
    done
    # While it records, the recorder is another process's: a second run is refused.
    cdwriter --recorders sg media >/tmp/busy.out 2>&1
    echo "second run: rc=$? $(cat /tmp/busy.out)"
    echo 1 >/sys/class/scsi_generic/$second/device/delete
    wait $pid
    rc=$?
    cat /tmp/unplug.out
    return $rc
}
step unplug unplug
step devices cdwriter devices
step record cdwriter --recorders sg record /work/image.iso --verify
step media cdwriter --recorders sg media
step inquiry cdwriter --recorders sg scsi 0 "12 00 00 00 60 00" --read 96
step closed cdwriter --recorders sg record /work/image.iso
# A user without access to the recorder is told which group gives it.
chgrp 24 /dev/sg1
chmod 660 /dev/sg1
step permission su nobody -s /bin/sh -c "XDG_STATE_HOME=/tmp/nobody cdwriter --recorders sg devices"
sync
echo "GUEST-DONE"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$run/initrd.gz" ||
    fail "cannot pack the initramfs"

# ---- the target: tgtd serving a blank DVD+R on 127.0.0.1 only --------------------------------
tgtimg --op new --device-type cd --type dvd+r --file "$run/dvd.img" >"$run/tgtimg.log" 2>&1 ||
    fail "tgtimg could not make a blank DVD+R: $(cat "$run/tgtimg.log")"
free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
portal_port=$(free_port)
control_port=$((1000 + $$ % 20000)) # tgtd takes 0 to 32767
tgtd -f -C "$control_port" --iscsi portal=127.0.0.1:"$portal_port" >"$run/tgtd.log" 2>&1 &
tgtd_pid=$!
# Should this script itself be killed without its traps running, a watchdog still stops tgtd.
(
    sleep 240
    timeout 10 tgtadm -C "$control_port" --mode system --op delete >/dev/null 2>&1
    sleep 2
    kill -9 "$tgtd_pid" 2>/dev/null
) </dev/null >/dev/null 2>&1 &
watchdog_pid=$!
tgtadm_() { timeout 10 tgtadm -C "$control_port" --lld iscsi "$@"; }
ready=0
for _ in $(seq 1 40); do
    if tgtadm_ --mode target --op show >/dev/null 2>&1; then
        ready=1
        break
    fi
    kill -0 "$tgtd_pid" 2>/dev/null || break
    sleep 0.25
done
[ $ready = 1 ] || fail "tgtd did not start: $(tail -5 "$run/tgtd.log")"
tgtadm_ --mode target --op new --tid 1 --targetname iqn.2026-12.org.cdwriter:dvd ||
    fail "tgtadm: new target"
tgtadm_ --mode logicalunit --op new --tid 1 --lun 1 --device-type cd \
    --backing-store "$run/dvd.img" || fail "tgtadm: new logical unit"
tgtimg --op new --device-type cd --type dvd+r --file "$run/dvd2.img" >>"$run/tgtimg.log" 2>&1 ||
    fail "tgtimg could not make a second blank DVD+R"
tgtadm_ --mode logicalunit --op new --tid 1 --lun 2 --device-type cd \
    --backing-store "$run/dvd2.img" || fail "tgtadm: second logical unit"
tgtadm_ --mode target --op bind --tid 1 --initiator-address ALL || fail "tgtadm: bind"

# ---- the guest run ---------------------------------------------------------------------------
boot_started=$(date +%s.%N)
timeout 150 qemu-system-x86_64 -nodefaults -display none -no-reboot -accel tcg -m 512 -smp 1 \
    -kernel "$kernel_dir/vmlinux" -initrd "$run/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 loglevel=3" \
    -serial "file:$run/console.log" -monitor none \
    -netdev "user,id=n0,restrict=on,guestfwd=tcp:10.0.2.100:3260-tcp:127.0.0.1:$portal_port" \
    -device virtio-net-pci,netdev=n0,romfile= </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!
wait "$qemu_pid"
qemu_rc=$?
qemu_pid=""
boot_ended=$(date +%s.%N)
console="$run/console.log"
tr -d '\r' <"$console" >"$run/console.txt"
console="$run/console.txt"
cat "$console"
[ $qemu_rc = 0 ] || fail "qemu ended with $qemu_rc: $(cat "$run/qemu.log")"
grep -q GUEST-DONE "$console" || fail "the guest did not finish its steps"

# The output of one step, and its exit code.
step_output() { sed -n "/^GUEST-BEGIN $1\$/,/^GUEST-END rc=/p" "$console"; }
step_rc() { step_output "$1" | sed -n 's/^GUEST-END rc=//p'; }

[ "$(step_rc login)" = 0 ] || fail "the iSCSI login failed"
# The unplugged recorder's recording ends; the simulated one beside it completes.
[ "$(step_rc unplug)" = 1 ] || fail "the run with an unplugged recorder did not exit 1"
step_output unplug | grep -q "Recorder 0: COMPLETE" ||
    fail "the simulated recorder did not complete beside the unplugged one"
step_output unplug | grep -Eq "Recorder 1: [A-Z_]*FAILED" ||
    fail "the unplugged recorder's recording did not end as failed"
step_output unplug | grep -q "second run: rc=3 .*is in use by another process" ||
    fail "a second run on a recording recorder was not refused as busy (exit 3)"
[ "$(step_rc closed)" = 1 ] || fail "recording onto the closed disc did not exit 1"
step_output closed | grep -Eq "nothing more can be recorded|which this tool cannot record" ||
    fail "recording onto the closed disc was not refused as not writable"
[ "$(step_rc permission)" = 3 ] || fail "a user without access to the recorder did not get exit 3"
step_output permission | grep -q 'add the user to group "cdrom"' ||
    fail "the refusal does not name the recorder's group"
[ "$(step_rc devices)" = 0 ] || fail "cdwriter devices failed"
step_output devices | grep -q "real recorder /dev/sg" || fail "cdwriter devices lists no real recorder"
[ "$(step_rc record)" = 0 ] || fail "the recording failed"
step_output media | grep -qi "complete" || fail "cdwriter media does not say the disc is complete"
[ "$(step_rc inquiry)" = 0 ] || fail "the pass-through INQUIRY failed"
# tgt's INQUIRY data is shorter than 96 bytes: the reply must carry the real length.
step_output inquiry | grep -Eiq "data \(([0-9]+) bytes\)|([0-9]+) bytes" ||
    fail "the pass-through INQUIRY does not say how many bytes came back"
inquiry_bytes=$(step_output inquiry | grep -Eo '[0-9]+ bytes' | head -1 | cut -d' ' -f1)
[ -n "$inquiry_bytes" ] && [ "$inquiry_bytes" -lt 96 ] ||
    fail "the pass-through INQUIRY reports $inquiry_bytes bytes, not the real (shorter) length"

# ---- tgt's medium against the image ----------------------------------------------------------
size=$(stat -c %s "$run/image.iso")
cmp -n "$size" "$run/image.iso" "$run/dvd.img" || fail "tgt's backing file differs from the image"

ended=$(date +%s.%N)
printf 'PASS: %d bytes recorded and compared; INQUIRY returned %s of 96 bytes; guest run %.1f s, whole test %.1f s\n' \
    "$size" "$inquiry_bytes" "$(awk "BEGIN{print $boot_ended - $boot_started}")" \
    "$(awk "BEGIN{print $ended - $started}")"
exit 0
