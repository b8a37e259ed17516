#!/usr/bin/env bash
# The terminal program's Windows build under Wine: "list" in the window's
# order and with no port, one switch against a simulated module, a probe
# that finds a module at a rate other than the one it opens at, and a watch
# that ends when the rover's fix is RTK fixed.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
cli="$1"
kms_env_start
kms_sim_start 41 cli --reboot vanish --reboot-delay-ms 2000
kms_sim_start 42 probe --rate 115200 --talk rover
kms_sim_start 43 watch --talk mode --fix-quality 4
failures=0
check() { # WHAT GOT EXPECTED
  if [ "$2" != "$3" ]; then
    printf 'FAILED: %s\n  got:      %q\n  expected: %q\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

kms_ports COM41 com5 COM41
check "list: the registry's ports, de-duplicated, in port-number order" \
  "$(wine "$cli" list </dev/null)" $'com5\r\nCOM41\r'

status=0
out="$(wine "$cli" switch COM41 rover </dev/null)" || status=$?
printf '%s\n' "$out"
check "switch exit status" "$status" 0
check "lines not ending in one CR LF" \
  "$(printf '%s\n' "$out" | grep -c -v -e $'[^\r]\r$' -e $'^\r$' || true)" 0
check "sentences sent" "$(printf '%s\n' "$out" | grep -o '>> .*' | tr -d '\r')" \
  "$(printf '>> %s\n' '$PZVKCFGMSGRATE,W,PZVKSVINSTATUS,0,1*59' '$PZVKCFGRCVRMODE,W,1*25' \
    '$PZVKSAVEPAR*55' '$PZVKSRR*44')"
check "last line" "$(printf '%s\n' "$out" | tail -1 | cut -c12- | tr -d '\r')" "Done: Rover mode"
check "sentences the module received" "$(grep -c ' RX 460800 8N1 CRLF ' "$KMS_RUN_DIR/cli.transcript")" 4
check "probe: the rate changed in place, and what the module sends" \
  "$(wine "$cli" probe COM42 2>/dev/null </dev/null | tr -d '\r')" "COM42: 115200 baud, NMEA GNGGA GNRMC"
kms_ports COM43
status=0
out="$(wine "$cli" watch COM43 --until rtk-fixed --timeout 10 </dev/null)" || status=$?
check "watch --until rtk-fixed: its status and last line" \
  "$status $(printf '%s\n' "$out" | tail -1 | cut -c12-42 | tr -d '\r')" "0 Met rtk-fixed: a rover with RTK"
kms_ports
check "list with no port: the terminal program's own hint" \
  "$(wine "$cli" list 2>&1 >/dev/null </dev/null | tr -d '\r')" \
  "No serial port found. Plug in the module and run list again."
echo "$failures failed"
[ "$failures" -eq 0 ]
