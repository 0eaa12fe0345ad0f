#!/usr/bin/env bash
# Filters a generated demo signal (a 700 Hz
# Morse-like tone in white noise) through BP100 and says where the result is.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$top/build/demo"
mkdir -p "$out"

sox -q -n -r 44100 -c 1 -b 16 "$out/noise.wav" synth 10 whitenoise vol 0.3
sox -q -n -r 44100 -c 1 -b 16 "$out/tone.wav" synth 10 sine 700 vol 0.05 tremolo 2 100
sox -q -m "$out/noise.wav" "$out/tone.wav" "$out/demo-in.wav"

"$top/build/tarvik-filter" --preset BP100 --fo 700 "$out/demo-in.wav" "$out/demo-bp100.wav"
"$top/build/tarvik-filter" --preset LMSNS "$out/demo-in.wav" "$out/demo-lmsns.wav"

echo
echo "Demo input (tone in noise): $out/demo-in.wav"
echo "Through BP100 around 700 Hz: $out/demo-bp100.wav"
echo "Through LMSNS noise reduction: $out/demo-lmsns.wav"
echo "Filter your own recordings with: $top/build/tarvik-filter --help"
