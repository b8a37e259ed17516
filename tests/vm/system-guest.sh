#!/bin/sh
# The vm set's Debian guest, run by a oneshot unit once the system is up
# (tests/vm/system.sh). First boot: the web package installed and set up as
# its README says, then a reboot. Second boot: the service must have come up
# by itself; its process, its API against a simulated module on a USB gadget
# (the host's side is the real cdc-acm driver), the port while it is idle,
# systemctl stop during a switch, an upgrade of the stopped, then the
# running service, and a rover of the service's caster once the module is
# a base. Each result is reported between "@@" lines on the console, for the
# host to judge.
exec >/dev/ttyS0 2>&1
unit=kavrel-mode-switch-web
password='vm guest password'
state=/var/lib/kms-guest
api=http://127.0.0.1:8080/api
ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }
# Polls (50 ms) until the command succeeds or SECONDS have passed.
until_() {
  limit=$(($(ms) + $1 * 1000)); shift
  until "$@"; do [ "$(ms)" -lt "$limit" ] || return 1; sleep 0.05; done
}

if [ ! -e $state/installed ]; then
  echo "@@ boot 1: $(uname -r), $(sed -n 's/^PRETTY_NAME="\(.*\)"/\1/p' /etc/os-release), systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"
  dpkg -i /opt/kms/kavrel-mode-switch-web.deb >/tmp/dpkg.log 2>&1
  echo "@@ dpkg -i $?"; grep -iE 'error|depends' /tmp/dpkg.log
  printf '%s\n' "$password" | kavrel-mode-switch-web password /etc/kavrel-mode-switch/web-password
  echo "@@ password $? $(stat -c '%a %U:%G' /etc/kavrel-mode-switch/web-password)"
  systemctl enable --now $unit
  echo "@@ enable $? $(systemctl is-active $unit)"
  mkdir -p $state && touch $state/installed && sync
  echo "@@ rebooting"
  systemctl --no-block --check-inhibitors=no reboot
  exit 0
fi

echo "@@ boot 2"
# Nothing here starts the service: the boot did, or it is not running.
settled() { systemctl is-active -q $unit || systemctl is-failed -q $unit; }
until_ 30 settled
pid=$(systemctl show -p MainPID --value $unit)
echo "@@ service $(systemctl is-enabled $unit) $(systemctl is-active $unit) restarts $(systemctl show -p NRestarts --value $unit)"
echo "@@ process $(grep -E '^(Uid|Gid|Groups|CapInh|CapPrm|CapEff|CapBnd|CapAmb|NoNewPrivs):' /proc/"$pid"/status |
  tr -s '\t ' ' ' | sed 's/: /=/; s/ /,/g; s/,$//' | paste -sd' ')"
systemctl status --no-pager $unit | sed -n '/^$/,$p' | tail -5 | sed 's/^/  journal: /'

