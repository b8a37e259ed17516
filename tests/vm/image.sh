#!/usr/bin/env bash
# Builds a guest's initramfs for the vm test set:
#   tests/vm/image.sh ARCH OUT.cpio.gz PATH=NAME...
# ARCH is amd64 or arm64. The kernel, its modules and busybox come from
# Debian's packages, fetched and unpacked once under build/vm/ARCH (never
# installed); a later run only packs the guest's init and the programs given
# (each PATH=NAME, installed as /bin/NAME in the guest). Prints the kernel's
# path.
set -euo pipefail
arch="$1" out="$2"
shift 2
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cache="$root/build/vm/$arch"
# The USB host's serial drivers, a gadget controller and the serial gadget
# functions, for a USB link inside one kernel; and QEMU's USB controllers
# with the FTDI driver.
modules="cdc-acm dummy_hcd libcomposite usb_f_acm ftdi_sio xhci-pci"

if [ ! -f "$cache/ready" ]; then
  rm -rf "$cache" && mkdir -p "$cache/deb"
  # The archive drops a kernel once a newer one is out: with package lists
  # older than that, the lists are read again once.
  fetch() {
    kernel_pkg=$(apt-cache depends "linux-image-$arch:$arch" | sed -n 's/^ *Depends: //p' | head -1)
    (cd "$cache/deb" && apt-get download -q "$kernel_pkg" "busybox-static:$arch" >/dev/null 2>&1)
  }
  fetch || { apt-get update -q >/dev/null 2>&1 && fetch; } ||
    { echo "vm: cannot fetch $kernel_pkg and busybox-static:$arch" >&2; exit 1; }
  for deb in "$cache"/deb/*.deb; do dpkg-deb -x "$deb" "$cache/tree"; done
  depmod -b "$cache/tree" "$(ls "$cache/tree/lib/modules")"
  rm -rf "$cache/deb" && touch "$cache/ready"
fi
version=$(ls "$cache/tree/lib/modules")

stage="$out.d"
rm -rf "$stage" && mkdir -p "$stage"/{bin,dev,proc,sys,tmp,lib/modules/"$version"}
cp "$cache/tree/bin/busybox" "$stage/bin/"
# Each module with what it needs, as modules.dep lists them.
for m in $(for name in $modules; do modprobe -d "$cache/tree" -S "$version" --show-depends "$name"; done |
  awk '/^insmod/ {print $2}' | sort -u); do
  install -D -m 644 "$m" "$stage/lib/modules/$version/${m#"$cache/tree/lib/modules/$version/"}"
done
cp "$cache/tree/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$stage/lib/modules/$version/"
depmod -b "$stage" "$version"
install -m 755 "$root/tests/vm/init.sh" "$stage/init"
for program in "$@"; do install -m 755 "${program%%=*}" "$stage/bin/${program#*=}"; done
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1 >"../$(basename "$out")")
rm -rf "$stage"
echo "$cache/tree/boot/vmlinuz-$version"
