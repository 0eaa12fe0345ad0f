#!/usr/bin/env bash
# Installs the Debian 12 packages Tarvik needs to build, test and run.
# Quiet and quick when everything is already there.
#   install-deps.sh          what building and running need
#   install-deps.sh --test   also the PulseAudio server the sound tests start
#                            and Hamlib's rigctld the rig tests start
#   install-deps.sh --bench  also espeak-ng, whose speech the noise benchmark uses,
#                            and morse2ascii, beside which the CW decoder is measured
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsimpleini-dev libsndfile1-dev libsamplerate0-dev libspeexdsp-dev
  qt6-base-dev qt6-wayland portaudio19-dev libpulse-dev libhamlib-dev
  fonts-noto-cjk fonts-liberation
  sox
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(espeak-ng morse2ascii)
fi
if [ "${1:-}" = "--test" ]; then
  packages+=(pulseaudio pulseaudio-utils libasound2-plugins
    desktop-file-utils appstream dpkg-dev groff-base xvfb libhamlib-utils)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "install-deps: not root and no sudo; please install: ${missing[*]}" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
