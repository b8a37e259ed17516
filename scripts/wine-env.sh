# Sourced by the project's scripts: the private Wine prefix and a quiet Wine.
# Never touches ~/.wine.
KMS_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${KMS_WINEPREFIX:-$KMS_ROOT/build/wineprefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: the tool needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

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
# long as the server does, and the tests add their ports there.
kms_wine_server_start() {
  kms_wine_boot
  wineserver -p >/dev/null 2>&1 </dev/null || true
  # Boot the session (services, device manager) before anyone adds ports,
  # so that what Wine registers on its own is in place first.
  wineboot >>"$WINEPREFIX.boot.log" 2>&1 </dev/null || true
}

# kms_wait_for TEST...: polls `[ TEST... ]` for up to 5 s.
kms_wait_for() {
  local i
  for i in $(seq 1 100); do
    [ "$@" ] && return 0
    sleep 0.05
  done
  return 1
}

kms_wine_server_stop() {
  wineserver -k >/dev/null 2>&1 || true
}

# Starts an Xvfb display for GUI work unless a display is already given.
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
