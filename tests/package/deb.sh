#!/usr/bin/env bash
# Each .deb: its fields, its files, what its program needs from the system
# (nothing but a Linux kernel as old as the oldest supported board's), and
# lintian.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
doc=./usr/share/doc/kavrel-mode-switch-cli
for arch in amd64 arm64 armhf; do
  deb="dist/kavrel-mode-switch-cli_${version}_$arch.deb"
  # No Depends: a static program needs no other package.
  check "$arch fields" "$(dpkg-deb -f "$deb" Package Version Architecture Section Depends)" "\
Package: kavrel-mode-switch-cli
Version: $version
Architecture: $arch
Section: utils"
  check "$arch files" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }')" "\
-rwxr-xr-x root/root ./usr/bin/kavrel-mode-switch-cli
-rw-r--r-- root/root ./usr/share/bash-completion/completions/kavrel-mode-switch-cli
-rw-r--r-- root/root $doc/README.md.gz
-rw-r--r-- root/root $doc/changelog.gz
-rw-r--r-- root/root $doc/copyright
-rw-r--r-- root/root $doc/examples/70-kavrel-no-modemmanager.rules
-rw-r--r-- root/root ./usr/share/lintian/overrides/kavrel-mode-switch-cli
-rw-r--r-- root/root ./usr/share/man/man1/kavrel-mode-switch-cli.1.gz"
  unpack "$arch"
  check "$arch changelog's latest entry" "$(zcat "$scratch/$arch/$doc/changelog.gz" | head -1)" \
    "kavrel-mode-switch-cli ($version) unstable; urgency=medium"

  bin="$scratch/$arch/usr/bin/kavrel-mode-switch-cli"
  machine=$(readelf -h "$bin" | sed -n 's/^ *Machine: *//p')
  check "$arch machine" "$machine" "$(case $arch in
    amd64) echo "Advanced Micro Devices X86-64" ;; arm64) echo AArch64 ;; armhf) echo ARM ;; esac)"
  # No loader and no shared library: runs whatever C library the system has.
  check "$arch loader and libraries" "$(kms_shared_needs "$bin")" ""
  # The oldest kernel it asks for, against the oldest of the supported
  # systems' (Ubuntu 20.04: 5.4; Debian 11 and Raspberry Pi OS bullseye: 5.10).
  kernel=$(readelf -n "$bin" | sed -n 's/.*OS: Linux, ABI: //p')
  check "$arch kernel $kernel at most 5.4" "$(printf '%s\n' "$kernel" 5.4 | sort -V | tail -1)" 5.4
done
lint=$(lintian --fail-on error,warning dist/*.deb 2>&1)
check "lintian exit status" "$?" 0
check "lintian findings" "$(printf '%s\n' "$lint" | grep -v 'root privileges')" ""
finish
