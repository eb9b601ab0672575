#!/usr/bin/env bash
# Checks the import table of the built driver: it may import only from the kernel, the HAL and
# the class library, every imported routine must be an export of that module's import library
# (so that the link is sound), and every one must be exported by that module in Windows 2000
# SP4, as the lists in tests/w2k_exports say (each names its source): the toolchain's import
# libraries are modern and would let a later routine through. Prints the imports it found.
set -euo pipefail
sys=${1:?usage: check_imports.sh cdwriter.sys}
w2k=$(cd "$(dirname "$0")" && pwd)/w2k_exports
objdump=$(command -v i686-w64-mingw32-objdump || command -v objdump)
nm=$(command -v i686-w64-mingw32-nm || command -v nm)
libdir=/usr/i686-w64-mingw32/lib

[ -s "$sys" ] || { echo "FAIL: $sys missing or empty"; exit 1; }
# (grep reads the whole output: grep -q on a pipe could stop objdump with SIGPIPE under pipefail)
grep -q 'pei-i386' <<<"$("$objdump" -f "$sys")" || { echo "FAIL: $sys is not a 32-bit PE image"; exit 1; }
grep -q 'Subsystem.*0001' <<<"$("$objdump" -p "$sys")" || { echo "FAIL: $sys is not a native-subsystem image"; exit 1; }

fail=0
module=""
declare -A count exports w2kexports
for lib in $libdir/libntoskrnl.a $libdir/libhal.a $libdir/libclasspnp.a; do
    exports[$lib]=$("$nm" "$lib" 2>/dev/null | awk '$2 == "I" { print $3 }')
done
for list in ntoskrnl.exe hal.dll classpnp.sys; do
    [ -s "$w2k/$list.txt" ] || { echo "FAIL: no Windows 2000 export list $w2k/$list.txt"; exit 1; }
    w2kexports[$list]=$(grep -v '^#' "$w2k/$list.txt")
done
while IFS= read -r line; do
    if [[ $line =~ DLL\ Name:\ (.*)$ ]]; then
        module=${BASH_REMATCH[1]}
        case "$module" in
            ntoskrnl.exe) lib=$libdir/libntoskrnl.a; list=ntoskrnl.exe ;;
            HAL.dll) lib=$libdir/libhal.a; list=hal.dll ;;
            CLASSPNP.SYS) lib=$libdir/libclasspnp.a; list=classpnp.sys ;;
            *) echo "FAIL: import from a forbidden module: $module"; fail=1; lib=""; list="" ;;
        esac
        continue
    fi
    if [[ -n $module && $line =~ ^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+([A-Za-z_][A-Za-z0-9_@]*)$ ]]; then
        name=${BASH_REMATCH[1]}
        count[$module]=$(( ${count[$module]:-0} + 1 ))
        echo "  $module!$name"
        if [[ -n $lib ]] && ! grep -Eq "^__imp_(_|@)?${name}(@[0-9]+)?\$" <<<"${exports[$lib]}"; then
            echo "FAIL: $name is not exported by $module"
            fail=1
        fi
        if [[ -n $list ]] && ! grep -qxF "$name" <<<"${w2kexports[$list]}"; then
            echo "FAIL: $name is not exported by the Windows 2000 SP4 $module (tests/w2k_exports/$list.txt)"
            fail=1
        fi
    fi
done < <("$objdump" -p "$sys" | sed -n '/The Import Tables/,/^$/p;/DLL Name/,/^$/p')

for m in "${!count[@]}"; do echo "$m: ${count[$m]} imports"; done
[ ${#count[@]} -gt 0 ] || { echo "FAIL: no imports found"; exit 1; }
[ $fail -eq 0 ] && echo "PASS: imports only from ntoskrnl.exe, HAL.dll and CLASSPNP.SYS, all exported by Windows 2000 SP4" || exit 1
