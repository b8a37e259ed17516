#!/usr/bin/env bash
# Fills the prefix's serial port list with awkward values, then runs the test.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../lib/harness.sh"
test_exe="$1"
shift

# Restore an empty list afterwards, so later tests start from a known state.
trap 'kms_ports_clear; kms_cleanup' EXIT
kms_ports_clear
# Wine lists values by name, so the A.. order below is the order of reading.
kms_port_register '\Device\A_Com10' COM10
kms_port_register '\Device\B_Lower' com2
kms_port_register '\Device\C_Upper' COM2
kms_port_register '\Device\D_Null' CNCA0
kms_port_register '\Device\E_Long' KAVREL-LONG-PORT-NAME-0123456789ABCDEFGH
kms_port_register '\Device\F_Dword' 7 REG_DWORD
kms_port_register '\Device\G_Huge' "COM$(printf '9%.0s' $(seq 1 300))"
kms_port_register '\Device\H_Empty' ''
wine "$test_exe" "$@"
