#!/usr/bin/env bash
# Each web server package: what it depends on (both names of libmicrohttpd
# where only the name changed), its files and conffile, the armhf package's
# refusal on ARMv6, the unit's exposure, and options of the default file
# that the program takes.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
doc=./usr/share/doc/kavrel-mode-switch-web
mhd="libmicrohttpd12 | libmicrohttpd12t64"
for arch in amd64 arm64 armhf; do
  deb="dist/kavrel-mode-switch-web_${version}_$arch.deb"
  # The package names the Depends line asks for, versions left out.
  check "$arch Depends" "$(dpkg-deb -f "$deb" Depends | sed 's/ ([^)]*)//g')" \
    "libc6, libcrypt1, $([ "$arch" = armhf ] && echo "libgcc-s1, libmicrohttpd12" || echo "$mhd")"
  check "$arch files" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }')" "\
-rw-r--r-- root/root ./etc/default/kavrel-mode-switch-web
-rw-r--r-- root/root ./lib/systemd/system/kavrel-mode-switch-web.service
-rwxr-xr-x root/root ./usr/bin/kavrel-mode-switch-web
-rw-r--r-- root/root ./usr/lib/modules-load.d/kavrel-mode-switch-web.conf
-rw-r--r-- root/root $doc/README.md.gz
-rw-r--r-- root/root $doc/changelog.gz
-rw-r--r-- root/root $doc/copyright
-rw-r--r-- root/root ./usr/share/man/man8/kavrel-mode-switch-web.8.gz"
  mkdir -p "$scratch/web-$arch"
  dpkg-deb -e "$deb" "$scratch/web-$arch/DEBIAN"
  check "$arch conffiles" "$(cat "$scratch/web-$arch/DEBIAN/conffiles")" /etc/default/kavrel-mode-switch-web
done

# uname as an ARMv6 board and an ARMv7 one answer it.
for machine in armv6l armv7l; do
  mkdir -p "$scratch/$machine"
  printf '#!/bin/sh\necho %s\n' "$machine" >"$scratch/$machine/uname"
  chmod +x "$scratch/$machine/uname"
  out=$(PATH="$scratch/$machine:$PATH" sh "$scratch/web-armhf/DEBIAN/preinst" install 2>&1)
  check "armhf preinst on $machine: status" "$?" "$([ $machine = armv6l ] && echo 1 || echo 0)"
  check "armhf preinst on $machine: says why" "$(grep -c ARMv6 <<<"$out")" "$([ $machine = armv6l ] && echo 1 || echo 0)"
done

dpkg-deb -x dist/kavrel-mode-switch-web_${version}_amd64.deb "$scratch/web"
unit="$scratch/web/lib/systemd/system/kavrel-mode-switch-web.service"
rating=$(systemd-analyze security --offline=yes "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p')
check "unit exposure $rating at most 2.0" "$(awk -v r="${rating:-99}" 'BEGIN { print (r <= 2.0) }')" 1
check "unit's program" "$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")" /usr/bin/kavrel-mode-switch-web
# The options exactly as the service passes them: unquoted, split at blanks.
options=$(. "$scratch/web/etc/default/kavrel-mode-switch-web" && echo "$KMS_WEB_OPTIONS")
check "default options ($options) taken" "$("$scratch/web/usr/bin/kavrel-mode-switch-web" $options --version 2>&1)" \
  "kavrel-mode-switch-web $version"
finish
