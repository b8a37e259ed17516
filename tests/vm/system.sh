#!/usr/bin/env bash
# The vm set's Debian 12 guest: the amd64 web package on a system booted by
# its own systemd, under QEMU (TCG) with Debian's kernel as the other guests
# have it. The first boot installs the package from dist/, sets a password,
# enables the service and reboots; the second (QEMU started again on the
# same disk) checks that the service came up by itself, as no root and with
# no capability, switches a simulated module on a USB gadget (the real
# cdc-acm driver) through its API, lets the terminal program take the port
# while the service is idle, stops the service during a switch, upgrades
# the package with the service stopped, then running, and has a rover of
# the service's caster take the frames of the module as a base
# (tests/vm/system-guest.sh reports, this judges). The module must receive
# what it receives on a pseudo-terminal (build/vm/pty, made by run.sh).
#   tests/vm/system.sh   (after tests/vm/run.sh and scripts/release)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1
# shellcheck source=tests/vm/judge.sh
. tests/vm/judge.sh
out=build/vm/system
mkdir -p "$out"
# The first boot takes about half a minute, the second with its scenarios
# about a minute.
BOOT_LIMIT_S=420
version=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="dist/kavrel-mode-switch-web_${version}_amd64.deb"
sim=build/release-amd64/tools/module-sim/kavrel-module-sim cli=build/release-amd64/kavrel-mode-switch-cli
for need in "$deb" "$sim" "$cli" build/vm/pty/rover.module build/vm/pty/rover.out; do
  [ -f "$need" ] || { echo "[vm] Debian guest: no $need (scripts/release makes the package;" \
    "the release-amd64 build and tests/vm/run.sh the rest)"; exit 1; }
done

# Debian 12 with systemd and what the package needs, so that the guest
# installs it with no network; made once. A new list of packages makes it
# again.
include=systemd,systemd-sysv,udev,kmod,curl,libmicrohttpd12,libcrypt1
if [ "$(cat "$out/ready" 2>/dev/null)" != "$include" ]; then
  echo "[vm] Debian guest: debootstrap bookworm (once, a minute or two)"
  rm -rf "$out/root" "$out/root.tmp" "$out/ready"
  # The archive apt is set up with.
  # shellcheck disable=SC2016 # apt's own field syntax
  mirror() { apt-get indextargets --format '$(REPO_URI)' 'Codename: bookworm' 'Target-Of: deb' | sort -u | head -1; }
  site=$(mirror)
  [ -n "$site" ] || { apt-get update -q >/dev/null 2>&1; site=$(mirror); }
  debootstrap --variant=minbase --include="$include" bookworm "$out/root.tmp" "$site" >"$out/debootstrap.log" 2>&1 ||
    { tail -5 "$out/debootstrap.log"; echo "[vm] Debian guest: debootstrap failed ($out/debootstrap.log)"; exit 1; }
  mv "$out/root.tmp" "$out/root" && echo "$include" >"$out/ready"
fi

# The kernel and its modules from the other guests' cache.
kernel=$(tests/vm/image.sh amd64 "$out/unused.cpio.gz") || exit 1
rm -f "$out/unused.cpio.gz"
# modprobe names the modules by absolute paths.
tree=$PWD/build/vm/amd64/tree
kversion=$(ls "$tree/lib/modules")
# The disk's and file system's drivers, the USB link's, the drivers the
# package loads at boot, and autofs4, which systemd asks for.
modules="virtio_pci virtio_blk crc32c_generic ext4 cdc-acm usbserial dummy_hcd libcomposite usb_f_acm autofs4"
# modules ROOT: those modules with what they need, and their index.
install_modules() {
  local m
  for m in $(for name in $modules; do modprobe -d "$tree" -S "$kversion" --show-depends "$name"; done |
    awk '/^insmod/ {print $2}' | sort -u); do
    install -D -m 644 "$m" "$1/lib/modules/$kversion/${m#"$tree/lib/modules/$kversion/"}"
  done
  cp "$tree/lib/modules/$kversion"/modules.{order,builtin,builtin.modinfo} "$1/lib/modules/$kversion/"
  depmod -b "$1" "$kversion"
}

