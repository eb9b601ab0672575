#!/usr/bin/env bash
# Checks that the built driver carries its event-log message table: each of the five message
# texts, with its line end, must be in the image as UTF-16LE (the form the event log reads).
set -euo pipefail
sys=${1:?usage: check_message_texts.sh cdwriter.sys}

[ -s "$sys" ] || { echo "FAIL: $sys missing or empty"; exit 1; }

# The image as one line of space-separated bytes, so a match always starts on a byte.
image=" $(od -An -v -tx1 "$sys" | tr -s ' \n' '  ') "

fail=0
for text in "Device initialized successfully" \
            "Unexpected device removal" \
            "Device initialization failed" \
            "Unexpected SRB Status value" \
            "Device re-initialized after unexpected removal"; do
    pattern=" $(printf '%s\r\n' "$text" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -s ' \n' '  ' | sed 's/^ //; s/ $//') "
    if [[ $image == *"$pattern"* ]]; then
        echo "  found: $text"
    else
        echo "FAIL: message text not in $sys as UTF-16: \"$text\\r\\n\""
        fail=1
    fi
done
[ $fail -eq 0 ] && echo "PASS: the five message texts are in $sys" || exit 1
