#!/usr/bin/env bash
# Runs the exception guard's contract programs of the Windows build (guard_contract_*.exe: the
# driver's guard source in a user-mode PE program, one per optimisation level) under Wine,
# whose dispatcher walks the FS:[0] chain as the kernel's does.
#
# Wine is 32-bit here. A kernel that cannot run 32-bit programs itself gets qemu-i386-static
# registered with binfmt_misc for the run, and the registration (and a mount of binfmt_misc
# made for it) is removed at the end. The Wine prefix is made once per build directory, in
# about 15 s when 32-bit programs run natively; under qemu-i386-static (7.2, with Wine 8.0) a
# first start ran for almost 9 minutes and then failed to load kernel32.dll, so each step is
# bounded and a Wine that does not start fails the test.
#
# Usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR
set -euo pipefail
winbuild=${1:?usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR}
prefix=${2:?usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR}
prefix=$(realpath -m "$prefix") # Wine takes only an absolute prefix
binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386-static

shopt -s nullglob
programs=("$winbuild"/guard_contract_*.exe)
[ ${#programs[@]} -gt 0 ] || { echo "FAIL: no guard_contract_*.exe in $winbuild"; exit 1; }
command -v wine >/dev/null || { echo "FAIL: wine is not installed (make test installs it)"; exit 1; }

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

mounted=0
registered=""
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$registered" ]; then
        echo -1 >"$binfmt/$registered" || true
    fi
    if [ $mounted -eq 1 ]; then
        umount "$binfmt" || true
    fi
}
trap cleanup EXIT

if ! wine --version >/dev/null 2>&1; then
    [ -x "$qemu" ] || { echo "FAIL: 32-bit programs do not run and $qemu is missing"; exit 1; }
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" || { echo "FAIL: cannot mount binfmt_misc"; exit 1; }
        mounted=1
    fi
    # 32-bit little-endian x86 executables and shared objects; F: the interpreter is opened
    # now, so it is found from any mount namespace.
    registered=cdw-qemu-i386-$$
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf ':%s:M::%s:%s:%s:F\n' "$registered" "$magic" "$mask" "$qemu" >"$binfmt/register" ||
        { registered=""; echo "FAIL: cannot register $qemu with binfmt_misc"; exit 1; }
    wine --version >/dev/null 2>&1 || { echo "FAIL: wine does not start under $qemu"; exit 1; }
    echo "32-bit programs run through $qemu (binfmt_misc entry $registered, for this run)"
fi
echo "$(wine --version)"

# Without an emulator in the way a fault keeps its code, and the programs check it.
emulated=0
for entry in "$binfmt"/*; do
    [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null && grep -Eq '^interpreter .*qemu.*i[34]86' "$entry" &&
        emulated=1
done
if [ $emulated -eq 0 ]; then
    export CDW_FAULT_CODES=exact
    echo "32-bit programs run natively: fault codes are checked"
else
    echo "32-bit programs run under qemu: fault codes are not checked"
fi

if [ ! -e "$prefix/.cdw-ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    started=$(date +%s)
    # Natively this takes a quarter of a minute; under qemu it did not finish here (see README).
    timeout 600 wineboot --init >"$prefix.log" 2>&1 ||
        { cat "$prefix.log"; echo "FAIL: wineboot, after $(($(date +%s) - started)) s"; exit 1; }
    timeout 120 wineserver -w || { echo "FAIL: wineserver did not finish"; exit 1; }
    touch "$prefix/.cdw-ready"
    echo "Wine prefix made in $(($(date +%s) - started)) s: $prefix"
else
    echo "Wine prefix: $prefix (made before)"
fi

fail=0
for program in "${programs[@]}"; do
    name=$(basename "$program" .exe)
    started=$(date +%s)
    set +e
    output=$(timeout 120 wine "$program" 2>&1)
    status=$?
    set -e
    echo "== $name: exit $status, $(($(date +%s) - started)) s"
    sed 's/^/   /' <<<"$output"
    if [ $status -ne 0 ] || ! grep -q '^PASS: 0 failed' <<<"$output"; then
        echo "FAIL: $name"
        fail=1
    fi
done
[ $fail -eq 0 ] && echo "PASS: the guard's contract holds under Wine at every level" || exit 1
