#!/usr/bin/env bash
# Four units on one bus, served at once through umockdev (one state file each, ports 1 to 4),
# and four `updater -batch -calib -device 1-N` running at the same time, through real libusb:
# each must end as a clean update leaves it, and its trace must hold one update's worth of
# requests (one chip erase, every program block once, one video download, one package version)
# and no more: a request of another process would double some of them. One unit alone is
# updated the same way first, for comparison. The wall times and request counts are printed
# (a benchmark figure, not a pass/fail criterion).
#
#   parallel_units.sh BVU_EMULATOR UPDATER [TIME_SCALE]
set -u
emulator=$1 updater=$2 scale=${3:-0.1}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unset BVU_USB
supp=$(cd "$(dirname "$0")" && pwd)/tsan.supp
export TSAN_OPTIONS="suppressions=$supp${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export BVU_TIME_SCALE=$scale BVU_FRONTEND=headless
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

make() {  # make FILE PORT SERIAL
  "$emulator" create "$1" --port "$2" --serial "$3" --control-version 1.09 \
    --video-version 1.01 --package-version 2.05 >/dev/null || exit 1
}

# count FILE JQ-CONDITION: the trace entries that meet it.
count() {
  "$emulator" trace "$1" --json | jq "[.[] | select($2)] | length"
}

# The requests of one update, by kind: "total erases blocks videos packages serials".
signature() {
  echo "$(count "$1" 'true') $(count "$1" '.setup | startswith("2101")' ) \
$(count "$1" '(.setup | startswith("2101")) and (.data | startswith("0400ff"))') \
$(count "$1" '(.setup | startswith("2101")) and (.data | startswith("0100"))') \
$(count "$1" '.setup == "2001010500000000"') \
$(count "$1" '.setup | startswith("20020302")') \
$(count "$1" '.setup | startswith("a0030d02")')"
}

check_clean() {  # check_clean FILE NAME
  local j
  j=$("$emulator" show "$1" --json)
  for want in '"guise": "run"' '"controlVersion": "1.12"' '"videoVersion": "1.02"' \
              '"packageVersion": "2.07"' '"startupBit": 1'; do
    grep -q "$want" <<<"$j" || fail "$2: not as a clean update leaves it ($want missing)"
  done
}

now() { date +%s.%N; }

make "$dir/alone.json" 1 4700
start=$(now)
timeout 600 "$emulator" serve "$dir/alone.json" -- \
  "$updater" -batch -calib -device 1-1 >"$dir/alone.out" 2>&1 ||
  fail "the unit alone: exit $? ($(tail -3 "$dir/alone.out"))"
alone=$(echo "$(now) - $start" | bc)
check_clean "$dir/alone.json" "the unit alone"
alone_sig=$(signature "$dir/alone.json")

for n in 1 2 3 4; do make "$dir/u$n.json" "$n" "470$n"; done
start=$(now)
timeout 900 "$emulator" serve "$dir/u1.json" "$dir/u2.json" "$dir/u3.json" "$dir/u4.json" -- \
  bash -c 'pids=(); for n in 1 2 3 4; do
             # umockdev names the socket that carries a process its hotplug events after the
             # descriptor of its udev monitor: eight descriptors more for each keep the four apart.
             ( for ((fd = 3; fd < 3 + 8 * (n - 1); fd++)); do eval "exec $fd</dev/null"; done
               exec "$0" -batch -calib -device "1-$n" >"$1/run$n.out" 2>&1 ) & pids+=($!)
           done
           rc=0; for n in 1 2 3 4; do wait "${pids[$((n - 1))]}" || { echo "run $n: exit $?"; rc=1; }; done
           exit $rc' "$updater" "$dir" || fail "the four at once: $(cat "$dir"/run*.out | grep -i error | head -3)"
four=$(echo "$(now) - $start" | bc)

# Requests that change from run to run with the timing (status polls) aside, each unit heard
# exactly what the unit alone heard.
read -r _ _ erase blocks video package serials <<<"$alone_sig"
for n in 1 2 3 4; do
  check_clean "$dir/u$n.json" "unit $n"
  read -r total _ e b v p s <<<"$(signature "$dir/u$n.json")"
  [ "$e $b $v $p $s" = "$erase $blocks $video $package $serials" ] ||
    fail "unit $n: erases/blocks/video downloads/package writes/serial reads $e/$b/$v/$p/$s, alone $erase/$blocks/$video/$package/$serials"
  grep -q "second device" "$dir/run$n.out" && fail "unit $n's run saw another unit"
  echo "unit $n (1-$n): $total requests"
done
read -r alone_total _ <<<"$alone_sig"
echo "parallel_units: one unit alone ${alone}s ($alone_total requests), four at once ${four}s (time scale $scale)"
if [ $failures -eq 0 ]; then
  echo "parallel_units: all passed"
fi
exit $((failures > 0))
