#!/bin/bash
# The demo: uploads the example program to a simulated device.
#
# Builds the release preset, starts vintrel-receive on a pseudo-terminal of its
# own, maps that pseudo-terminal as COM2 in a temporary profile, runs
#   Vintrel examples/hello 2
# and shows what both ends printed. Exits non-zero when the upload, the check
# of the frame, or the comparison of the received files with the sent ones
# fails.
#
# Usage: examples/demo.sh [--bin DIR]
#   --bin DIR   use the Vintrel and vintrel-receive in DIR instead of building
set -u

root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -eq 2 ] && [ "$1" = --bin ]; then
    bin=$(cd "$2" && pwd) || exit 2
    cd "$root" || exit 1
elif [ $# -eq 0 ]; then
    cd "$root" || exit 1
    echo "== Building (cmake --workflow --preset release) =="
    cmake --workflow --preset release >/dev/null || {
        echo "demo: the build failed; run 'cmake --workflow --preset release' to see why" >&2
        exit 1
    }
    bin=$root/build/release
else
    echo "Usage: examples/demo.sh [--bin DIR]" >&2
    exit 2
fi

work=$(mktemp -d)
receiver=""
cleanup() {
    [ -n "$receiver" ] && kill "$receiver" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# The receiving end gives up by itself if no frame starts within 30 s.
"$bin/vintrel-receive" --pty --com 2 --out "$work/received" --wait 30 >"$work/receive.log" 2>&1 &
receiver=$!
ports=""
for _ in $(seq 100); do
    ports=$(grep -m1 '^COM2=' "$work/receive.log") && break
    sleep 0.1
done
if [ -z "$ports" ]; then
    echo "demo: vintrel-receive did not start:" >&2
    cat "$work/receive.log" >&2
    exit 1
fi

# A profile of the demo's own, so that the user's is left alone.
profile=$work/config/vintrel/win.ini
mkdir -p "$(dirname "$profile")"
printf '[Ports]\n%s\n' "$ports" >"$profile"

echo "== Sending end =="
echo "\$ XDG_CONFIG_HOME=$work/config Vintrel examples/hello 2"
XDG_CONFIG_HOME=$work/config "$bin/Vintrel" examples/hello 2
sent=$?
echo
echo "(exit status $sent)"

# When the upload failed, no frame is coming: stop waiting for one.
[ "$sent" -eq 14 ] || kill "$receiver" 2>/dev/null
wait "$receiver"
received=$?
receiver=""
echo
echo "== Receiving end =="
echo "\$ vintrel-receive --pty --com 2 --out received"
cat "$work/receive.log"
echo "(exit status $received)"
echo
echo "== Profile after the upload ($profile) =="
cat "$profile"
echo

same=1
cmp -s examples/hello.hea "$work/received.hea" && cmp -s examples/hello.bin "$work/received.bin" ||
    same=0
if [ "$sent" -eq 14 ] && [ "$received" -eq 0 ] && [ "$same" -eq 1 ]; then
    echo "Demo passed: the device received examples/hello.hea and examples/hello.bin byte for byte."
    exit 0
fi
echo "Demo FAILED: Vintrel exit status $sent (14 expected), vintrel-receive $received (0 expected)," \
    "received files $([ "$same" -eq 1 ] && echo identical || echo different)." >&2
exit 1
