#!/usr/bin/env bash
# `tarvik --list-devices` with no sound server answering: either it lists
# the devices ALSA has (exit 0, at least one id), or it says that no
# device was found and why (exit non-zero); never two empty lists and 0.
#   check-list-devices.sh BUILD_DIR
set -u
out=$(env -u DISPLAY -u WAYLAND_DISPLAY PULSE_SERVER=unix:/nonexistent/native XDG_RUNTIME_DIR=/nonexistent \
  "$1/tarvik" --list-devices 2>&1)
rc=$?
if [ $rc -eq 0 ]; then
  grep -qE '^[* ] (alsa|pulse):' <<<"$out" && exit 0
  echo "check-list-devices: exit 0 with no device listed:"
  echo "$out"
  exit 1
fi
grep -q "no sound device found (ALSA: no PulseAudio or PipeWire server answers" <<<"$out" && exit 0
echo "check-list-devices: exit $rc without saying why:"
echo "$out"
exit 1