# The initramfs: busybox, the modules, the init that starts the disk's system.
initramfs="$out/initramfs"
rm -rf "$initramfs" && mkdir -p "$initramfs"/{bin,dev,proc,sys}
cp "$tree/bin/busybox" "$initramfs/bin/" && install_modules "$initramfs" &&
  install -m 755 tests/vm/system-init.sh "$initramfs/init" &&
  (cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1 >../initramfs.cpio.gz) || exit 1

# The disk: the cached root, linked rather than copied (only new files are
# added, so the cache stays as debootstrap left it), with the package, the
# static programs, the modules and the guest's unit.
stage="$out/stage"
rm -rf "$stage" && cp -al "$out/root" "$stage" || exit 1
mkdir -p "$stage/usr/lib/modules" "$stage/opt/kms"
install_modules "$stage/usr" || exit 1
install -m 644 "$deb" "$stage/opt/kms/kavrel-mode-switch-web.deb"
install -m 755 "$sim" "$stage/opt/kms/kavrel-module-sim"
install -m 755 "$cli" "$stage/usr/local/bin/kavrel-mode-switch-cli"
install -m 755 tests/vm/system-guest.sh "$stage/opt/kms/guest.sh"
cat >"$stage/etc/systemd/system/kms-guest.service" <<'UNIT'
[Unit]
Description=The vm set's scenarios
After=multi-user.target
[Service]
Type=oneshot
TimeoutStartSec=infinity
ExecStart=/opt/kms/guest.sh
[Install]
WantedBy=multi-user.target
UNIT
ln -s ../kms-guest.service "$stage/etc/systemd/system/multi-user.target.wants/kms-guest.service"
# The console carries the report: no login prompt on it.
ln -s /dev/null "$stage/etc/systemd/system/serial-getty@ttyS0.service"
rm -f "$out/disk.img"
mke2fs -q -t ext4 -d "$stage" "$out/disk.img" 1G >/dev/null || { echo "[vm] Debian guest: mke2fs failed"; exit 1; }
rm -rf "$stage" "$initramfs"

# boot N: one boot, its console into $out/bootN.log; QEMU ends at the
# guest's reboot or power-off.
boot() {
  timeout "$BOOT_LIMIT_S" qemu-system-x86_64 -accel tcg -m 768 -smp 1 -nographic -no-reboot -net none \
    -drive file="$out/disk.img",format=raw,if=virtio -kernel "$kernel" -initrd "$out/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" </dev/null >"$out/boot$1.log" 2>&1
}
started=$(date +%s)
boot 1 || echo "[vm] Debian guest: the first boot did not end by itself ($out/boot1.log)"
first=$(($(date +%s) - started))
boot 2 || echo "[vm] Debian guest: the second boot did not end by itself ($out/boot2.log)"
total=$(($(date +%s) - started))

# The report of a boot, without the console's carriage returns and what
# the firmware left before a report line.
# (Files, so that a grep -q that stops reading fails no pipe.)
for n in 1 2; do tr -d '\r' <"$out/boot$n.log" | sed 's/^.*\(@@ \)/\1/' >"$out/report$n"; done
report() { cat "$out/report$1"; }
# Splits the second boot's report into $out/runs/NAME.{log,module}.
rm -rf "$out/runs" && mkdir -p "$out/runs"
report 2 | awk -v dir="$out/runs" '
  /^@@ run / { name = $3; file = dir "/" name ".log"; printf "" >file; next }
  /^@@ module$/ { file = dir "/" name ".module"; printf "" >file; next }
  /^@@ end$/ { file = ""; next }
  file != "" { print >>file }'
# A run the guest did not report is judged as empty.
for run in api idle stop after-stop caster; do touch "$out/runs/$run.log" "$out/runs/$run.module"; done
for n in 1 2; do
  if ! grep -qxE '@@ (rebooting|done)' "$out/report$n"; then
    echo "[vm] Debian guest: boot $n did not get to its end; its console's last lines:"
    report $n | tail -15 | sed 's/^/  /'
  fi
done
# The value after "@@ WHAT " in boot N's report.
said() { sed -n "s/^@@ $2 //p" "$out/report$1" | sed -n 1p; }
# The pty run's log lines, against a run's: the terminal program's with
# their stamps, the web server's as JSON strings, where a reply's line end
# is shown as the text \r\n that the terminal program writes as it came.
lines() { sed -E 's/^\[[0-9:]*\] //; s#  (/dev/[^ ]+)  #  PORT  #' "$1"; }
web_lines() {
  sed -n 's/^log "\(.*\)"$/\1/p' "$1" | sed 's/\\u000a/\n/g; s/\\"/"/g; s/\\\\/\\/g' |
    sed -E 's/^\[[0-9:]*\] //; s#  (/dev/[^ ]+)  #  PORT  #; s/\\r\\n$/\n/'
}

