#!/usr/bin/env bash
# Checks that the built driver carries its event-log message table: each of the five message
# texts, with its line end, must be in the image as UTF-16LE (the form the event log reads),
# in message-table resource 1 of language 0x0409.
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
# The table is resource 1 of type RT_MESSAGETABLE in US English, where the event log looks.
windres=$(command -v i686-w64-mingw32-windres || true)
if [[ -n $windres ]]; then
    resources=$("$windres" -i "$sys" -O rc 2>/dev/null || true)
    if grep -q 'Type: messagetable' <<<"$resources" && grep -q 'Name: 1\.' <<<"$resources" &&
        grep -q '^LANGUAGE 9, 1' <<<"$resources"; then
        echo "  found: message-table resource 1, language 0x0409"
    else
        echo "FAIL: no message-table resource 1 in language 0x0409 in $sys"
        fail=1
    fi
fi
[ $fail -eq 0 ] && echo "PASS: the five message texts are in $sys" || exit 1
