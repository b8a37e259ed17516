# shellcheck shell=bash
# What the vm set's judges share; sourced by run.sh and system.sh.

# What the module received: each line's ending and text, or BAD.
received() { awk '$2 == "RX" { print $5, $6 } $2 == "BAD" { print "BAD", $0 }' "$1"; }

pass=0 fail=0
# verdict NAME WHAT-FAILED DETAIL: one line for the scenario.
verdict() {
  if [ -z "$2" ]; then
    pass=$((pass + 1)); echo "  $1: passed${3-}"
  else
    fail=$((fail + 1)); echo "  $1: FAILED: $2${3-}"
  fi
}