# RUN WHAT: the module received the Rover script, as on the pty.
same_bytes() {
  diff <(received "$out/runs/$1.module") build/vm/pty/rover.module >"$out/runs/$1.diff" ||
    echo "$2 received other bytes than on the pty ($out/runs/$1.diff); "
}

echo "[vm] Debian guest: $(said 1 'boot 1:')"
why=""
[ "$(said 1 'dpkg -i')" = 0 ] || why+="dpkg -i: '$(said 1 'dpkg -i')', expected 0; "
[[ "$(said 1 password)" = "0 "* ]] || why+="password: '$(said 1 password)', expected status 0; "
[ "$(said 1 enable)" = "0 active" ] || why+="systemctl enable --now: '$(said 1 enable)', expected '0 active'; "
grep -qx '@@ rebooting' "$out/report1" && grep -qx '@@ boot 2' "$out/report2" ||
  why+="no reboot into the second boot ($out/boot1.log, $out/boot2.log); "
verdict "1 install, password, enable, reboot" "$why" " (first boot ${first} s)"

why="" service=$(said 2 service) process=$(said 2 process)
[ "$service" = "enabled active restarts 0" ] ||
  why+="after the reboot: '$service', expected 'enabled active restarts 0'; "
verdict "2 up by itself after the reboot" "$why"

why=""
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$process"; }
[[ "$(field Uid)" =~ ^[1-9][0-9]*(,[1-9][0-9]*){3}$ ]] || why+="Uid $(field Uid), expected no 0 among real, effective, saved, file; "
[ "$(field CapEff)" = 0000000000000000 ] || why+="CapEff $(field CapEff), expected none; "
[ "$(field CapPrm)" = 0000000000000000 ] || why+="CapPrm $(field CapPrm), expected none; "
verdict "3 no root, no capability" "$why" " ($process)"

run="$out/runs/api" why=""
[ "$(said 2 login | cut -d' ' -f1)" = 204 ] || why+="login: '$(said 2 login)', expected 204; "
grep -q '^@@ switch 202 ' "$run.log" || why+="switch: '$(sed -n 's/^@@ switch //p' "$run.log")', expected 202; "
job=$(grep '^job ' "$run.log" | tail -1)
[[ "$job" = *'"state":"done","rebooting":false,"status":0,"last":"Done: Rover mode"'[,'}']* ]] ||
  why+="the last job event: '$job', expected done, status 0, 'Done: Rover mode'; "
diff <(web_lines "$run.log") build/vm/pty/rover.out >"$run.lines.diff" ||
  why+="log lines differ from the pty run's ($run.lines.diff); "
why+=$(same_bytes api "the module")
verdict "4 Rover switch through the API" "$why" " (port $(said 2 port))"

run="$out/runs/idle" why=""
grep -q '^@@ released after ' "$run.log" || why+="the service kept the port: $(sed -n 's/^@@ still held: //p' "$run.log"), expected none within 20 s; "
grep -qE '^@@ service active pid [0-9]+' "$run.log" || why+="the service is not running: $(grep '^@@ service' "$run.log"); "
status=$(sed -n 's/^@@ status \([0-9]*\) .*/\1/p' "$run.log")
[ "$status" = 0 ] || why+="kavrel-mode-switch-cli switch: status '$status', expected 0 ($run.log); "
diff <(grep -v '^@@' "$run.log" | lines /dev/stdin) build/vm/pty/rover.out >"$run.lines.diff" ||
  why+="log lines differ from the pty run's ($run.lines.diff); "
why+=$(same_bytes idle "the module")
verdict "5 terminal program beside the idle service" "$why" " ($(sed -n 's/^@@ released //p' "$run.log"))"

run="$out/runs/stop" why=""
read -r stopped took _ base <<<"$(sed -n 's/^@@ stop //p' "$run.log")"
[ "${stopped-}" = 0 ] && [ -n "${took-}" ] && [ $((took - base)) -le 2000 ] ||
  why+="systemctl stop: status '${stopped-}' after '${took-}' ms (a unit that ends at once: '${base-}' ms), expected 0 within 2000 ms more; "
