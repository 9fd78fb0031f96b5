#!/bin/busybox sh
# Init of the sequencer VM. Loads the sound modules, mounts the host's root
# read-only with one read-write share on top, chroots into it and runs the
# command that the host left in the results directory. The console carries the
# command's output; its exit status goes back through the results directory.
#
# Kernel command line parameters (seen here as environment variables):
#   vm_rw       host directory shared read-write (mounted at the same path)
#   vm_results  host directory below vm_rw that holds command.sh and receives
#               the exit status
#   vm_workdir  host directory in which to run the command

/bin/busybox --install -s /bin
export PATH=/bin

fail() {
  echo "vm-init: FAILED: $*" >/dev/console
  [ -d "/newroot$vm_results" ] && echo "$*" >"/newroot$vm_results/init-failure"
  poweroff -f
  sleep 60
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

for m in $(cat /modules.list); do
  insmod "/modules/$m.ko" || fail "module $m did not load"
done

mkdir -p /hostroot /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,ro hostroot /hostroot ||
  fail "the host's root did not mount"
mount --bind /hostroot /newroot || fail "the host's root did not bind"

mount -t proc proc /newroot/proc || fail "proc did not mount"
mount -t sysfs sysfs /newroot/sys || fail "sysfs did not mount"
mount -t devtmpfs devtmpfs /newroot/dev || fail "devtmpfs did not mount"
mkdir -p /newroot/dev/shm
for d in /tmp /run /var/tmp /root /dev/shm; do
  mount -t tmpfs -o mode=1777 tmpfs "/newroot$d" || fail "tmpfs on $d did not mount"
  # A working directory below a fresh tmpfs (a checkout in /tmp, say) stays
  # visible: the host's copy is bound back in.
  case "$vm_workdir/" in
    "$d"/*)
      mkdir -p "/newroot$vm_workdir"
      mount --bind "/hostroot$vm_workdir" "/newroot$vm_workdir" ||
        fail "the working directory did not bind"
      ;;
  esac
done
chmod 700 /newroot/root

mkdir -p "/newroot$vm_rw" 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 rwshare "/newroot$vm_rw" ||
  fail "the read-write share did not mount"

[ -c /newroot/dev/snd/seq ] || fail "no /dev/snd/seq after loading the sequencer modules"

echo "vm-init: sequencer VM up after $(cut -d' ' -f1 /proc/uptime) s" >/dev/console
chroot /newroot /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  IN_SEQUENCER_VM=1 \
  /bin/sh -c 'cd "$1" && exec /bin/sh "$2/command.sh"' vm "$vm_workdir" "$vm_results" \
  </dev/null >/dev/console 2>&1
echo $? >"/newroot$vm_results/status"
sync
umount "/newroot$vm_rw" 2>/dev/null
poweroff -f