# The module: a serial gadget on the dummy controller, as in init.sh.
modprobe -a libcomposite usb_f_acm dummy_hcd
[ -d /sys/kernel/config/usb_gadget ] || mount -t configfs none /sys/kernel/config
g=/sys/kernel/config/usb_gadget/kavrel
mkdir $g $g/strings/0x409 $g/configs/c.1 $g/functions/acm.gs0
echo 0x1d6b >$g/idVendor && echo 0x0104 >$g/idProduct && echo Kavrel >$g/strings/0x409/manufacturer
echo "GNSS module" >$g/strings/0x409/product && echo KV0001 >$g/strings/0x409/serialnumber
ln -s $g/functions/acm.gs0 $g/configs/c.1/
echo dummy_udc.0 >$g/UDC && until_ 10 [ -e /dev/ttyACM0 ] && udevadm settle
echo "@@ link $(basename "$(readlink /sys/class/tty/ttyACM0/device/driver)")" /dev/serial/by-id/*
# One module for every scenario, as a board keeps its module: each
# scenario's part of the transcript is the lines it added.
rm -f /tmp/t
/opt/kms/kavrel-module-sim --gadget $g/UDC --link /dev/ttyGS0 --transcript /tmp/t --reboot-delay-ms 2000 &
sim=$!
until_ 10 [ -s /tmp/t ] || echo "@@ the module did not start"
mark() { wc -l </tmp/t; }
module_since() { echo "@@ module"; tail -n +$(($1 + 1)) /tmp/t; echo "@@ end"; }

code=$(curl -s -o /tmp/login -w '%{http_code}' -c /tmp/cookies -H 'Content-Type: application/json' \
  -d "{\"password\":\"$password\"}" $api/login)
echo "@@ login $code $(cat /tmp/login)"
curl -s -b /tmp/cookies $api/ports >/tmp/ports
# The first port the page offers: the module's stable name.
port=$(grep -o '"name":"[^"]*"' /tmp/ports | head -1 | cut -d'"' -f4)
echo "@@ ports $(cat /tmp/ports)"
echo "@@ port $port -> $(readlink -f "$port")"

# events NAME: the port's event stream, as a page has it, into /tmp/NAME.
events() {
  curl -s -N -b /tmp/cookies -G --data-urlencode "port=$port" $api/events >/tmp/"$1" &
  events=$!
}
# switch: a Rover switch through the API.
switch() {
  code=$(curl -s -o /tmp/job -w '%{http_code}' -b /tmp/cookies -H 'Content-Type: application/json' \
    -d "{\"port\":\"$port\",\"mode\":\"rover\",\"baud\":460800}" $api/switch)
  echo "@@ switch $code $(cat /tmp/job)"
  job=$(sed -n 's/^{"id":\([0-9]*\),.*/\1/p' /tmp/job)
}
# The log and job events of stream NAME that belong to job ID: "log LINE"
# and "job OBJECT". A stream opens with the port's last job, and a stream
# that opens before the switch starts has the one before it (job 0, none,
# is "done"): only the switch's own events tell of it.
stream() {
  awk -v want="$2" '
    /^id: / { split($2, at, "."); job = at[1] }
    /^event: / { e = $2 }
    /^data: / && e == "job" { job = $0; sub(/^data: \{"id":/, "", job); sub(/[^0-9].*/, "", job) }
    /^data: / && (e == "log" || e == "job") && job == want { print e, substr($0, 7) }' /tmp/"$1"
}
ended() { stream "$1" "$job" | grep -q '^job .*"state":"\(done\|failed\|no-reply\|interrupted\)"'; }

echo "@@ run api"
before=$(mark)
events api && switch
until_ 90 ended api || echo "@@ no end in 90 s"
kill $events
stream api "$job"
module_since "$before"

# With no page left, the port is let go and the terminal program takes it
# while the service runs.
echo "@@ run idle"
t0=$(ms)
held() {
  for fd in /proc/"$pid"/fd/*; do
    case $(readlink "$fd") in /dev/ttyACM*) readlink "$fd" ;; esac
  done | grep .
}
let_go() { ! held >/dev/null; }
until_ 20 let_go && echo "@@ released after $(($(ms) - t0)) ms" || echo "@@ still held: $(held)"
echo "@@ service $(systemctl is-active $unit) pid $(systemctl show -p MainPID --value $unit)"
before=$(mark)
t0=$(ms); kavrel-mode-switch-cli switch "$port" rover; echo "@@ status $? $(($(ms) - t0))"
module_since "$before"

# systemctl stop during a switch, against the stop of a unit that ends at
# once, for what the guest itself takes.
systemd-run --quiet --unit=kms-baseline sleep 1000 && until_ 10 systemctl is-active -q kms-baseline
t0=$(ms); systemctl stop kms-baseline; baseline=$(($(ms) - t0))
echo "@@ run stop"
before=$(mark)
events stop && switch
replied() { stream stop "$job" | grep -q '^log .*<<'; }
until_ 30 replied || echo "@@ no reply in 30 s"
t0=$(ms); systemctl stop $unit; status=$?; took=$(($(ms) - t0))
echo "@@ stop $status $took baseline $baseline"
echo "@@ after stop $(systemctl show -p ActiveState -p Result -p ExecMainStatus $unit | paste -sd' ')"
kill $events 2>/dev/null
stream stop "$job"
module_since "$before"
echo "@@ run after-stop"
before=$(mark)
t0=$(ms); kavrel-mode-switch-cli switch "$port" rover; echo "@@ status $? $(($(ms) - t0))"
module_since "$before"

# The same package again is an upgrade to dpkg (postinst configure with the
# old version): it must leave the stopped service stopped, and restart it
# once it runs. Enabled, as it is here, a stopped service is one that a
# restart in place of try-restart would start; a disabled one it would not.
dpkg -i /opt/kms/kavrel-mode-switch-web.deb >/tmp/dpkg.log 2>&1
echo "@@ upgrade stopped $? $(systemctl is-active $unit)"
systemctl start $unit
old=$(systemctl show -p MainPID --value $unit)
dpkg -i /opt/kms/kavrel-mode-switch-web.deb >/tmp/dpkg.log 2>&1
echo "@@ upgrade running $? $(systemctl is-active $unit) pid $old -> $(systemctl show -p MainPID --value $unit)"

kill $sim; wait $sim

# The caster: the module's port as a mount, the module now a base that
# talks as one, and a 2.0 rover (curl) on it. The rover's users reach the
# service as a credential, as the unit hands them over; the rover's bytes go
# to the console in hex, for the host to check each frame.
echo "@@ run caster"
/opt/kms/kavrel-module-sim --gadget $g/UDC --link /dev/ttyGS0 --transcript /tmp/t --mode base --talk mode &
sim=$!
users=/etc/kavrel-mode-switch/caster-users
printf '%s\n' 'vm rover password' | kavrel-mode-switch-web caster-user $users rover
echo "@@ caster-user $? $(stat -c '%a %U:%G' $users)"
# The unit hands /etc/kavrel-mode-switch/caster-users over as the
# credential caster-users, which the option names without a folder.
echo "KMS_WEB_OPTIONS=\"--listen 127.0.0.1:8080 --caster 127.0.0.1:2101 --mount BASE=$port --caster-users caster-users\"" >/etc/default/$unit
systemctl daemon-reload && systemctl restart $unit
echo "@@ restart $? $(systemctl is-active $unit)"
table() { curl -s -H 'Ntrip-Version: Ntrip/2.0' http://127.0.0.1:2101/ >/tmp/table; grep -q '^STR;BASE;' /tmp/table; }
t0=$(ms); until_ 20 table; echo "@@ table after $(($(ms) - t0)) ms: $(head -1 /tmp/table)"
curl -s -N -H 'Ntrip-Version: Ntrip/2.0' -u 'rover:vm rover password' http://127.0.0.1:2101/BASE \
  -o /tmp/rover --max-time 8
echo "@@ rover $? $(wc -c </tmp/rover) bytes"
od -An -v -tx1 /tmp/rover | sed 's/^ */rx /'
systemctl status --no-pager $unit | sed -n '/^$/,$p' | tail -4 | sed 's/^/  journal: /'
echo "@@ end"
kill $sim; wait $sim
echo "@@ done"
systemctl --no-block --check-inhibitors=no poweroff