after=$(sed -n 's/^@@ after stop //p' "$run.log" | tr ' ' '\n' | sort | paste -sd' ')
[ "$after" = 'ActiveState=inactive ExecMainStatus=0 Result=success' ] ||
  why+="after the stop: '$after', expected inactive, success, status 0; "
# Stopped with part of the script sent, or the stop proves nothing.
sent=$(received "$out/runs/stop.module" | wc -l)
[ "$sent" -gt 0 ] && [ "$sent" -lt "$(wc -l <build/vm/pty/rover.module)" ] &&
  diff <(received "$out/runs/stop.module") <(head -n "$sent" build/vm/pty/rover.module) >/dev/null ||
  why+="before the stop the module received $sent sentences, expected the start of the Rover script and not all of it ($out/runs/stop.module); "
run="$out/runs/after-stop"
status=$(sed -n 's/^@@ status \([0-9]*\) .*/\1/p' "$run.log")
[ "$status" = 0 ] || why+="the terminal program's switch after the stop: status '$status', expected 0 ($run.log); "
why+=$(same_bytes after-stop "after the stop, the module")
verdict "6 systemctl stop during a switch" "$why" " (stopped in ${took-?} ms; a unit that ends at once ${base-?} ms)"

why="" stopped=$(said 2 'upgrade stopped') running=$(said 2 'upgrade running')
[ "$stopped" = "0 inactive" ] ||
  why+="the stopped service's upgrade: '$stopped', expected dpkg -i 0 and the service inactive; "
[[ "$running" =~ ^0\ active\ pid\ ([1-9][0-9]*)\ -\>\ ([1-9][0-9]*)$ ]] &&
  [ "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ] ||
  why+="the running service's upgrade: '$running', expected dpkg -i 0 and the service active under a new process; "
verdict "7 an upgrade leaves a stopped service stopped, restarts a running one" "$why"

# The rover's bytes, by the web tests' own reading of RTCM 3 frames: "NUMBER=FRAMES
# ... junk=BYTES nmea=SENTENCES".
rover_frames() {
  sed -n 's/^rx //p' "$1" | node --input-type=module -e "
    import { readFileSync } from 'node:fs';
    const { readFrames } = await import(process.argv[1]);
    const bytes = Buffer.from(readFileSync(0, 'utf8').replace(/\s/g, ''), 'hex');
    const { frames, junk } = readFrames(bytes);
    const counts = {};
    for (const f of frames) counts[f.number] = (counts[f.number] || 0) + 1;
    const nmea = (bytes.toString('latin1').match(/[$][A-Z]{5},/g) || []).length;
    console.log(Object.entries(counts).map(([n, c]) => n + '=' + c).join(' '), 'junk=' + junk, 'nmea=' + nmea);
  " "$PWD/tests/web/test_caster.mjs"
}
run="$out/runs/caster" why=""
[[ "$(sed -n 's/^@@ caster-user //p' "$run.log")" = "0 "* ]] ||
  why+="caster-user: '$(sed -n 's/^@@ caster-user //p' "$run.log")', expected status 0; "
[ "$(sed -n 's/^@@ restart //p' "$run.log")" = "0 active" ] ||
  why+="the restart with a mount: '$(sed -n 's/^@@ restart //p' "$run.log")', expected '0 active'; "
# curl's 28: the stream still open when its 8 s were up.
rover=$(sed -n 's/^@@ rover //p' "$run.log")
[[ "$rover" = "28 "* ]] || why+="the rover: curl '$rover', expected 28 (still streaming at --max-time); "
frames=$(rover_frames "$run.log")
count() { sed -n "s/.*\b$1=\([0-9]*\).*/\1/p" <<<"$frames"; }
for number in 1005 1077 1087; do
  [ "$(count "$number")" -ge 3 ] 2>/dev/null || why+="message $number: '$(count "$number")' frames, expected 3 or more; "
done
[ "$(count junk)" = 0 ] && [ "$(count nmea)" = 0 ] ||
  why+="bytes that are no checked frame: '$(count junk)', NMEA sentences '$(count nmea)', expected none; "
verdict "8 a 2.0 rover of the service's caster gets the base's frames" "$why" " ($rover: $frames)"

echo "[vm] Debian guest: two boots in $total s"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
