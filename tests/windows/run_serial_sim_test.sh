#!/usr/bin/env bash
# The serial layer against simulated modules, and the ports that cannot be
# used, staged as Wine lets us.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
kms_env_start

kms_sim_start 22 silent --behaviour silent
kms_sim_start 23 banner --banner '$PZVKBOOT,BEFORE-OPEN*00'
mkdir -p "$KMS_RUN_DIR/not-a-port"
kms_link 25 "$KMS_RUN_DIR/not-a-port"
kms_link 26 /dev/null
kms_sim_start 27 framing
kms_sim_start 28 hangup --reboot never

KMS_TRANSCRIPTS="$(kms_winpath "$KMS_RUN_DIR")" wine "$@"
