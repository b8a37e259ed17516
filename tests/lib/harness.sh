# Sourced by the test harnesses: simulated modules wired into the private
# Wine prefix as COM ports, and their clean-up.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"

KMS_SIM="${KMS_SIM:-$KMS_ROOT/build/native/tools/module-sim/kavrel-module-sim}"
KMS_SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
KMS_SIM_PIDS=()
KMS_LINKS=()

if [ ! -x "$KMS_SIM" ]; then
  echo "module simulator missing: $KMS_SIM (build the native preset first)" >&2
  exit 1
fi

mkdir -p "$KMS_ROOT/build/test-runs"
KMS_RUN_DIR="$(mktemp -d "$KMS_ROOT/build/test-runs/run.XXXXXX")"

# `wine reg` runs a reg.exe from the current folder before its own.
kms_reg() {
  (cd / && wine reg "$@" </dev/null >/dev/null 2>&1)
}

# Empties the registry's port list (Wine lists its own COM1 there). Only the
# values go: the key is volatile, and reg.exe could not create it again.
kms_ports_clear() {
  kms_reg delete "$KMS_SERIALCOMM" /va /f || true
}

# kms_port_register VALUE_NAME DATA [TYPE]
kms_port_register() {
  kms_reg add "$KMS_SERIALCOMM" /v "$1" /t "${3:-REG_SZ}" /d "$2" /f
}

# kms_link N TARGET: COMN of the prefix points at TARGET.
kms_link() {
  local link="$WINEPREFIX/dosdevices/com$1"
  rm -f "$link"
  ln -s "$2" "$link"
  KMS_LINKS+=("$link")
}

# kms_sim_start N NAME [simulator options]: a module on COMN whose transcript
# is $KMS_RUN_DIR/NAME.transcript.
kms_sim_start() {
  local n="$1" name="$2"
  shift 2
  local link="$WINEPREFIX/dosdevices/com$n"
  rm -f "$link"
  "$KMS_SIM" --link "$link" --transcript "$KMS_RUN_DIR/$name.transcript" "$@" \
    >"$KMS_RUN_DIR/$name.sim.log" 2>&1 &
  KMS_SIM_PIDS+=("$!")
  KMS_LINKS+=("$link")
  kms_wait_for -L "$link" && return 0
  echo "simulated module $name did not come up" >&2
  return 1
}

# A Windows path of a file of ours, as the test programs open it.
kms_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

kms_cleanup() {
  local pid
  for pid in "${KMS_SIM_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${KMS_SIM_PIDS[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  local link
  for link in "${KMS_LINKS[@]}"; do
    rm -f "$link"
  done
  KMS_SIM_PIDS=()
  KMS_LINKS=()
}
# A display of our own goes last, after the Wine processes that use it.
trap 'kms_cleanup; if [ -n "${KMS_XVFB_PID:-}" ]; then kms_wine_server_stop; kms_xvfb_stop; fi' EXIT

# GUI work needs a display; a private Xvfb when none is given.
kms_xvfb_start
kms_wine_server_start
