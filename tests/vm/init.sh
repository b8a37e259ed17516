#!/bin/busybox sh
# The vm test set's guest. Makes a USB link inside this kernel (a serial
# gadget on the dummy controller; the host's side is the real cdc-acm
# driver), runs the terminal program's scenarios against the simulated module
# on the gadget's side, and reports each between "@@" lines on the console
# for the host to judge; then powers off. The kernel's command line names the
# terminal programs to run (cli=NAME,NAME: the first runs every scenario,
# the others the Rover switch), and ftdi=1 a QEMU FTDI adapter to run the
# Rover switch on too, whose module is on the host.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in cdc-acm dummy_hcd libcomposite usb_f_acm xhci-pci ftdi_sio; do modprobe $m; done
mount -t configfs none /sys/kernel/config
g=/sys/kernel/config/usb_gadget/kavrel s=/sys/kernel/config/usb_gadget/kavrel/strings/0x409
mkdir $g $s $g/configs/c.1 $g/functions/acm.gs0
echo 0x1d6b >$g/idVendor && echo 0x0104 >$g/idProduct && echo Kavrel >$s/manufacturer
echo "GNSS module" >$s/product && echo KV0001 >$s/serialnumber
ln -s $g/functions/acm.gs0 $g/configs/c.1/
# The time in ms, in $now: no subshell, which would take time of its own.
now() { read -r up _ </proc/uptime && now="${up%.*}${up#*.}0"; }
ms() { now && echo "$now"; }
# Polls (10 ms) until the command succeeds or 10 s have passed.
until_() { i=0; until "$@"; do i=$((i + 1)); [ $i -lt 1000 ] || return 1; usleep 10000; done; }
ls /sys/class/udc >$g/UDC && until_ [ -e /dev/ttyACM0 ]
# Each line of the program's output, with the time it came at.
stamp() { while IFS= read -r line; do echo "$(ms) $line"; done; }

# start NAME SIM-OPTIONS: the module joins the bus; the report begins.
start() {
  echo "@@ run $1"
  kavrel-module-sim --gadget $g/UDC --link /dev/ttyGS0 --transcript /tmp/t $2 &
  sim=$!
}
# finish: the module and any holder of its port end; the module's transcript
# is reported, and it is unplugged and
# plugged in again, which throws away what the host's driver still holds for
# it: the next scenario starts on a clean link, as ttyACM0.
finish() {
  kill $sim $holder; wait $sim $holder; holder=
  echo "@@ module"; cat /tmp/t; rm -f /tmp/t /tmp/o
  echo >$g/UDC; until_ [ ! -e /dev/ttyACM0 ] && until_ [ ! -e /dev/ttyACM1 ]
  ls /sys/class/udc >$g/UDC && until_ [ -e /dev/ttyACM0 ]
  echo "@@ end"
}
# run NAME SIM-OPTIONS PROGRAM ARG...: a run in the foreground.
run() {
  start "$1" "$2"; shift 2
  { t0=$(ms); "$@"; echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp
  finish
}
# background PROGRAM ARG...: a run that the scenario acts on once it has
# written PATTERN, a sentence or two; ends with the run.
background() {
  pattern=$1; shift
  "$@" >/tmp/o 2>&1 & pid=$!
  until_ grep -q "$pattern" /tmp/o
}

set -- $(echo "$cli" | tr , ' ')
[ -z "$ftdi" ] || until_ [ -e /dev/ttyUSB0 ]
echo "@@ kernel $(uname -r) $(uname -m), programs: $cli, drivers:" $(for port in /sys/class/tty/ttyACM0 /sys/class/tty/ttyUSB0; do
  [ ! -e $port ] || basename "$(readlink $port/device/driver)"; done)
cd /bin
run rover "--reboot-delay-ms 2000" $1 switch /dev/ttyACM0 rover
run base-only "--reboot-delay-ms 2000" $1 switch /dev/ttyACM0 base-only
run survey-in "--reboot-delay-ms 2000" $1 switch /dev/ttyACM0 survey-in
run back-at-1s "--reboot-delay-ms 1000" $1 switch /dev/ttyACM0 rover
run back-at-9s "--reboot-delay-ms 9000" $1 switch /dev/ttyACM0 rover
run stops-reading "--behaviour deaf" $1 switch /dev/ttyACM0 base-only
sleep 1000 </dev/ttyACM0 & holder=$!
run held "" $1 switch /dev/ttyACM0 base-only
run list "" $1 list
run list-v "" $1 list -v

# interrupt SIGNAL PID: the time from the signal to the program's end.
interrupt() { now; t0=$now; kill -$1 $2; wait $2; status=$?; now; took=$((now - t0)); }
start sigint "--behaviour deaf"
background '>>' $1 switch /dev/ttyACM0 rover
interrupt INT $pid && echo "@@ status $status $took"
# The same for a program that ends at once, for the guest's own delay (a
# background job ignores SIGINT).
sleep 1000 & interrupt TERM $! && echo "@@ baseline $took"
cat /tmp/o; finish

# A program that still holds the old node when the module is back makes the
# kernel give it the next name; root's open passes the program's TIOCEXCL.
# (The renamed port's time is the whole switch's.)
start renamed "--reboot-delay-ms 2000"
background '>>' $1 switch /dev/ttyACM0 rover --reboot-timeout 12
sleep 1000 </dev/ttyACM0 & holder=$!
t0=$(ms); wait $pid; echo "@@ status $? $(($(ms) - t0))"
cat /tmp/o; finish

if [ -n "$ftdi" ]; then
  echo "@@ run rover-ftdi"
  { t0=$(ms); $1 switch /dev/ttyUSB0 rover; echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp
  echo "@@ end"
fi
shift
for other in "$@"; do run "rover-$other" "--reboot-delay-ms 2000" $other switch /dev/ttyACM0 rover; done
echo "@@ done"
poweroff -f
