#!/usr/bin/env bash
# libBRV set-up, build and run, for a Debian (bookworm) machine.
#
#   ./build.sh demo [demo options]   install what is missing, build, run the demo
#   ./build.sh scope [scope options] install what is missing, build, open brova-scope
#                                    on a simulated four-channel sensor
#   ./build.sh package               install what is missing, build the Debian packages
#                                    into build-package/
#   ./build.sh test                  install what is missing, build, run every test:
#                                    the plain build, an AddressSanitizer and
#                                    UndefinedBehaviorSanitizer build, a
#                                    ThreadSanitizer build and a bounded fuzzing run
#
# Missing Debian packages are installed with apt-get when run as root; otherwise
# the exact command to run is printed and the script stops.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

PACKAGES=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5serialport5-dev libqt5charts5-dev fonts-dejavu-core
  libgtest-dev libbenchmark-dev libeigen3-dev
  cyclonedds-dev cyclonedds-tools iproute2
  clang libclang-rt-14-dev
  python3 python3-pytest python3-pip python3-setuptools python3-wheel python3-numpy
  mono-mcs mono-runtime nunit-console libnunit-cil-dev
  help2man doxygen
  debhelper dh-python python3-all pybuild-plugin-pyproject lintian
  libzstd-dev liblz4-dev zlib1g-dev nodejs python3-zstandard python3-lz4
  libliquid-dev
)
# Recordings' tests: npm from Debian, unless the installed nodejs carries its
# own (a nodejs package that provides npm conflicts with Debian's).
command -v npm >/dev/null 2>&1 || PACKAGES+=(npm)

ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local cmd="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  else
    echo "Missing packages. Run as root:" >&2
    echo "  $cmd" >&2
    exit 1
  fi
}

# configure_and_build DIR [cmake options...] [-- targets...]
configure_and_build() {
  local dir=$1
  shift
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  targets=("$@")
  cmake -S "$ROOT" -B "$dir" "${options[@]}"
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$JOBS"
  fi
}

# build_packages: the Debian packages, from a copy of the sources, into
# build-package/; lintian must find no error in them.
# With "test" (the test command's check of the packaging) no debug symbols
# are built (-g0, no -dbgsym packages): ./build.sh package builds them.
build_packages() {
  local work="$ROOT/build-package" options="nocheck parallel=$JOBS" flags=""
  if [ "${1:-}" = test ]; then
    options="$options noddebs"
    flags=-g0
  fi
  rm -rf "$work"
  mkdir -p "$work/src"
  tar -C "$ROOT" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$work/src" -xf -
  # The system's own tools only (a Python of another installation on PATH
  # would build the binding for itself).
  (cd "$work/src" && PATH=/usr/sbin:/usr/bin:/sbin:/bin DEB_BUILD_OPTIONS="$options" \
     DEB_CFLAGS_APPEND="$flags" DEB_CXXFLAGS_APPEND="$flags" dpkg-buildpackage -us -uc -b)
  echo "== lintian"
  lintian --fail-on error "$work"/*.changes
  ls "$work"/*.deb
}

run_ctest() {
  (cd "$1" && ctest --output-on-failure -j "$JOBS" --timeout 600)
}

cmd=${1:-demo}
[ $# -gt 0 ] && shift
case "$cmd" in
  demo)
    ensure_packages
    configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --install "$ROOT/build" --prefix "$ROOT/build/stage"
    if [ -x "$ROOT/build/tools/brova-demo" ]; then
      "$ROOT/build/tools/brova-demo" "$@"
    else
      echo "libBRV built and installed into $ROOT/build/stage"
    fi
    ;;
  package)
    ensure_packages
    build_packages
    ;;
  scope)
    ensure_packages
    configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -- brova-scope
    if [ $# -eq 0 ]; then set -- --simulate 94; fi
    exec "$ROOT/build/scope/brova-scope" "$@"
    ;;
  test)
    ensure_packages
    # The test builds carry line tables only (-g1): enough for every stack
    # trace a test or a sanitizer prints, at two thirds of the compile time.
    echo "== plain build"
    configure_and_build "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRV_WERROR=ON \
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
    run_ctest "$ROOT/build"
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
    configure_and_build "$ROOT/build-asan" -DCMAKE_BUILD_TYPE=Debug -DBRV_WERROR=ON \
      -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 \
      -DBRV_SANITIZE=address,undefined -DBRV_BUILD_BENCHMARKS=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_ctest "$ROOT/build-asan"
    echo "== ThreadSanitizer build"
    # Every program of this build carries tests/tsan's view of Qt's locks.
    # ignore_noninstrumented_modules: accesses that Qt's own (uninstrumented)
    # code makes through intercepted calls are ordered by Qt's own locks, which
    # ThreadSanitizer cannot see; they are not checked. No other suppression.
    # -O1, as ThreadSanitizer's own documentation advises.
    configure_and_build "$ROOT/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRV_WERROR=ON \
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
      -DBRV_SANITIZE=thread -DBRV_BUILD_BENCHMARKS=OFF
    TSAN_OPTIONS=halt_on_error=1:ignore_noninstrumented_modules=1:second_deadlock_stack=1 \
      run_ctest "$ROOT/build-tsan"
    echo "== Debian packages"
    build_packages test
    "$ROOT/tests/packaging/check_packages.sh" "$ROOT/build-package"
    echo "== fuzzing the stream parsers and the recordings' reader (libFuzzer, ASan + UBSan, bounded runs)"
    CC=clang CXX=clang++ configure_and_build "$ROOT/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBRV_BUILD_FUZZ=ON -DBRV_SANITIZE=address,undefined -DBRV_BUILD_TESTS=OFF \
      -DBRV_BUILD_BENCHMARKS=OFF -DBRV_BUILD_SIMULATOR=OFF -- fuzz_parsers fuzz_recording
    corpus=$(mktemp -d)
    cp "$ROOT"/fuzz/corpus/* "$corpus"/
    "$ROOT/build-fuzz/fuzz/fuzz_parsers" -runs="${FUZZ_RUNS:-300000}" -max_len=2048 -seed=1 \
      -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
    rm -rf "$corpus"
    corpus=$(mktemp -d)
    cp "$ROOT"/fuzz/corpus_recording/* "$corpus"/
    "$ROOT/build-fuzz/fuzz/fuzz_recording" -runs="${FUZZ_RECORDING_RUNS:-200000}" -max_len=16384 -seed=1 \
      -print_final_stats=1 "$corpus" 2>&1 | tail -n 3
    rm -rf "$corpus"
    echo "== all tests passed"
    ;;
  *)
    echo "usage: $0 demo [options] | scope [options] | package | test" >&2
    exit 2
    ;;
esac
