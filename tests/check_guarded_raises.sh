#!/usr/bin/env bash
# Checks from the disassembly of the built driver that every use of a kernel routine that
# raises an exception by design (the probes, the raise routines, quota allocation, locking and
# mapping of application pages) lies inside a registered exception frame. An unhandled raise
# in kernel mode stops the system.
#
# A function is guarded when it is a guard body (CdwGuardedBody<...>, entered only through the
# pointer that CdwSehGuard calls with its record linked at FS:[0]), or when its address is
# never taken (no immediate in code, no word in the data sections) and every direct caller is
# guarded. Every instruction that names the import slot of a raising routine (call, jump or
# load), and every call of an import thunk of one, must lie in a guarded function. The guard
# itself must link a record at FS:[0], and a body's address may be taken only by a function
# that calls the guard and never called directly.
#
# The image's export table is not counted as taking addresses: nothing binds to this
# driver's exports. Prints every raising site with the function it lies in.
set -euo pipefail
sys=${1:?usage: check_guarded_raises.sh cdwriter.sys}
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
nm=$(command -v i686-w64-mingw32-nm || command -v nm)

[ -s "$sys" ] || { echo "FAIL: $sys missing or empty"; exit 1; }

raising='ProbeForRead|ProbeForWrite|ExRaiseStatus|ExRaiseException|ExRaiseAccessViolation'
raising+='|ExRaiseDatatypeMisalignment|RtlRaiseException|RtlRaiseStatus|MmProbeAndLockPages'
raising+='|MmProbeAndLockProcessPages|MmProbeAndLockSelectedPages|MmMapLockedPages'
raising+='|MmMapLockedPagesSpecifyCache|ExAllocatePoolWithQuota|ExAllocatePoolWithQuotaTag'

symbols=$("$nm" "$sys")
[ -n "$(awk '$2 ~ /^[Tt]$/' <<<"$symbols")" ] || { echo "FAIL: $sys has no symbols to check"; exit 1; }
# Import slots of the raising routines: "address name".
slots=$(awk -v re="^__imp__($raising)(@[0-9]+)?\$" '$2 == "I" && $3 ~ re { print $1, $3 }' <<<"$symbols")
# Words of the data sections, for addresses stored in tables.
sections=$("$objdump" -h "$sys" | awk '$2 == ".rdata" || $2 == ".data" { printf "-j %s ", $2 }')
data=""
if [ -n "$sections" ]; then
    # shellcheck disable=SC2086
    data=$("$objdump" -s $sections "$sys")
fi
disassembly=$("$objdump" -d --no-show-raw-insn "$sys")

