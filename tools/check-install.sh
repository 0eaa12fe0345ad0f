#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks it as a desktop would:
# the menu entry and the metainfo validate, the installed programs run, and
# the Debian package CPack makes carries its dependencies and runs unpacked.
#   check-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
scratch=$(mktemp -d /tmp/tarvik-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/usr" >/dev/null
share=$scratch/usr/share
desktop-file-validate "$share/applications/io.github.tarvik.Tarvik.desktop"
appstreamcli validate --no-net --pedantic "$share/metainfo/io.github.tarvik.Tarvik.metainfo.xml" >/dev/null
test -s "$share/icons/hicolor/scalable/apps/io.github.tarvik.Tarvik.svg"
for page in tarvik tarvik-filter; do
  # groff reads the page without complaint.
  test -z "$(groff -man -Tutf8 -ww -z "$scratch/usr/share/man/man1/$page.1" 2>&1)"
done

"$scratch/usr/bin/tarvik" --version | grep -q '^tarvik [0-9]'
"$scratch/usr/bin/tarvik" --help | grep -q -- '--settings'
"$scratch/usr/bin/tarvik-filter" --help | grep -q -- '--preset'
sox -q -n -r 44100 -c 2 -b 16 "$scratch/in.wav" synth 1 sine 700
"$scratch/usr/bin/tarvik-filter" --quiet --preset BP100 "$scratch/in.wav" "$scratch/out.wav"
test "$(soxi -r "$scratch/out.wav")" = 11025

# An installed copy keeps its settings in the user's place, and SIGTERM
# saves them: with XDG_CONFIG_HOME set, and without it (~/.config).
settings_after_sigterm() {  # settings file expected, then env assignments
  local want=$1
  shift
  mkdir -p "$scratch/cwd"
  (cd "$scratch/cwd" && exec env "$@" QT_QPA_PLATFORM=offscreen "$scratch/usr/bin/tarvik" >/dev/null 2>&1) &
  local pid=$!
  sleep 1.5
  kill -TERM "$pid"
  wait "$pid" || true
  test -s "$want" || { echo "check-install: no settings at $want after SIGTERM" >&2; exit 1; }
  test ! -e "$scratch/cwd/Tarvik.ini"
}
settings_after_sigterm "$scratch/xdg/tarvik/Tarvik.ini" HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/xdg"
settings_after_sigterm "$scratch/home/.config/tarvik/Tarvik.ini" HOME="$scratch/home" XDG_CONFIG_HOME=

# The Debian package.
(cd "$build" && cpack -G DEB >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log" >&2; exit 1; }
deb=$(ls -t "$build"/tarvik_*.deb | head -1)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libportaudio2 libsndfile1 libsamplerate0 libqt6widgets6; do
  case "$depends" in *"$lib"*) ;; *) echo "check-install: $lib missing from Depends: $depends" >&2; exit 1 ;; esac
done
dpkg-deb -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/tarvik" --version >/dev/null
"$scratch/root/usr/bin/tarvik-filter" --help >/dev/null
echo "install: clean ($(basename "$deb"))"
