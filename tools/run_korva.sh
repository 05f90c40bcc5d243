#!/bin/sh
# Starts Korva Security beside the receiver simulator on a virtual COM1, in a
# fresh scratch working folder, so settings.ini, RIZI.TRC and RIZI.LOG land there
# and never in the source tree. Usage: tools/run_korva.sh [build-folder]
set -eu

build=$(cd "${1:-build}" && pwd)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run_korva: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); the window needs one." >&2
  echo "run_korva: start it from a desktop session, or with X forwarding (ssh -X)." >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/korva-run.XXXXXX")
mkdir "$scratch/ports"
# The ports directory is the whole port mapping: only the simulator's COM1 exists.
DUD_PORTS_DIR="$scratch/ports"
export DUD_PORTS_DIR
# Start with COM1 chosen, so "Weiter" goes straight to waking the receiver.
printf '[com]\r\nport=1\r\n' > "$scratch/settings.ini"

"$build/tools/korva-receiver" --port 1 --ports-dir "$DUD_PORTS_DIR" &
receiver=$!
trap 'kill "$receiver" 2>/dev/null || true; wait "$receiver" 2>/dev/null || true' EXIT INT TERM

tries=0
while [ ! -L "$DUD_PORTS_DIR/com1" ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 50 ] || ! kill -0 "$receiver" 2>/dev/null; then
    echo "run_korva: the receiver simulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done

echo "run_korva: working folder $scratch"
status=0
(cd "$scratch" && "$build/app/korva-security") || status=$?
echo "run_korva: settings.ini (and RIZI.TRC, RIZI.LOG when written) are in $scratch"
exit "$status"
