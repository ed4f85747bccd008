#!/usr/bin/env bash
# Plays a hand-held instrument on the far end of the COM5 pty (socat gives it the pty as stdin and
# stdout). Once the PC has the port open it sends one whole transfer, line by line, and waits for
# the one-byte answer to each line before sending the next, as the instrument does. Every byte it
# receives is kept, and the record appears under its final name only once the conversation is
# over, so the test never reads half of it.
#   INSTRUMENT_READY   a file the test creates once its worker has opened the port
#   INSTRUMENT_RECORD  where the received bytes end up
set -u

ready=$INSTRUMENT_READY
partial=$INSTRUMENT_RECORD.part

# True while the process that started this one is still its parent: once socat has gone, the
# test is over.
socat_running() {
    grep -q "^PPid:[[:space:]]*$PPID\$" "/proc/$$/status"
}

# Characters sent before the PC opens the port would not reach it.
for ((tries = 0; tries < 1200; tries++)); do
    [ -e "$ready" ] && break
    socat_running && sleep 0.05 || exit 1
done
[ -e "$ready" ] || exit 1
: >"$partial"
for line in 'HELLO 77' 'LINE 1,2' 'LINE 3,4' 'LINE 5,6' 'BYE'; do
    printf '%s\r\n' "$line"
    # Exactly one byte: a second answer to the same line must not be mistaken for the next one.
    timeout 20 dd bs=1 count=1 status=none >>"$partial"
done
# Whatever still arrives after the last answer is an answer to nothing; keep it for the test.
timeout 0.5 cat >>"$partial"
mv "$partial" "$INSTRUMENT_RECORD"
# Hold the line until socat goes: closing it now would hang up the port under the worker, which
# the test stops in its own time.
exec cat >/dev/null
