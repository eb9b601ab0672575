#!/usr/bin/env bash
# Checks from the disassembly of the built driver that pageable code never runs at
# DISPATCH_LEVEL, where a page fault stops the system:
#   - no function in a PAGE section acquires a spin lock or raises the IRQL (names the import
#     slot of such a routine, or calls its import thunk): the compiler may inline a resident
#     helper that takes a lock into a pageable routine;
#   - no function in a PAGE section is reachable, by direct calls and jumps, from code that
#     runs at DISPATCH_LEVEL: the functions that acquire a spin lock or raise the IRQL, and the
#     entry points the platform calls at DISPATCH_LEVEL (the StartIo routine).
# Reachability counts every call of a function that takes a lock, held or not: conservative.
# Prints the PAGE functions and what reaches DISPATCH_LEVEL.
set -euo pipefail
sys=${1:?usage: check_paged_code.sh cdwriter.sys}
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
nm=$(command -v i686-w64-mingw32-nm || command -v nm)

[ -s "$sys" ] || { echo "FAIL: $sys missing or empty"; exit 1; }

raising='KfAcquireSpinLock|KeAcquireSpinLockRaiseToDpc|KeAcquireSpinLockAtDpcLevel'
raising+='|KefAcquireSpinLockAtDpcLevel|KeAcquireInStackQueuedSpinLock'
raising+='|KeAcquireInStackQueuedSpinLockAtDpcLevel|KfRaiseIrql|KeRaiseIrqlToDpcLevel'
raising+='|KeRaiseIrqlToSynchLevel|IoAcquireCancelSpinLock|KeAcquireQueuedSpinLock'
raising+='|KeSynchronizeExecution|KeAcquireInterruptSpinLock'
# Entry points the platform calls at DISPATCH_LEVEL (names as they appear, C++ mangling
# included, matched as a part of the symbol).
entries='CdRecorderStartIo'

symbols=$("$nm" "$sys")
slots=$(awk -v re="^__imp_[_@]?($raising)(@[0-9]+)?\$" '$2 == "I" && $3 ~ re { print $1, $3 }' <<<"$symbols")
[ -n "$slots" ] || { echo "FAIL: the image imports no spin-lock routine: nothing to check against"; exit 1; }
disassembly=$("$objdump" -d --no-show-raw-insn "$sys")

awk -v slots="$slots" -v entries="$entries" '
function num(h) { sub(/^0x/, "", h); sub(/^0+/, "", h); return tolower(h) }
BEGIN {
    n = split(slots, s, "\n")
    for (i = 1; i <= n; i++) if (split(s[i], fld, " ") == 2) slot[num(fld[1])] = fld[2]
    nentry = split(entries, entry, " ")
}
/^Disassembly of section / { sect = $4; sub(/:$/, "", sect); fn = ""; next }
/^[0-9a-f]+ <.*>:$/ {
    fn = $2; sub(/^</, "", fn); sub(/>:$/, "", fn)
    start[fn] = num($1); byaddr[num($1)] = fn; section[fn] = sect; ninsn[fn] = 0; thunkslot[fn] = ""
    next
}
/^ +[0-9a-f]+:\t/ && fn != "" {
    insn = $0; sub(/^ +[0-9a-f]+:\t/, "", insn)
    if (insn ~ /^(nop|xchg +%ax,%ax|lea +0x0\(%e..(,%eiz,1)?\),%e..|\.\.\.)/) next
    ninsn[fn]++
    if (insn ~ /^jmp +\*0x[0-9a-f]+$/) {
        t = insn; sub(/^jmp +\*/, "", t)
        if (num(t) in slot) thunkslot[fn] = slot[num(t)]
    }
    rest = insn
    while (match(rest, /0x[0-9a-f]+/)) {
        h = num(substr(rest, RSTART, RLENGTH)); rest = substr(rest, RSTART + RLENGTH)
        if (h in slot) { raises[fn] = slot[h] }
    }
    if (match(insn, /^(call|jmp) +[0-9a-f]+ <[^>+]+>$/)) {
        split(insn, p, " ")
        ncall++; callfrom[ncall] = fn; callto[ncall] = num(p[2])
    }
    next
}
END {
    fail = 0
    for (f in start) if (thunkslot[f] != "" && ninsn[f] == 1) thunk[start[f]] = thunkslot[f]
    for (i = 1; i <= ncall; i++) if (callto[i] in thunk) raises[callfrom[i]] = thunk[callto[i]]
    npaged = 0
    for (f in start) if (section[f] == "PAGE") {
        npaged++
        printf "  PAGE: %s\n", f
        if ((f in raises) && !(start[f] in thunk)) {
            printf "FAIL: %s in PAGE takes %s\n", f, raises[f]; fail = 1
        }
    }
    if (npaged == 0) { print "FAIL: no function in a PAGE section: the placement did not reach the image"; fail = 1 }
    # DISPATCH_LEVEL code: the roots and everything they call, to a fixed point.
    for (f in raises) if (!(start[f] in thunk)) { dispatch[f] = "takes " raises[f] }
    nentries = 0
    for (f in start) for (i = 1; i <= nentry; i++) if (index(f, entry[i]) > 0) {
        dispatch[f] = "called at DISPATCH_LEVEL"; nentries++
    }
    if (nentries == 0) { print "FAIL: no DISPATCH_LEVEL entry point found (" entries ")"; fail = 1 }
    do {
        changed = 0
        for (i = 1; i <= ncall; i++) {
            if (!(callfrom[i] in dispatch) || !(callto[i] in byaddr)) continue
            g = byaddr[callto[i]]
            if (g in dispatch || (callto[i] in thunk)) continue
            dispatch[g] = "called from " callfrom[i]; changed = 1
        }
    } while (changed)
    nd = 0
    for (f in dispatch) {
        nd++
        if (section[f] == "PAGE") { printf "FAIL: %s in PAGE runs at DISPATCH_LEVEL (%s)\n", f, dispatch[f]; fail = 1 }
    }
    printf "%d PAGE functions, %d functions that may run at DISPATCH_LEVEL\n", npaged, nd
    exit fail
}' <<<"$disassembly" || { echo "FAIL: pageable code may run at DISPATCH_LEVEL"; exit 1; }
echo "PASS: no PAGE function takes a spin lock or is reached from DISPATCH_LEVEL code"
