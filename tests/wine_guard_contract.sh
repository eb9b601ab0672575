#!/usr/bin/env bash
# Runs the exception guard's contract programs of the Windows build (guard_contract_*.exe: the
# driver's guard source in a user-mode PE program, one per optimisation level) under Wine,
# whose dispatcher walks the FS:[0] chain as the kernel's does.
#
# Wine is 32-bit. The Wine prefix is made once per build directory, in about 15 s where the
# kernel runs 32-bit programs itself. Where it does not, Wine under qemu-i386-static (7.2, with
# Wine 8.0) ran its first start for almost 9 minutes and then failed to load kernel32.dll, so
# such a machine, like one without Wine, skips the test (exit 77, which ctest reports as
# skipped) and says why; the disassembly check of cdwriter.sys runs everywhere.
#
# Usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR
set -euo pipefail
winbuild=${1:?usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR}
prefix=${2:?usage: wine_guard_contract.sh WINDOWS_BUILD_DIR PREFIX_DIR}
prefix=$(realpath -m "$prefix") # Wine takes only an absolute prefix
binfmt=/proc/sys/fs/binfmt_misc

shopt -s nullglob
programs=("$winbuild"/guard_contract_*.exe)
[ ${#programs[@]} -gt 0 ] || { echo "FAIL: no guard_contract_*.exe in $winbuild"; exit 1; }
command -v wine >/dev/null || { echo "SKIP: wine is not installed (make test installs it)"; exit 77; }

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

cleanup() {
    wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

if ! timeout 120 wine --version >/dev/null 2>&1; then
    echo "SKIP: wine does not start: this kernel runs no 32-bit programs (uname -m: $(uname -m))"
    exit 77
fi
echo "$(wine --version)"

# A CPU emulator registered for 32-bit programs (qemu through binfmt_misc) would run Wine, and
# Wine does not start under it: skip rather than wait for it. Run natively, a fault keeps its
# code, and the programs check it.
for entry in "$binfmt"/*; do
    if [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null &&
        grep -Eq '^interpreter .*qemu.*i[34]86' "$entry"; then
        echo "SKIP: 32-bit programs run under an emulator here ($entry); Wine does not start under it"
        exit 77
    fi
done
export CDW_FAULT_CODES=exact
if [ ! -e "$prefix/.cdw-ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    started=$(date +%s)
    # Natively this takes a quarter of a minute.
    timeout 300 wineboot --init >"$prefix.log" 2>&1 ||
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
