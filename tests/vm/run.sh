#!/usr/bin/env bash
# The vm set: the shipped static terminal programs in Debian's own amd64 and
# arm64 kernels under QEMU (TCG), on a USB link inside each guest, through the
# real cdc-acm driver, with the simulated module on the gadget's side. Each
# guest boots once, runs its scenarios (tests/vm/init.sh) and reports them on
# its console; this judges the reports. The switches' log lines and the bytes
# the module received must be those of the same switch on a pseudo-terminal,
# which the native set pins against the scripts.
#   tests/vm/run.sh   (after the release-amd64, arm64 and armv6 builds)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1
# shellcheck source=tests/vm/judge.sh
. tests/vm/judge.sh
out=build/vm
mkdir -p "$out"
modes=(rover base-only survey-in)
# A guest's run, boot to power-off, is 2 to 4 minutes.
GUEST_LIMIT_S=420

# ARCH QEMU-OPTIONS KERNEL-OPTIONS BUILD PROGRAM... (PATH=NAME; the first
# NAME runs every scenario): boots the guest with the simulator of BUILD, its
# console into $out/ARCH.log.
guest() {
  local arch="$1" options="$2" kernel_options="$3" sim="build/$4/tools/module-sim/kavrel-module-sim" kernel names
  shift 4
  kernel=$(tests/vm/image.sh "$arch" "$out/$arch.cpio.gz" "$@" "$sim=kavrel-module-sim") || return 1
  # kms-multi, the program of several runs at once, is no terminal program.
  names=$(printf '%s\n' "$@" | sed 's/.*=//' | grep -vx kms-multi | paste -sd,)
  # shellcheck disable=SC2086 # the options are words
  timeout "$GUEST_LIMIT_S" qemu-system-$options -accel tcg -m 512 -smp 1 -nographic \
    -no-reboot -net none -kernel "$kernel" -initrd "$out/$arch.cpio.gz" \
    -append "console=$kernel_options quiet loglevel=3 panic=-1 cli=$names" </dev/null >"$out/$arch.log" 2>&1
}

# The same switch on a pseudo-terminal, as the reference: its log lines and
# what the module received, into $out/pty/NAME.{out,module}.
#   reference NAME MODE [SIM-OPTION...]
reference() {
  local name="$1" mode="$2" dir="$out/pty" sim
  shift 2
  mkdir -p "$dir" && rm -f "$dir/$name".*
  build/release-amd64/tools/module-sim/kavrel-module-sim --link "$dir/$name.port" \
    --transcript "$dir/$name.transcript" --reboot-delay-ms 2000 "$@" &
  sim=$!
  until [ -e "$dir/$name.port" ]; do sleep 0.05; done
  build/release-amd64/kavrel-mode-switch-cli switch "$dir/$name.port" "$mode" |
    sed "s|^\[[0-9:]*\] ||; s|$dir/$name.port|PORT|" >"$dir/$name.out"
  kill "$sim"; wait "$sim"
  received "$dir/$name.transcript" >"$dir/$name.module"
}


# Splits a guest's report into $out/ARCH/NAME.{log,module}; prints the
# kernel line.
split_report() {
  local arch="$1"
  rm -rf "${out:?}/$arch/runs" && mkdir -p "$out/$arch/runs"
  tr -d '\r' <"$out/$arch.log" | awk -v dir="$out/$arch/runs" '
    /@@ kernel / { sub(/.*@@ kernel /, ""); print }
    /^@@ run / { name = $3; file = dir "/" name ".log"; printf "" >file; next }
    /^@@ module$/ { file = dir "/" name ".module"; printf "" >file; next }
    /^@@ end$/ { file = ""; next }
    file != "" { print >>file }'
}


# The log without its stamps and times, the status and duration of a run.
lines() { grep -v '@@ status' "$1" | sed -E 's/^[0-9]+ ?//; s/^\[[0-9:]*\] //; s#  /dev/tty(ACM|USB)0  #  PORT  #'; }
status() { sed -nE 's/^([0-9]+ )?@@ status ([0-9]+) .*/\2/p' "$1"; }
duration() { sed -nE 's/^([0-9]+ )?@@ status [0-9]+ ([0-9]+)$/\2/p' "$1"; }
# The stamp of the first line holding TEXT, or a note that no stamped line
# holds it (and a failure).
stamp_of() {
  local stamp
  stamp=$(grep -F -m1 -- "$2" "$1" | cut -d' ' -f1)
  [[ "$stamp" =~ ^[0-9]+$ ]] && echo "$stamp" || { echo "no stamped line '$2'"; return 1; }
}
# The ms from the first line holding FIRST to the first holding LAST, or
# the note of stamp_of.
span() {
  local first last
  first=$(stamp_of "$1" "$2") || { echo "$first"; return 1; }
  last=$(stamp_of "$1" "$3") || { echo "$last"; return 1; }
  echo $((last - first))
}
has() { lines "$1" | grep -qxF -- "$2"; }

