#!/usr/bin/env bash
# Tarvik ends within 2 s, its settings saved, after SIGTERM, SIGINT or
# SIGHUP or after losing its display, whatever message box is open: the
# box of a missing sound device (from the audio thread) or the start-up
# box of a settings file too large to read (which is then left alone).
#   check-shutdown.sh BUILD_DIR
set -u
build=$1
tarvik=$build/tarvik
if ! command -v Xvfb >/dev/null; then
  echo "check-shutdown: no Xvfb"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
work=$(mktemp -d /tmp/tarvik-shutdown-XXXXXX)
xpid=
cleanup() {
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
display=$((60 + RANDOM % 200))

start_x() {
  display=$((display + 1))
  Xvfb ":$display" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
  xpid=$!
  for _ in $(seq 50); do
    [ -S "/tmp/.X11-unix/X$display" ] && return 0
    sleep 0.1
  done
  echo "check-shutdown: Xvfb :$display did not start"
  exit 1
}

# Starts Tarvik on the private display with settings file $1; its pid in tpid.
start_tarvik() {
  env -u WAYLAND_DISPLAY -u PULSE_SERVER DISPLAY=":$display" QT_QPA_PLATFORM=xcb TARVIK_BACKEND=alsa \
    XDG_RUNTIME_DIR="$work" "$tarvik" --settings "$1" >"$work/out.txt" 2>&1 &
  tpid=$!
  sleep 3  # the window and its box are up
}

# Waits up to 2 s for tpid to end; says how it went.
ended_within_2s() {
  for _ in $(seq 20); do
    kill -0 "$tpid" 2>/dev/null || { wait "$tpid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  kill -9 "$tpid" 2>/dev/null
  wait "$tpid" 2>/dev/null
  return 1
}

# Judges one ending: $1 what happened, $2 the settings file that must hold
# the save.
judge() {
  if ! ended_within_2s; then
    echo "FAIL: $1: still running after 2 s"
    fail=1
  elif ! grep -q '^NRLevel=' "$2"; then
    echo "FAIL: $1: the settings were not saved"
    fail=1
  else
    echo "ok: $1: ended and saved"
  fi
}

missing_devices() {
  printf '[Define]\nSelect=11\nInDevice=alsa:nosuch\nOutDevice=alsa:nosuch\n' >"$1"
}

for sig in TERM INT HUP; do
  start_x
  ini=$work/sig$sig.ini
  missing_devices "$ini"
  start_tarvik "$ini"
  kill "-$sig" "$tpid"
  judge "SIG$sig with the missing-device box open" "$ini"
  kill "$xpid"; wait "$xpid" 2>/dev/null; xpid=
done

start_x
ini=$work/display.ini
missing_devices "$ini"
start_tarvik "$ini"
kill "$xpid"; wait "$xpid" 2>/dev/null; xpid=
judge "the display went away with a box open" "$ini"

start_x
ini=$work/large.ini
{ printf '[Define]\nSelect=11\n'; head -c 1100000 /dev/zero | tr '\0' '#'; } >"$ini"
size=$(stat -c %s "$ini")
start_tarvik "$ini"
kill -TERM "$tpid"
if ! ended_within_2s; then
  echo "FAIL: SIGTERM during the start-up box: still running after 2 s"
  fail=1
elif [ "$(stat -c %s "$ini")" != "$size" ]; then
  echo "FAIL: SIGTERM during the start-up box: the large file was written"
  fail=1
else
  echo "ok: SIGTERM during the start-up box: ended, the file left alone"
fi
exit $fail
