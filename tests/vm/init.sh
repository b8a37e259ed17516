#!/bin/busybox sh
# The vm test set's guest. Makes a USB link inside this kernel (a serial
# gadget on the dummy controller; the host's side is the real cdc-acm
# driver), runs the terminal program's scenarios against the simulated module
# on the gadget's side, and reports each between "@@" lines on the console
# for the host to judge; then powers off. The kernel's command line names the
# terminal programs to run (cli=NAME,NAME: the first runs every scenario,
# the others the Rover switch), and ftdi=1 a QEMU FTDI adapter to run the
# Rover switch on too, whose module is on the host. Two dummy controllers
# give a second module for the scenarios of two modules on one machine.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in cdc-acm libcomposite usb_f_acm xhci-pci ftdi_sio; do modprobe $m; done
modprobe dummy_hcd num=2
mount -t configfs none /sys/kernel/config
# gadget NAME SERIAL N: a module of the same kind, on /dev/ttyGSN.
gadget() {
  d=/sys/kernel/config/usb_gadget/$1 && mkdir $d $d/strings/0x409 $d/configs/c.1 $d/functions/acm.gs$3
  echo 0x1d6b >$d/idVendor && echo 0x0104 >$d/idProduct && echo Kavrel >$d/strings/0x409/manufacturer
  echo "GNSS module" >$d/strings/0x409/product && echo $2 >$d/strings/0x409/serialnumber
  ln -s $d/functions/acm.gs$3 $d/configs/c.1/
}
gadget kavrel KV0001 0 && gadget kavrel2 KV0002 1
g=/sys/kernel/config/usb_gadget/kavrel g2=/sys/kernel/config/usb_gadget/kavrel2
# The time in ms, in $now: no subshell, which would take time of its own.
now() { read -r up _ </proc/uptime && now="${up%.*}${up#*.}0"; }
ms() { now && echo "$now"; }
# Polls (10 ms) until the command succeeds or 10 s have passed.
until_() { i=0; until "$@"; do i=$((i + 1)); [ $i -lt 1000 ] || return 1; usleep 10000; done; }
echo dummy_udc.0 >$g/UDC && until_ [ -e /dev/ttyACM0 ]
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
  echo dummy_udc.0 >$g/UDC && until_ [ -e /dev/ttyACM0 ]
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
# The link takes about 0.45 s to come up again, so a module that joins 0.5 s
# after it left is back 1 s after the reset sentence: before a program that
# held the old port to the drain's end (1.4 s) would let go of it.
run back-at-1s "--reboot-delay-ms 500" $1 switch /dev/ttyACM0 rover
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
# (The renamed port's time is the whole switch's.) The module does not
# answer, so that the no-reply line must name the port it is on now.
start renamed "--reboot-delay-ms 2000 --behaviour silent"
background '>>' $1 switch /dev/ttyACM0 rover --reboot-timeout 12
sleep 1000 </dev/ttyACM0 & holder=$!
t0=$(ms); wait $pid; echo "@@ status $? $(($(ms) - t0))"
cat /tmp/o; finish

