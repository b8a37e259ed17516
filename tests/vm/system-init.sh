#!/bin/busybox sh
# shellcheck shell=dash
# The initramfs of the vm set's Debian guest (tests/vm/system.sh): Debian's
# kernel has its disk and file system drivers as modules, so they are loaded
# here; then the disk's Debian system starts with its own systemd.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
# ext4 asks the crypto layer for crc32c when it mounts, which modules.dep
# does not list.
for m in virtio_pci virtio_blk crc32c_generic ext4; do modprobe $m; done
i=0
until [ -b /dev/vda ]; do
  i=$((i + 1)); [ $i -lt 1000 ] || { echo "@@ initramfs: no /dev/vda"; poweroff -f; }
  usleep 10000
done
mkdir -p /root
if ! mount -t ext4 -o rw /dev/vda /root; then echo "@@ initramfs: cannot mount /dev/vda"; poweroff -f; fi
umount /proc /sys && mount --move /dev /root/dev
exec switch_root /root /sbin/init