# NAME REFERENCE: the switch completes with the pty run's lines and bytes.
judge_switch() {
  local run="$1" mode="$2" why=""
  [ "$(status "$run.log")" = 0 ] || why="status $(status "$run.log"), expected 0; "
  diff <(lines "$run.log") "$out/pty/$mode.out" >"$run.diff" || why+="log lines differ from the pty run ($run.diff); "
  diff <(received "$run.module") "$out/pty/$mode.module" >>"$run.diff" ||
    why+="the module received other bytes than on the pty ($run.diff); "
  verdict "1 $(basename "$run")" "$why" " ($(duration "$run.log") ms)"
}

# LABEL NAME: two modules switched at once (runs NAME-a, NAME-b and the
# names watched, NAME-names), A to Survey-In, B to Rover. Each module takes
# exactly its own script, and only after the swap of names that the scenario
# is there for: otherwise it proves nothing.
judge_two() {
  local label="$1" name="$2" runs="$out/$arch/runs" why="" reopen held run mode
  reopen=$(stamp_of "$runs/$name-a.log" 'Waiting for module reboot...') &&
    reopen=$((reopen + 6500)) || why="$name-a: $reopen; "
  held=$(awk -v t="$reopen" '$1 <= t + 0 { last = $0 } END { print last }' "$runs/$name-names.log")
  [[ " $held " = *" ttyACM0=KV0002 "* ]] ||
    why+="at A's reopen (${reopen} ms) ttyACM0 was not held by the other module: '$held' ($runs/$name-names.log); "
  for run in a b; do
    mode=$([ "$run" = a ] && echo survey-in || echo rover)
    run="$runs/$name-$run"
    [ "$(status "$run.log")" = 0 ] && lines "$run.log" | grep -q '^Done: ' ||
      why+="$(basename "$run"): status $(status "$run.log"), expected 0 and Done ($run.log); "
    diff <(received "$run.module") "$out/pty/$mode.module" >"$run.diff" ||
      why+="$(basename "$run"): its module received other bytes than its own $mode script ($run.diff); "
  done
  verdict "$label" "$why" " (A $(duration "$runs/$name-a.log") ms, B $(duration "$runs/$name-b.log") ms; ${held# })"
}

