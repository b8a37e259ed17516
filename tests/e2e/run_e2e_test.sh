#!/usr/bin/env bash
# The end-to-end suite in a display, with its simulated modules; the suite
# starts the program itself and sets the registry's port list as it needs.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
test_exe="$1"
tool_exe="$2"
shift 2
kms_env_start

kms_sim_start 31 rover --reboot vanish --reboot-delay-ms 2000
kms_sim_start 33 gone --reboot never
mkdir -p "$KMS_RUN_DIR/held-port"
kms_link 36 "$KMS_RUN_DIR/held-port"
kms_sim_start 38 closing

mkdir -p "$KMS_ROOT/build/screenshots"
bmp="$KMS_ROOT/build/screenshots/rover-run.bmp"
rm -f "$bmp"
status=0
KMS_TOOL="$(kms_winpath "$tool_exe")" KMS_SCREENSHOT="$(kms_winpath "$bmp")" \
  KMS_TRANSCRIPTS="$(kms_winpath "$KMS_RUN_DIR")" wine "$test_exe" "$@" || status=$?
kms_ports
if [ -f "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" 2>/dev/null; then
  rm -f "$bmp"
  echo "screenshot: ${bmp%.bmp}.png"
fi
exit "$status"
