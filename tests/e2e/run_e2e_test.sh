#!/usr/bin/env bash
# Starts one simulated module per case, then the end-to-end suite, which
# starts the program itself and sets the registry's port list as it needs.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../lib/harness.sh"
test_exe="$1"
tool_exe="$2"
shift 2

kms_sim_start 31 t31 --reboot vanish --reboot-delay-ms 2000
kms_sim_start 32 t32 --reboot stay --reboot-delay-ms 2000
kms_sim_start 33 t33 --reboot never
kms_sim_start 34 t34 --behaviour silent --reboot-delay-ms 2000
kms_sim_start 35 t35 --behaviour chatty --rate-hz 200 --reboot-delay-ms 2000
mkdir -p "$KMS_RUN_DIR/held-port"
kms_link 36 "$KMS_RUN_DIR/held-port"
kms_sim_start 37 t37 --reboot vanish --reboot-delay-ms 2000
kms_sim_start 38 t38

mkdir -p "$KMS_ROOT/build/screenshots"
bmp="$KMS_ROOT/build/screenshots/rover-run.bmp"
rm -f "$bmp"
export KMS_TOOL="$(kms_winpath "$tool_exe")"
export KMS_SCREENSHOT="$(kms_winpath "$bmp")"
for n in 31 32 37; do
  export "KMS_T$n=$(kms_winpath "$KMS_RUN_DIR/t$n.transcript")"
done

status=0
wine "$test_exe" "$@" || status=$?
kms_ports_clear
if [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null; then
  rm -f "$bmp"
  echo "screenshot: ${bmp%.bmp}.png"
fi
exit "$status"