judge_guest() {
  local arch="$1" runs="$out/$1/runs" why run gap base
  echo "[vm] $arch guest: $(split_report "$arch")"
  # Behind a bridge the module's reply to the reset sentence is read, as on
  # a pty whose module reboots in place.
  [ ! -f "$runs/rover-ftdi.log" ] || { cp "$out/ftdi.transcript" "$runs/rover-ftdi.module" &&
    judge_switch "$runs/rover-ftdi" rover-in-place; }
  for mode in "${modes[@]}"; do judge_switch "$runs/$mode" "$mode"; done
  for run in "$runs"/rover-kms-*.log; do [ ! -f "$run" ] || judge_switch "${run%.log}" rover; done

  run="$runs/back-at-1s.log" why=""
  [ "$(status "$run")" = 0 ] && ! grep -qE 'Port not back yet|Module came back as' "$run" ||
    why="expected Done with no retry, as ttyACM0; got status $(status "$run"), $(lines "$run" |
      grep -E 'Port not back yet|Module came back as' | head -1) (see $run)"
  verdict "2 back-at-1s" "$why" " ($(duration "$run") ms)"

  run="$runs/back-at-9s.log" why=""
  [ "$(status "$run")" = 0 ] && [ "$(grep -cF 'Port not back yet' "$run")" = 1 ] ||
    why="expected Done after one 'Port not back yet' (see $run)"
  verdict "3 back-at-9s" "$why" " ($(duration "$run") ms)"

  run="$runs/stops-reading.log" why=""
  gap=$(span "$run" 'Serial write failed: Connection timed out (errno 110)' 'Failed.') &&
    [ "$(status "$run")" = 1 ] && [ "$gap" -le 3000 ] ||
    why="expected Failed. within 3000 ms of the write's time-out, status 1 (see $run)"
  verdict "4 stops-reading" "$why" " ($(duration "$run") ms; Failed. after the time-out: $gap ms)"

  run="$runs/held.log" why=""
  has "$run" 'Open serial port failed. Check that Sonvara or serial assistants are closed: Device or resource busy (errno 16)' &&
    lines "$run" | grep -qE '^Port held by sleep \(pid [0-9]+\)\.$' && [ "$(status "$run")" = 1 ] ||
    why="expected errno 16 and the holder named, status 1 (see $run); "
  [ -z "$(received "$runs/held.module")" ] || why+="the module received: $(received "$runs/held.module")"
  verdict "5 held" "$why" " ($(duration "$run") ms)"

  # Within 100 ms of SIGINT, beyond what the guest takes to end a program
  # that ends at once (a sleep).
  run="$runs/sigint.log" why=""
  base=$(sed -n 's/^@@ baseline //p' "$run")
  [ "$(status "$run")" = 130 ] && [ "$(($(duration "$run") - base))" -le 100 ] &&
    has "$run" 'Interrupted: the module may have taken part of the script. Run the switch again.' ||
    why="expected the interrupted line and status 130 within 100 ms (see $run)"
  verdict "6 sigint" "$why" " (ended $(duration "$run") ms after SIGINT; a sleep $base ms)"

  why=""
  has "$runs/list.log" /dev/ttyACM0 || why="list: no /dev/ttyACM0 ($runs/list.log); "
  lines "$runs/list-v.log" | grep -A4 -xF /dev/ttyACM0 | grep -qxF '  usb id: 1d6b:0104' &&
    lines "$runs/list-v.log" | grep -A4 -xF /dev/ttyACM0 | grep -qxF '  product: GNSS module' ||
    why+="list -v: no usb id 1d6b:0104 and product under /dev/ttyACM0 ($runs/list-v.log)"
  verdict "7 list" "$why"

  run="$runs/renamed.log" why=""
  has "$run" 'Module came back as /dev/ttyACM1.' && [ "$(status "$run")" = 3 ] &&
    has "$run" 'No reply from the module: is 460800 its baud rate? Find it with: kavrel-mode-switch-cli probe /dev/ttyACM1' ||
    why="expected 'Module came back as /dev/ttyACM1.', Done, and the no-reply line naming it, status 3 (see $run)"
  verdict "8 renamed" "$why" " ($(duration "$run") ms)"

  judge_two "9 two-modules" two
  judge_two "10 two-in-one-program" one

  run="$runs/by-id.log" why=""
  grep -q ' ttyACM1=KV0001' "$run" || why="the module did not come back as ttyACM1 (see $run); "
  [ "$(status "$run")" = 0 ] && ! grep -q 'Module came back as' "$run" ||
    why+="expected Done under the by-id name, with no 'Module came back as' (see $run); "
  diff <(received "$runs/by-id.module") "$out/pty/rover.module" >"$runs/by-id.diff" ||
    why+="the module received other bytes than the rover script ($runs/by-id.diff)"
  verdict "11 by-id" "$why" " ($(duration "$run") ms)"
}

started=$(date +%s)
# QEMU's FTDI adapter attaches once its character device is open: here the
# simulated module's pseudo-terminal on this side, a module behind a USB-UART
# bridge, which stays on the bus while the module resets.
rm -f "$out/ftdi.transcript"
build/release-amd64/tools/module-sim/kavrel-module-sim --link "$out/ftdi.port" --reboot in-place \
  --reboot-delay-ms 2000 --transcript "$out/ftdi.transcript" &
ftdi=$!
until [ -e "$out/ftdi.port" ]; do sleep 0.05; done
guest amd64 "x86_64 -device qemu-xhci -chardev serial,id=ftdi,path=$out/ftdi.port -device usb-serial,chardev=ftdi" \
  "ttyS0 ftdi=1" release-amd64 build/release-amd64/kavrel-mode-switch-cli=kms-amd64 \
  build/release-amd64/tests/native/kms-multi-switch=kms-multi &
amd64=$!
guest arm64 "aarch64 -M virt -cpu cortex-a57" ttyAMA0 arm64 build/arm64/kavrel-mode-switch-cli=kms-arm64 \
  build/armv6/kavrel-mode-switch-cli=kms-armhf build/arm64/tests/native/kms-multi-switch=kms-multi &
arm64=$!
for mode in "${modes[@]}"; do reference "$mode" "$mode" & done
reference rover-in-place rover --reboot in-place &
wait "$amd64" || echo "[vm] amd64 guest: ended abnormally, see $out/amd64.log"
kill "$ftdi"
wait "$arm64" || echo "[vm] arm64 guest: ended abnormally, see $out/arm64.log"
wait
judge_guest amd64
judge_guest arm64
echo "[vm] both guests in $(($(date +%s) - started)) s"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
