#!/usr/bin/env bash
# A private PulseAudio server for the sound tests, in its own runtime
# directory ($TARVIK_PULSE_DIR), without shared memory, with four null sinks:
#   tarvik_in     what the tests play into it is what Tarvik captures
#                 (its monitor is the default source);
#   tarvik_out    the default sink: Tarvik plays into it, the tests record
#                 its monitor;
#   tarvik_rig    a second input (a rig's codec), chosen by name;
#   tarvik_phones a second output (headphones), chosen by name: a remap of
#                 the null sink tarvik_phones_card, so that the tests can
#                 unplug it and plug it in again while its card's clock runs.
# A null sink with no steady stream renders ahead in blocks of up to two
# seconds and then stalls for as long (its monitor delivers nothing, a
# stream played into it is taken late), where a sound card runs on its
# clock: each sink gets a steady stream of zeros, as a card's clock.
# TARVIK_PULSE_CLOCKS lists the sinks that get one (all four when unset):
# a test of a "virtual cable" set-up leaves its null sinks without.
# usage: pulse-server.sh start|stop|restart
set -euo pipefail

dir=${TARVIK_PULSE_DIR:?set TARVIK_PULSE_DIR to a private directory}
export XDG_RUNTIME_DIR=$dir
export PULSE_SERVER=unix:$dir/pulse/native
unset PULSE_RUNTIME_PATH PULSE_STATE_PATH
export PULSE_STATE_PATH=$dir/state

server_up() { pactl info >/dev/null 2>&1; }

start() {
  mkdir -p "$dir" "$PULSE_STATE_PATH"
  chmod 700 "$dir"
  pulseaudio --daemonize=yes -n --exit-idle-time=-1 --disable-shm=yes --use-pid-file=yes --realtime=yes \
    --log-target=file:"$dir/pulse.log" \
    --load="module-native-protocol-unix auth-anonymous=1" \
    --load="module-null-sink sink_name=tarvik_in rate=44100 sink_properties=device.description=Radio" \
    --load="module-null-sink sink_name=tarvik_out rate=44100 sink_properties=device.description=Speaker" \
    --load="module-null-sink sink_name=tarvik_rig rate=48000 sink_properties=device.description=Rig" \
    --load="module-null-sink sink_name=tarvik_phones_card rate=48000 sink_properties=device.description=Headset" \
    --load="module-remap-sink sink_name=tarvik_phones master=tarvik_phones_card sink_properties=device.description=Phones" \
    >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do
    if server_up; then
      pactl set-default-source tarvik_in.monitor
      pactl set-default-sink tarvik_out
      for sink in ${TARVIK_PULSE_CLOCKS-tarvik_in tarvik_out tarvik_rig tarvik_phones_card}; do
        # Ends by itself when the server stops.
        setsid pacat --playback -d "$sink" --rate=11025 --channels=1 --format=s16le --latency-msec=20 \
          --stream-name=keep-running /dev/zero </dev/null >/dev/null 2>&1 &
      done
      return 0
    fi
    sleep 0.05
  done
  echo "pulse-server: the PulseAudio server did not start (log: $dir/pulse.log)" >&2
  return 1
}

stop() {
  pulseaudio --kill >/dev/null 2>&1 || true
  for _ in $(seq 1 100); do
    server_up || return 0
    sleep 0.05
  done
  pkill -KILL -f "pulseaudio.*--log-target=file:$dir/" 2>/dev/null || true
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  restart) stop; start ;;
  *) echo "usage: pulse-server.sh start|stop|restart" >&2; exit 2 ;;
esac