awk -v slots="$slots" -v data="$data" '
function num(h) { sub(/^0x/, "", h); sub(/^0+/, "", h); return tolower(h) }
BEGIN {
    n = split(slots, s, "\n")
    for (i = 1; i <= n; i++) {
        if (split(s[i], fld, " ") == 2) { slot[num(fld[1])] = fld[2]; nslots++ }
    }
    # 4-byte little-endian words of the data sections, at every 4-aligned offset.
    n = split(data, lines, "\n")
    for (i = 1; i <= n; i++) {
        if (lines[i] !~ /^ [0-9a-f]+ /) continue
        split(lines[i], wd, " ")
        for (j = 2; j <= 5; j++) {
            if (length(wd[j]) != 8 || wd[j] !~ /^[0-9a-f]+$/) continue
            le = substr(wd[j], 7, 2) substr(wd[j], 5, 2) substr(wd[j], 3, 2) substr(wd[j], 1, 2)
            datawords[num(le)] = 1
        }
    }
}
/^[0-9a-f]+ <.*>:$/ {
    fn = $2; sub(/^</, "", fn); sub(/>:$/, "", fn)
    start[fn] = num($1); byaddr[num($1)] = fn; ninsn[fn] = 0; thunkslot[fn] = ""
    next
}
/^ +[0-9a-f]+:\t/ && fn != "" {
    insn = $0; sub(/^ +[0-9a-f]+:\t/, "", insn)
    at = $1; sub(/:$/, "", at)
    if (insn ~ /^(nop|xchg +%ax,%ax|lea +0x0\(%e..(,%eiz,1)?\),%e..|\.\.\.)/) next
    ninsn[fn]++
    if (insn ~ /^jmp +\*0x[0-9a-f]+$/) {
        t = insn; sub(/^jmp +\*/, "", t)
        if (num(t) in slot) thunkslot[fn] = slot[num(t)]
    }
    # Every hexadecimal number the instruction names: an import slot it uses.
    rest = insn
    while (match(rest, /0x[0-9a-f]+/)) {
        h = num(substr(rest, RSTART, RLENGTH)); rest = substr(rest, RSTART + RLENGTH)
        if (h in slot) { nsite++; sitefn[nsite] = fn; siteat[nsite] = at; siteroutine[nsite] = slot[h] }
    }
    # Immediates: addresses taken.
    rest = insn
    while (match(rest, /\$0x[0-9a-f]+/)) {
        h = num(substr(rest, RSTART + 1, RLENGTH - 1)); rest = substr(rest, RSTART + RLENGTH)
        nimm++; immval[nimm] = h; immfn[nimm] = fn
    }
    # Direct calls and jumps to the start of a function.
    if (match(insn, /^(call|jmp) +[0-9a-f]+ <[^>+]+>$/)) {
        split(insn, p, " ")
        ncall++; callfrom[ncall] = fn; callto[ncall] = num(p[2]); callkind[ncall] = p[1]; callat[ncall] = at
    }
    next
}
END {
    fail = 0
    if (nslots == 0) { print "no raising routine imported" }
    guard = ""
    for (f in start) if (f == "_CdwSehGuard") guard = f
    if (guard == "") {
        print "FAIL: no frame-based guard (_CdwSehGuard) in the image"; fail = 1
    }
    # Import thunks of raising routines: a function of one instruction, jmp *slot.
    for (f in start) if (thunkslot[f] != "" && ninsn[f] == 1) thunk[start[f]] = thunkslot[f]
    for (i = 1; i <= ncall; i++) {
        t = callto[i]
        if (t in thunk) { nsite++; sitefn[nsite] = callfrom[i]; siteat[nsite] = callat[i]; siteroutine[nsite] = thunk[t] }
    }
    # Addresses taken, by code or data.
    for (i = 1; i <= nimm; i++) if (immval[i] in byaddr) taken[byaddr[immval[i]]] = 1
    for (w in datawords) if (w in byaddr) taken[byaddr[w]] = 1
    for (i = 1; i <= ncall; i++) {
        if ((callto[i] in byaddr) && byaddr[callto[i]] == guard) callsguard[callfrom[i]] = 1
        callers[callto[i]] = callers[callto[i]] " " callfrom[i]
    }
    # Guard bodies: the roots.
    for (f in start) if (f ~ /CdwGuardedBody/) { guarded[f] = 1; nbodies++ }
    for (i = 1; i <= ncall; i++) {
        if ((callto[i] in byaddr) && byaddr[callto[i]] ~ /CdwGuardedBody/) {
            printf "FAIL: %s entered by a direct %s at %s in %s\n", byaddr[callto[i]], callkind[i], callat[i], callfrom[i]; fail = 1
        }
    }
    for (i = 1; i <= nimm; i++) {
        if ((immval[i] in byaddr) && byaddr[immval[i]] ~ /CdwGuardedBody/ && !(immfn[i] in callsguard)) {
            printf "FAIL: the address of %s is taken in %s, which does not call the guard\n", byaddr[immval[i]], immfn[i]; fail = 1
        }
    }
    for (w in datawords) if ((w in byaddr) && byaddr[w] ~ /CdwGuardedBody/) {
        printf "FAIL: the address of %s is stored in data\n", byaddr[w]; fail = 1
    }
    # Functions reached only from guarded functions, to a fixed point.
    do {
        changed = 0
        for (f in start) {
            if ((f in guarded) || (f in taken) || !(start[f] in callers)) continue
            n = split(callers[start[f]], c, " "); all = 1
            for (j = 1; j <= n; j++) if (!(c[j] in guarded)) { all = 0; break }
            if (all) { guarded[f] = 1; changed = 1 }
        }
    } while (changed)
    for (i = 1; i <= nsite; i++) {
        f = sitefn[i]
        if (start[f] in thunk) continue
        ok = (f in guarded)
        printf "  %s at %s in %s: %s\n", siteroutine[i], siteat[i], f, ok ? "inside a registered frame" : "NOT GUARDED"
        nsites++
        if (!ok) fail = 1
    }
    # Every raising routine the image imports is used somewhere the check can see.
    for (h in slot) {
        seen = 0
        for (i = 1; i <= nsite; i++) if (siteroutine[i] == slot[h]) seen = 1
        if (!seen) { printf "FAIL: %s is imported but no use of it was found\n", slot[h]; fail = 1 }
    }
    printf "%d guard bodies, %d raising sites\n", nbodies, nsites
    exit fail
}' <<<"$disassembly" || { echo "FAIL: a raising routine is used outside a registered exception frame"; exit 1; }

# The guard links its record at FS:[0] and unlinks it again.
guardcode=$(awk '/^[0-9a-f]+ <_CdwSehGuard>:$/ { on = 1; next } /^[0-9a-f]+ <.*>:$/ { on = 0 } on' <<<"$disassembly")
links=$(grep -c 'mov    %e[a-z]*,%fs:0x0' <<<"$guardcode" || true)
[ "$links" -ge 2 ] || { echo "FAIL: _CdwSehGuard does not link and unlink a record at FS:[0]"; exit 1; }
echo "PASS: every raising routine is used inside a registered exception frame"
