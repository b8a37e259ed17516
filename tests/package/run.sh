#!/usr/bin/env bash
# Each package's program, as unpacked from it, prints its version and runs
# one switch against a simulated module: natively on amd64, under qemu-user
# on ARM (static, so it needs no -L), armhf's on the ARMv6 processor of a
# Raspberry Pi Zero W or Pi 1. The three run side by side.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
declare -A emulator=([amd64]="" [arm64]=qemu-aarch64 [armhf]="qemu-arm -cpu arm1176")
sims=() runs=()
for arch in amd64 arm64 armhf; do
  unpack "$arch"
  cli="$scratch/$arch/usr/bin/kavrel-mode-switch-cli"
  check "$arch --version" "$(${emulator[$arch]} "$cli" --version)" "kavrel-mode-switch-cli $version"
  port="$scratch/port-$arch"
  "$KMS_SIM" --link "$port" --transcript "$port.transcript" --reboot vanish \
    --reboot-delay-ms 2000 >/dev/null 2>&1 &
  sims+=($!)
  kms_wait_for -L "$port" || echo "no simulated module at $port"
  (
    ${emulator[$arch]} "$cli" switch "$port" rover >"$port.out" 2>&1
    echo $? >"$port.status"
  ) &
  runs+=($!)
done
wait "${runs[@]}"
for arch in amd64 arm64 armhf; do
  port="$scratch/port-$arch"
  check "$arch switch exit status" "$(cat "$port.status")" 0
  check "$arch switch last line" "$(tail -1 "$port.out" | cut -c12-)" "Done: Rover mode"
  check "$arch sentences the module received" "$(grep -c ' RX ' "$port.transcript")" 4
done
kill "${sims[@]}" 2>/dev/null
wait 2>/dev/null
finish
