#!/usr/bin/env bash
# One entry point for setting up, building, running and testing Tarvik.
#   tools/build.sh run    install what is missing, build, start Tarvik (in build/)
#   tools/build.sh test   install what is missing, build, run every test
#   tools/build.sh asan   tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tools/build.sh tsan   tests under ThreadSanitizer
#   tools/build.sh bench  benchmarks (Release build)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
what=${1:-run}
shift || true

jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

run_tests() {  # dir
  (cd "$1" && ctest --output-on-failure -j"$jobs" --timeout 600)
}

# The sound tests run against a private PulseAudio server of their own, so
# they never touch the desktop's sound. In CI a server that does not start
# is a failure; elsewhere those tests are skipped.
start_sound_server() {
  TARVIK_PULSE_DIR=$(mktemp -d /tmp/tarvik-pulse-XXXXXX)
  export TARVIK_PULSE_DIR
  export XDG_RUNTIME_DIR=$TARVIK_PULSE_DIR
  export PULSE_SERVER=unix:$TARVIK_PULSE_DIR/pulse/native
  trap 'bash tools/pulse-server.sh stop; rm -rf "$TARVIK_PULSE_DIR"' EXIT
  if bash tools/pulse-server.sh start; then
    export TARVIK_SOUND_SERVER=1
  elif [ -n "${CI:-}" ]; then
    echo "build.sh: the private PulseAudio server did not start" >&2
    exit 1
  else
    echo "build.sh: no private PulseAudio server; the sound tests are skipped" >&2
  fi
}

case "$what" in
  test | asan | tsan) bash tools/install-deps.sh --test ;;
  bench) bash tools/install-deps.sh --bench ;;
  *) bash tools/install-deps.sh ;;
esac

case "$what" in
  run)
    configure_and_build build
    # Tarvik keeps Tarvik.ini in the directory it starts in.
    cd build
    exec ./tarvik "$@"
    ;;
  test)
    configure_and_build build
    start_sound_server
    run_tests build
    ;;
  asan)
    configure_and_build build-asan -DTARVIK_ASAN=ON -DTARVIK_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    start_sound_server
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-asan
    ;;
  tsan)
    configure_and_build build-tsan -DTARVIK_TSAN=ON -DTARVIK_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    start_sound_server
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp" run_tests build-tsan
    ;;
  bench)
    configure_and_build build
    ./build/bench/tarvik_bench "$@"
    ./build/bench/tarvik_bench_draw "$@"
    ./build/bench/tarvik_bench_window
    ./build/bench/tarvik_bench_nr
    ./build/bench/tarvik_bench_rig
    ./build/bench/tarvik_bench_decoder
    ;;
  *)
    echo "usage: tools/build.sh run|test|asan|tsan|bench" >&2
    exit 2
    ;;
esac
