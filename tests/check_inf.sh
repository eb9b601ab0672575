#!/usr/bin/env bash
# Checks the installation file's security descriptor for the recorders' device class against
# what the README tells an installer:
#   - driver/cdwriter.inf installs a class of its own (ClassInstall32) whose AddReg sets
#     exactly one Security value;
#   - that SDDL string is the one the README states, character for character;
#   - it is a protected DACL whose every entry allows, and only the system, administrators and
#     the recording operators' group (%RecordingOperatorsSid%) are named;
#   - as shipped, the group's SID is BA (administrators) until the installer names the group.
set -euo pipefail
root=${1:?usage: check_inf.sh source-directory}
inf=$root/driver/cdwriter.inf
readme=$root/README.md
[ -s "$inf" ] || { echo "FAIL: $inf missing"; exit 1; }
fail=0

# The sections, without comments; keys and section names compare without regard to case.
body=$(sed -e 's/\r$//' -e 's/[[:space:]]*;[^"]*$//' "$inf")
section() {
    awk -v want="[$(tr '[:upper:]' '[:lower:]' <<<"$1")]" '
        /^\[/ { on = (tolower($0) == want); next }
        on && NF' <<<"$body"
}

classreg=$(section ClassInstall32 | sed -n 's/^[Aa]dd[Rr]eg[[:space:]]*=[[:space:]]*//p')
[ -n "$classreg" ] || { echo "FAIL: no AddReg in [ClassInstall32]"; exit 1; }
security=()
for reg in ${classreg//,/ }; do
    while IFS= read -r line; do security+=("$line"); done < <(section "$reg" | grep -i '^HKR,,Security,' || true)
done
[ ${#security[@]} -eq 1 ] || { echo "FAIL: [ClassInstall32] sets ${#security[@]} Security values, not one"; exit 1; }
sddl=$(sed -n 's/^HKR,,Security,[^,]*,"\(.*\)"$/\1/p' <<<"${security[0]}")
[ -n "$sddl" ] || { echo "FAIL: cannot read the SDDL from: ${security[0]}"; exit 1; }
echo "  INF: $sddl"

stated=$(grep -o 'Security descriptor of the class: `[^`]*`' "$readme" | sed 's/.*`\(.*\)`/\1/' || true)
[ -n "$stated" ] || { echo "FAIL: the README states no security descriptor for the class"; exit 1; }
echo "  README: $stated"
[ "$stated" = "$sddl" ] || { echo "FAIL: the README and the INF differ"; fail=1; }

[[ $sddl == D:P\(* ]] || { echo "FAIL: not a protected DACL (D:P)"; fail=1; }
aces=$(sed -e 's/^D:P//' -e 's/)(/)\n(/g' <<<"$sddl")
while IFS= read -r ace; do
    if [[ ! $ace =~ ^\(A\;\;[A-Z]+\;\;\;(SY|BA|%RecordingOperatorsSid%)\)$ ]]; then
        echo "FAIL: entry $ace is not an allow entry for the system, administrators or the operators"
        fail=1
    fi
done <<<"$aces"
for who in SY BA %RecordingOperatorsSid%; do
    grep -qF ";;;$who)" <<<"$sddl" || { echo "FAIL: $who has no entry"; fail=1; }
done
default=$(section Strings | sed -n 's/^RecordingOperatorsSid[[:space:]]*=[[:space:]]*"\{0,1\}\([^"]*\)"\{0,1\}[[:space:]]*$/\1/p')
[ "$default" = "BA" ] || { echo "FAIL: RecordingOperatorsSid ships as '$default', not BA"; fail=1; }

[ $fail -eq 0 ] && echo "PASS: the INF's class security is the README's: system, administrators, recording operators" || exit 1
