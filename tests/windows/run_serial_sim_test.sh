#!/usr/bin/env bash
# The serial layer and one real-time run against simulated modules, and the
# ports that cannot be used, staged as Wine lets us.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../lib/harness.sh"
test_exe="$1"
shift

kms_sim_start 21 answer --reboot vanish --reboot-delay-ms 2000
kms_sim_start 22 silent --behaviour silent
kms_sim_start 23 banner --banner '$PZVKBOOT,BEFORE-OPEN*00'
kms_sim_start 24 never --reboot never
kms_sim_start 27 framing
kms_sim_start 28 hangup --reboot never
mkdir -p "$KMS_RUN_DIR/not-a-port"
kms_link 25 "$KMS_RUN_DIR/not-a-port"
kms_link 26 /dev/null

export KMS_TRANSCRIPT_ANSWER="$(kms_winpath "$KMS_RUN_DIR/answer.transcript")"
export KMS_TRANSCRIPT_FRAMING="$(kms_winpath "$KMS_RUN_DIR/framing.transcript")"
wine "$test_exe" "$@"
