#!/bin/bash
# Runs a shell command inside a QEMU guest that boots Debian's stock kernel
# with the ALSA sequencer modules loaded and this machine's root shared
# read-only. The command runs as root in the current directory; its output
# appears on our stdout and its exit status becomes ours.
#
#   tests/vm/run-in-vm.sh 'command ...'
#
# VM_DIR     cache for the kernel, modules and initramfs (default build/vm)
# VM_RW_DIR  directory the guest may write to, at the same path (default: the
#            parent of VM_DIR, the build tree); VM_DIR must lie inside it.
#            Everything else of this machine is read-only in the guest, but
#            for tmpfs on /tmp, /run, /var/tmp, /root and /dev/shm.
# VM_TIMEOUT seconds before the guest is given up (default 1500)
# VM_MEMORY  the guest's memory in MiB (default 2048: the sanitizer build's
#            floods need more than 1 GiB)
# VM_EXTRA_MODULES more modules to load, in order, after the sequencer's: for
#            instance "snd-rawmidi snd-seq-midi-event snd-seq-virmidi
#            snd-virmidi" for virtual raw MIDI cards, or "snd-pcm snd-dummy"
#            for a dummy sound card
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
vm_dir=${VM_DIR:-$repo/build/vm}
mkdir -p "$vm_dir"
vm_dir=$(cd "$vm_dir" && pwd)
rw_dir=$(cd "${VM_RW_DIR:-$vm_dir/..}" && pwd)
timeout_s=${VM_TIMEOUT:-1500}

die() { echo "run-in-vm: $*" >&2; exit 1; }

[ $# -ge 1 ] || die "usage: run-in-vm.sh 'command'"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is not installed"
[ -x /bin/busybox ] || die "busybox-static is not installed"

# Modules in load order: each one needs those before it.
modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
netfs fscache 9pnet 9pnet_virtio 9p
soundcore snd snd-timer snd-hrtimer snd-seq-device snd-seq snd-seq-dummy
${VM_EXTRA_MODULES:-}"

prepare_kernel() {
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  [ -n "$pkg" ] || die "cannot find the kernel package behind linux-image-amd64 (run apt-get update)"
  if [ -f "$vm_dir/kernel/$pkg.done" ]; then
    return
  fi
  rm -rf "$vm_dir/kernel"
  mkdir -p "$vm_dir/kernel"
  (cd "$vm_dir/kernel" && apt-get download "$pkg" >/dev/null 2>&1) ||
    die "apt-get download $pkg failed"
  dpkg-deb -x "$vm_dir/kernel/"*.deb "$vm_dir/kernel/root" || die "cannot unpack $pkg"
  rm -f "$vm_dir/kernel/"*.deb
  touch "$vm_dir/kernel/$pkg.done"
}

prepare_initramfs() {
  local kroot=$vm_dir/kernel/root stage=$vm_dir/initramfs.d m file
  local stamp
  stamp=$(cat "$here/init.sh" /bin/busybox <(echo "$modules") "$vm_dir"/kernel/*.done | md5sum | cut -d' ' -f1)
  if [ -f "$vm_dir/initramfs.cpio.gz" ] && [ "$(cat "$vm_dir/initramfs.stamp" 2>/dev/null)" = "$stamp" ]; then
    return
  fi
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,proc,sys,dev,modules}
  cp /bin/busybox "$stage/bin/busybox"
  cp "$here/init.sh" "$stage/init"
  chmod 755 "$stage/init"
  : >"$stage/modules.list"
  for m in $modules; do
    file=$(find "$kroot/lib/modules" -name "$m.ko" -o -name "${m//_/-}.ko" -o -name "${m//-/_}.ko" | head -n 1)
    [ -n "$file" ] || die "module $m is not in the kernel package"
    cp "$file" "$stage/modules/$m.ko"
    echo "$m" >>"$stage/modules.list"
  done
  (cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$vm_dir/initramfs.cpio.gz"
  echo "$stamp" >"$vm_dir/initramfs.stamp"
}

case "$vm_dir/" in "$rw_dir"/*) ;; *) die "VM_DIR ($vm_dir) is not inside VM_RW_DIR ($rw_dir)" ;; esac
prepare_kernel
prepare_initramfs
kernel=$(ls "$vm_dir"/kernel/root/boot/vmlinuz-* | head -n 1)

results=$(mktemp -d "$vm_dir/results.XXXXXX")
trap 'rm -rf "$results"' EXIT
printf '%s\n' "$*" >"$results/command.sh"

echo "run-in-vm: booting $(basename "$kernel") under QEMU (TCG) to run: $*"
set +e
timeout --foreground -k 10 "$timeout_s" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max -m "${VM_MEMORY:-2048}" -smp 2 -nographic -no-reboot \
  -kernel "$kernel" -initrd "$vm_dir/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 vm_rw=$rw_dir vm_results=$results vm_workdir=$PWD" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$rw_dir",mount_tag=rwshare,security_model=none,multidevs=remap \
  -nic none </dev/null | tr -d '\r' | tee "$results/console.log" |
  # Firmware chatter before our init speaks, and the power-off line, are noise.
  awk '!on && /vm-init:/ { on = 1; sub(/.*vm-init:/, "vm-init:") }
       on && !/reboot: Power down/ { print; fflush() }'
qemu_status=${PIPESTATUS[0]}
set -e

if [ -f "$results/init-failure" ]; then
  die "the VM failed to start: $(cat "$results/init-failure")"
fi
if grep -q 'vm-init: FAILED' "$results/console.log"; then
  die "the VM failed to start: $(grep -o 'vm-init: FAILED.*' "$results/console.log" | head -n 1)"
fi
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  die "the VM did not finish within ${timeout_s} s"
fi
if [ ! -f "$results/status" ]; then
  tail -n 20 "$results/console.log" >&2
  die "the VM did not boot or did not report the command's exit status (qemu exit $qemu_status)"
fi
status=$(cat "$results/status")
if [ "$status" != 0 ]; then
  echo "run-in-vm: the command failed in the VM with exit status $status" >&2
fi
exit "$status"