# Until /tmp/names.end appears: the serial number behind each ttyACM name
# whenever it changes ("STAMP ttyACM0=KV0002 ..."); with $link set, that link
# kept on KV0001's node and gone while it is, as udev keeps a by-id link.
names() {
  last=
  until [ -e /tmp/names.end ]; do
    held= to=
    for t in /sys/class/tty/ttyACM*; do
      serial=; read -r serial 2>/dev/null <$t/device/../serial; held="$held ${t##*/}=$serial"
      [ "$serial" != KV0001 ] || to=${t##*/}
    done
    [ "$held" = "$last" ] || { echo "$(ms)$held"; last=$held; }
    [ -z "$link" ] || [ -z "$to" ] || [ "$(readlink $link)" = ../../$to ] || ln -sfn ../../$to $link
    [ -z "$link" ] || [ -n "$to" ] || rm -f $link
    usleep 20000
  done
}
# Two modules switched at once: A (KV0001) at ttyACM0 to Survey-In, B (KV0002)
# at ttyACM1 to Rover. B's reset comes 1.5 s after A's, and B is back 2 s
# later, A 6 s later: B takes ttyACM0, A's old name, before A's run reopens it.
echo dummy_udc.1 >$g2/UDC && until_ [ -e /dev/ttyACM1 ]
rm -f /tmp/names.end; names >/tmp/names & watcher=$!
kavrel-module-sim --gadget $g/UDC --link /dev/ttyGS0 --transcript /tmp/ta --reboot-delay-ms 6000 & sim=$!
kavrel-module-sim --gadget $g2/UDC --link /dev/ttyGS1 --transcript /tmp/tb --reboot-delay-ms 2000 & sim2=$!
{ t0=$(ms); $1 switch /dev/ttyACM0 survey-in; echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp >/tmp/a &
a=$!
{ t0=$(ms); $1 switch /dev/ttyACM1 rover; echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp >/tmp/b
wait $a; touch /tmp/names.end; wait $watcher; kill $sim2; wait $sim2
for r in "two-a /tmp/a /tmp/ta" "two-b /tmp/b /tmp/tb" "two-names /tmp/names"; do
  set -- $r && echo "@@ run $1" && cat $2 && { [ -z "$3" ] || { echo "@@ module" && cat $3; }; } && echo "@@ end"
done
set -- $(echo "$cli" | tr , ' ')
echo >$g2/UDC; rm -f /tmp/ta /tmp/tb; finish >/dev/null

# The same, from one program that runs both switches, each on a thread of its
# own: each run must keep to its own module through the same swap of names.
echo dummy_udc.1 >$g2/UDC && until_ [ -e /dev/ttyACM1 ]
rm -f /tmp/names.end; names >/tmp/names & watcher=$!
kavrel-module-sim --gadget $g/UDC --link /dev/ttyGS0 --transcript /tmp/ta --reboot-delay-ms 6000 & sim=$!
kavrel-module-sim --gadget $g2/UDC --link /dev/ttyGS1 --transcript /tmp/tb --reboot-delay-ms 2000 & sim2=$!
{ t0=$(ms); kms-multi switch:/dev/ttyACM0:survey-in switch:/dev/ttyACM1:rover
  echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp >/tmp/m
touch /tmp/names.end; wait $watcher; kill $sim2; wait $sim2
# Each job's lines as a run of their own: "STAMP N LINE" becomes "STAMP LINE",
# and its "N status S" that run's status.
for j in 1 2; do
  awk -v j=$j '$2 == j && $3 == "status" { s = $4 } $2 == j && $3 != "status" {
    line = $0; sub(/^[0-9]+ [0-9]+ /, $1 " ", line); print line }
    / @@ status / { print "@@ status " s " " $NF }' /tmp/m >/tmp/m$j
done
for r in "one-a /tmp/m1 /tmp/ta" "one-b /tmp/m2 /tmp/tb" "one-names /tmp/names"; do
  set -- $r && echo "@@ run $1" && cat $2 && { [ -z "$3" ] || { echo "@@ module" && cat $3; }; } && echo "@@ end"
done
set -- $(echo "$cli" | tr , ' ')
echo >$g2/UDC; rm -f /tmp/ta /tmp/tb /tmp/m /tmp/m1 /tmp/m2; finish >/dev/null

# A by-id name, kept by a link that moves with the module as udev's does, for
# a module that comes back as ttyACM1 (a program holds the old node).
link=/dev/serial/by-id/usb-Kavrel_GNSS_module_KV0001-if00
mkdir -p /dev/serial/by-id
rm -f /tmp/names.end; names >/tmp/moves & watcher=$!
until_ [ -e $link ]
start by-id "--reboot-delay-ms 2000"
background '>>' $1 switch $link rover --reboot-timeout 12
sleep 1000 </dev/ttyACM0 & holder=$!
t0=$(ms); wait $pid; echo "@@ status $? $(($(ms) - t0))"
touch /tmp/names.end; wait $watcher; cat /tmp/o /tmp/moves; finish

if [ -n "$ftdi" ]; then
  echo "@@ run rover-ftdi"
  { t0=$(ms); $1 switch /dev/ttyUSB0 rover; echo "@@ status $? $(($(ms) - t0))"; } 2>&1 | stamp
  echo "@@ end"
fi
shift
for other in "$@"; do run "rover-$other" "--reboot-delay-ms 2000" $other switch /dev/ttyACM0 rover; done
echo "@@ done"
poweroff -f
