#!/usr/bin/env bash
# Checks how the driver image was linked, from the image and from the link command the build
# used for it (CMakeFiles/cdwriter_sys.dir beside the image):
#   - the image exports nothing: nothing binds to a driver's exports;
#   - the link names no library but ntoskrnl, hal and classpnp, and no default library
#     (-nostdlib): no user-mode library of the toolchain reaches a kernel image;
#   - no --enable-stdcall-fixup: an undecorated reference must not be bound silently to a
#     decorated routine of another calling convention.
set -euo pipefail
sys=${1:?usage: check_image.sh cdwriter.sys}
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
linkdir=$(dirname "$sys")/CMakeFiles/cdwriter_sys.dir

[ -s "$sys" ] || { echo "FAIL: $sys missing or empty"; exit 1; }
[ -s "$linkdir/link.txt" ] || { echo "FAIL: no link command in $linkdir"; exit 1; }
fail=0

headers=$("$objdump" -p "$sys")
exports=$(awk '/^Export Address Table -- Ordinal Base/ { on = 1; next } on && /^$/ { on = 0 } on && /Export RVA|Forwarder RVA/' <<<"$headers")
count=$(grep -c . <<<"$exports" || true)
if [ "$count" -ne 0 ]; then
    echo "FAIL: the image exports $count symbols, for example:"
    awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF { print "  " $0 } on && !NF { exit }' <<<"$headers" | head -5
    fail=1
else
    echo "  exports: none"
fi

link=$(grep -- '-o cdwriter.sys' "$linkdir/link.txt")
libs=$(sed -n 's/.*@\(CMakeFiles[^ ]*linkLibs.rsp\).*/\1/p' <<<"$link")
words="$link"
if [ -n "$libs" ]; then
    words+=" $(cat "$(dirname "$sys")/$libs")"
fi
for word in $words; do
    case "$word" in
        -lntoskrnl | -lhal | -lclasspnp) echo "  links $word" ;;
        -l*) echo "FAIL: the link names the library $word"; fail=1 ;;
        *--enable-stdcall-fixup*) echo "FAIL: the link allows stdcall fix-ups ($word)"; fail=1 ;;
    esac
done
grep -qw -- '-nostdlib' <<<"$link" || { echo "FAIL: the link does not leave out the default libraries (-nostdlib)"; fail=1; }

[ $fail -eq 0 ] && echo "PASS: no exports, only the kernel, HAL and class-library import libraries, no stdcall fix-ups" || exit 1
