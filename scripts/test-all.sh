#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds the sanitizer and Windows presets, and
# runs every suite: natively under AddressSanitizer+UndefinedBehaviorSanitizer and under
# ThreadSanitizer (each with a sample of the recovery sweep; BVU_WHOLE_SWEEP=1 adds the whole sweep on an
# optimised build), and the cross-built Windows test
# binaries under Wine (with a virtual display for the dialog). Then the release presets, the Windows release zip, and the Debian package, which it
# installs on this machine, tries and removes again; a short pass of each fuzzer and the
# benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)
step() { printf '\n=== %s (%ds)\n' "$*" $(( $(date +%s) - started )); }

step "Installing dependencies"
scripts/install-deps.sh

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
jobs=$(nproc)

status=0
step "Checking the formatting"
scripts/check-format.sh || status=1

for preset in linux-asan linux-tsan mingw; do
  step "Configuring and building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

for preset in linux-asan linux-tsan; do
  step "Testing $preset"
  ctest --preset "$preset" -j"$jobs" || status=1
done

# The whole recovery sweep (every request of an update interrupted, on an optimised build) takes
# about ten minutes on two cores, which CI cannot spare within its time; the sanitizer suites
# above run a sample of it. BVU_WHOLE_SWEEP=1 runs it here too (README: before a change to what
# the updater sends to the device lands).
if [ "${BVU_WHOLE_SWEEP:-0}" = 1 ]; then
  step "Building linux and running the whole recovery sweep"
  cmake --preset linux >/dev/null
  cmake --build --preset linux-sweep -j"$jobs"
  ctest --preset linux-sweep -j"$jobs" || status=1
fi

step "Testing mingw under Wine"
xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset mingw -j"$jobs" || status=1

# The Windows programs on Wine's own USB functions, against the device served through umockdev
# (needs the native tool's serve): no WinUSB driver, so the advice and exit code 1.
step "Testing the Windows programs against the served device under Wine"
tests/winusb/wine_served.sh build/linux-asan/bin/bvu-emulator build/mingw/bin/modeswitch.exe \
  build/mingw/bin/updater.exe || status=1

# Release builds ship without the emulated device: asking for it is refused in one line.
step "Building the release presets and the Windows release zip"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j"$jobs"
refusal=$(BVU_USB=emulator:x build/linux-release/bin/modeswitch -dfu 2>&1 || true)
if ! grep -q '^BVU_USB=emulator:x: this build has no USB host "emulator"' <<<"$refusal"; then
  echo "FAIL: the release build did not refuse BVU_USB=emulator:x: $refusal"
  status=1
fi
scripts/package-windows.sh || status=1

# The Debian package of the release build, installed on this machine (root or sudo), tried from
# the installed paths and removed again.
step "Building, installing, trying and removing the Debian package"
cmake --build --preset linux-release -j"$jobs" --target package
deb=$(ls -t build/linux-release/brevicor-update-utility_*.deb | head -1)
packaging/linux/test-package.sh "$deb" || status=1

# A short fuzzing pass of each libFuzzer target (clang), and the records benchmark once for its
# figures (never a pass/fail test). BVU_FUZZ_SECONDS sets the time of each fuzzer.
step "Configuring and building linux-fuzz (the fuzzers and the benchmark)"
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j"$jobs"
fuzz_dir=build/linux-fuzz/fuzz
for fuzzer in unpack record slot; do
  step "Fuzzing $fuzzer for ${BVU_FUZZ_SECONDS:-20}s"
  # New inputs go to the build tree; the seeds in the source tree are only read.
  mkdir -p "$fuzz_dir/corpus-$fuzzer" "$fuzz_dir/crashes"
  seeds=()
  if [ -d "tests/update/fuzz/corpus/$fuzzer" ]; then seeds=("tests/update/fuzz/corpus/$fuzzer"); fi
  if build/linux-fuzz/bin/update_${fuzzer}_fuzzer -max_total_time="${BVU_FUZZ_SECONDS:-20}" \
       -timeout=10 -print_final_stats=1 -artifact_prefix="$fuzz_dir/crashes/$fuzzer-" \
       "$fuzz_dir/corpus-$fuzzer" "${seeds[@]}" >"$fuzz_dir/$fuzzer.log" 2>&1; then
    grep -E '^(Done|stat::)' "$fuzz_dir/$fuzzer.log"
  else
    tail -n 60 "$fuzz_dir/$fuzzer.log"
    echo "FAIL: fuzzer $fuzzer (input kept in $fuzz_dir/crashes/)"
    status=1
  fi
done

step "Benchmark: opening and unpacking the carried records"
build/linux-fuzz/bin/update_records_benchmark || echo "benchmark: ended with status $?"

step "Done (status $status)"
exit $status
