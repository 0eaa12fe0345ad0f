#!/usr/bin/env bash
# One entry point for setting up, building, running and testing Tarvik.
#   tools/build.sh run    install what is missing, build, start Tarvik
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

bash tools/install-deps.sh

case "$what" in
  run)
    configure_and_build build
    exec bash tools/demo.sh "$@"
    ;;
  test)
    configure_and_build build
    run_tests build
    ;;
  asan)
    configure_and_build build-asan -DTARVIK_ASAN=ON -DTARVIK_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests build-asan
    ;;
  tsan)
    configure_and_build build-tsan -DTARVIK_TSAN=ON -DTARVIK_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests build-tsan
    ;;
  bench)
    configure_and_build build
    ./build/bench/tarvik_bench "$@"
    ;;
  *)
    echo "usage: tools/build.sh run|test|asan|tsan|bench" >&2
    exit 2
    ;;
esac
