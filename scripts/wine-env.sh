# Sourced by the project's scripts and test harnesses: the private Wine
# prefix, a quiet Wine, a display when there is none, and the simulated
# modules wired in as COM ports. Sourcing only defines; nothing starts until
# a function is called. Never touches ~/.wine.
KMS_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${KMS_WINEPREFIX:-$KMS_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the tool needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
KMS_SIM="${KMS_SIM:-$KMS_ROOT/build/native/tools/module-sim/kavrel-module-sim}"
KMS_DRIVER="$KMS_ROOT/build/windows/tools/window-driver/kms-driver.exe"
KMS_SIM_PIDS=()
KMS_LINKS=()
KMS_XVFB_PID=

# kms_wait_for TEST...: polls `[ TEST... ]` for up to 5 s.
kms_wait_for() {
  local i
  for i in $(seq 1 100); do
    [ "$@" ] && return 0
    sleep 0.05
  done
  return 1
}

# Creates the prefix once. Wine's helper processes keep the output of the
# first program that starts them, so the boot's output goes to a file, never
# to a pipe a caller may be reading.
kms_wine_boot() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
}

# One persistent wine server for a whole run: HKLM\HARDWARE lives only as
# long as the server does, and the port list is kept there. The desktop
# (services, device manager) boots before anyone adds ports, so what Wine
# registers on its own is in place first.
kms_wine_server_start() {
  kms_wine_boot
  wineserver -p >/dev/null 2>&1 </dev/null || true
  wineboot >>"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
}

kms_wine_server_stop() {
  wineserver -k >/dev/null 2>&1 || true
}

# Starts a private Xvfb display unless a display is already given (or
# KMS_FORCE_XVFB is set).
kms_xvfb_start() {
  if [ -n "${DISPLAY:-}" ] && [ -z "${KMS_FORCE_XVFB:-}" ]; then
    return 0
  fi
  local n
  for n in $(seq 91 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
      KMS_XVFB_PID=$!
      export DISPLAY=":$n"
      kms_wait_for -e "/tmp/.X11-unix/X$n" && return 0
      echo "Xvfb did not start on :$n" >&2
      return 1
    fi
  done
  echo "no free X display number" >&2
  return 1
}

kms_xvfb_stop() {
  if [ -n "${KMS_XVFB_PID:-}" ]; then
    kill "$KMS_XVFB_PID" 2>/dev/null || true
    wait "$KMS_XVFB_PID" 2>/dev/null || true
    KMS_XVFB_PID=
  fi
}

# kms_env_start: a display (Xvfb when none is given), the wine server,
# and a folder for this run's transcripts ($KMS_RUN_DIR). Always with a
# display: a wine server started without one leaves its desktop unable to
# show any window for as long as it lives. Whatever this and kms_sim_start
# start is ended when the calling script exits.
kms_env_start() {
  trap kms_env_end EXIT
  mkdir -p "$KMS_ROOT/build/test-runs"
  KMS_RUN_DIR="$(mktemp -d "$KMS_ROOT/build/test-runs/run.XXXXXX")"
  kms_xvfb_start || return 1
  kms_wine_server_start
}

# Modules first; a display of our own last, after the Wine processes using it.
kms_env_end() {
  local pid link
  for pid in "${KMS_SIM_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${KMS_SIM_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  for link in "${KMS_LINKS[@]}"; do rm -f "$link"; done
  KMS_SIM_PIDS=()
  KMS_LINKS=()
  if [ -n "${KMS_XVFB_PID:-}" ]; then
    kms_wine_server_stop
    kms_xvfb_stop
  fi
}

# kms_link N TARGET: COMN of the prefix points at TARGET.
kms_link() {
  local link="$WINEPREFIX/dosdevices/com$1"
  rm -f "$link"
  ln -s "$2" "$link"
  KMS_LINKS+=("$link")
}

# kms_sim_start N NAME [simulator options]: a simulated module on COMN whose
# transcript is $KMS_RUN_DIR/NAME.transcript.
kms_sim_start() {
  local n="$1" name="$2"
  shift 2
  if [ ! -x "$KMS_SIM" ]; then
    echo "needs the simulated module $KMS_SIM: cmake --preset native && cmake --build --preset native" >&2
    return 1
  fi
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

# kms_ports [COMn ...]: the registry lists exactly these serial ports.
kms_ports() {
  if [ ! -f "$KMS_DRIVER" ]; then
    echo "needs the window driver $KMS_DRIVER: cmake --preset windows && cmake --build --preset windows" >&2
    return 1
  fi
  wine "$KMS_DRIVER" ports "$@" </dev/null
}

# A Windows path of a file of ours, as Windows programs open it.
kms_winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

# kms_build [--fresh] PRESET [--target NAME...]: configures and builds a
# preset (or only the targets named) quietly; on failure shows the log's end
# and fails. --fresh configures with a new cache: an old one keeps the flags
# of the folder's first configure (a toolchain file's linker flags among
# them), whatever the tree says now. Only what the new flags change is
# compiled again.
kms_build() {
  local fresh=()
  if [ "$1" = --fresh ]; then
    fresh=(--fresh)
    shift
  fi
  local log="$KMS_ROOT/build/build-$1.log"
  mkdir -p "$KMS_ROOT/build"
  if cmake --preset "$1" "${fresh[@]}" >"$log" 2>&1 && cmake --build --preset "$@" >>"$log" 2>&1; then
    return 0
  fi
  tail -40 "$log" >&2
  echo "build of the $1 preset failed; the whole log is $log" >&2
  return 1
}

# kms_shared_needs PROGRAM: the loader and the shared libraries an ELF
# program asks for, one a line; nothing for a static program. Fails when the
# file cannot be read as a program.
kms_shared_needs() {
  local headers
  headers=$(readelf -lWd "$1") || return 1
  printf '%s\n' "$headers" | grep -E 'INTERP|NEEDED' || true
}

# kms_require_static WHO WHAT PROGRAM: fails, saying what PROGRAM asks for,
# unless it is static: a program that needs a loader fails on a board or in a
# guest only as "not found" (status 127), which says nothing of why.
kms_require_static() {
  local needs
  needs=$(kms_shared_needs "$3") || { echo "$1: cannot read $3 as a program" >&2; return 1; }
  [ -z "$needs" ] && return 0
  printf '%s: the %s program is not static; it asks for:\n%s\n' "$1" "$2" "$needs" >&2
  return 1
}
