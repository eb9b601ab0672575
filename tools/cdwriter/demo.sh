#!/bin/sh
# demo.sh - the main job on simulated recorders: make a small ISO 9660 image; show the
# recorders and the blank CD-Rs in them; record the image onto both at once at 24x CD speed
# through the whole MMC flow (set-up, writing, SYNCHRONIZE CACHE and closing, read-back
# verification); show the closed discs, check that both disc files are readable ISO 9660 file
# systems identical to the image, see a second recording refused, and eject a disc.
#
# Usage: tools/cdwriter/demo.sh [CDWRITER-BINARY]   (default: build/cdwriter of this clone)
# The work files go to the directory "demo" beside the binary.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
tool=${1:-$repo/build/cdwriter}
if [ ! -x "$tool" ]; then
    echo "demo: no cdwriter binary at $tool (run make first)" >&2
    exit 1
fi
if ! command -v xorriso >/dev/null 2>&1; then
    echo "demo: xorriso is missing (make deps installs it)" >&2
    exit 1
fi

work=$(cd "$(dirname "$tool")" && pwd)/demo
rm -rf "$work"
mkdir -p "$work/content/docs" "$work/content/data"

echo "== Making an ISO 9660 image"
cp "$repo/README.md" "$work/content/README.md"
cat > "$work/content/docs/about.txt" <<EOF
This disc was recorded by the cdwriter demo on $(date -u '+%Y-%m-%d %H:%M UTC'),
on simulated recorders through the cdwriter driver running on the host stand-in.
EOF
i=1
while [ $i -le 6 ]; do
    head -c 4000000 /dev/urandom > "$work/content/data/block$i.bin"
    i=$((i + 1))
done
if ! xorriso -as mkisofs -quiet -V CDWRITER_DEMO -R -J -o "$work/demo.iso" "$work/content" \
    2>"$work/mkisofs.log"; then
    cat "$work/mkisofs.log" >&2
    exit 1
fi
ls -l "$work/demo.iso"

cdw() {
    echo "\$ cdwriter $*" | sed "s|$work/||g"
    "$tool" --install "$work/install" --disc-dir "$work/discs" "$@"
}
printf 'recorder media=cd-r maxspeed=48c buffer=2m\nrecorder media=cd-r maxspeed=48c buffer=2m\n' \
    > "$work/install"

echo
echo "== The recorders (capabilities page and GET CONFIGURATION) and their media"
cdw devices
cdw media

echo
echo "== Recording the image onto both at 24x CD speed, with verification: the set-up,"
echo "== the writing, SYNCHRONIZE CACHE and closing, the read-back through the recorders"
cdw --speed 24c record "$work/demo.iso" --verify

echo
echo "== The discs now: closed, one track of the image's length"
cdw media

echo
echo "== Checking the discs"
for disc in "$work/discs/recorder-0.img" "$work/discs/recorder-1.img"; do
    cmp "$work/demo.iso" "$disc"
    listing=$(xorriso -indev "$disc" -find / -type f 2>/dev/null)
    echo "$listing" | grep -q "/docs/about.txt" || {
        echo "demo: $disc is not the ISO 9660 file system that was recorded" >&2
        exit 1
    }
    echo "$disc: identical to the image, ISO 9660 files:"
    echo "$listing" | sed 's/^/    /'
done
xorriso -indev "$work/discs/recorder-1.img" -osirrox on -extract /docs/about.txt \
    "$work/about-from-disc.txt" >/dev/null 2>&1
cmp "$work/content/docs/about.txt" "$work/about-from-disc.txt"

echo
echo "== A closed disc takes nothing more: refused before any write"
if cdw record "$work/demo.iso"; then
    echo "demo: a closed disc was recorded again" >&2
    exit 1
fi
cmp "$work/demo.iso" "$work/discs/recorder-0.img"

echo
echo "== Ejecting recorder 0's disc: it is kept aside, a blank CD-R goes in"
cdw eject 0
cmp "$work/demo.iso" "$work/discs/recorder-0.ejected-1.img"
cdw media 0
echo
echo "== Demo complete: both recorders wrote, closed and verified a readable ISO 9660 disc."
