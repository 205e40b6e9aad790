#!/bin/busybox sh
# PID 1 of a real-kernel guest (sim/kernel/simkernel.cpp builds the initramfs).
# The 9p share "phone" is the simulated phone's root on the host. It is
# mounted at /phone and becomes the program's root, with what a stock kernel
# and a chroot need laid over it: real device nodes for the flash (block2mtd
# over loop devices over the share's flash files, one partition optionally on
# mtdram), the framebuffer (vfb) and the keypad (evdev), RAM at /tmp and
# /var/ipc, and the phone's own /proc files from the simulator's FUSE server.
# Records go to /phone/sim/boot as on the simulator; lines "simkernel: ..." on
# the serial console tell the host runner what happened.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mkdir -p /proc /sys /dev /run
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

say() { echo "simkernel: $*" > /dev/console; }
fail() { say "guest-error $*"; poweroff -f; }

depmod
for m in virtio_pci 9pnet_virtio 9p fuse evdev block2mtd; do modprobe "$m" || fail "modprobe $m"; done
mkdir -p /phone /share
mount -t 9p -o trans=virtio,version=9p2000.L,cache=mmap,msize=262144 phone /phone || fail "mount of the share"
mount --bind /phone /share
. /share/sim/guest/config
B=/phone/sim/boot
T0=$(simguest now)

# Framebuffer: vfb at the profile's depth; no text console on it.
modprobe vfb vfb_enable=1 mode_option="$FB_MODE" videomemorysize="$FB_MEM" || fail "modprobe vfb"
for b in /sys/class/vtconsole/vtcon*/bind; do echo 0 > "$b"; done
[ -c /dev/fb0 ] || fail "no /dev/fb0"

# Flash: each partition file of the share becomes a real MTD device.
next=0
if [ -n "$MTDRAM" ]; then
  size=$(stat -c %s /share/dev/mtd$MTDRAM)
  modprobe mtdram total_size=$((size / 1024)) erase_size=$((MTDRAM_ERASE / 1024)) || fail "modprobe mtdram"
  cat /share/dev/mtd$MTDRAM > /dev/mtd0 || fail "loading mtd$MTDRAM into mtdram"
  eval "dev_$MTDRAM=0"
  next=1
fi
modprobe loop max_loop=16 || fail "modprobe loop"
for n in 0 1 2 3 4 5 6 7 8 9; do
  [ -f /share/dev/mtd$n ] && [ "$n" != "$MTDRAM" ] || continue
  loop=$(losetup -f) && losetup "$loop" /share/dev/mtd$n || fail "loop for mtd$n"
  echo "$loop,$ERASE" > /sys/module/block2mtd/parameters/block2mtd || fail "block2mtd for mtd$n"
  grep -q "$loop" /sys/class/mtd/mtd$next/name || fail "mtd$next is not mtd$n"
  eval "dev_$n=$next"
  next=$((next + 1))
done

# The program's /dev: real nodes for the kernel's devices, the board-control
# record as the device-file layer's file emulation.
mount -t tmpfs -o mode=755 dev /phone/dev
mkdir -p /phone/dev/input /phone/dev/mtdblock
for d in null zero urandom random console tty fuse; do cp -a /dev/$d /phone/dev/$d; done
cp -a /dev/fb0 /phone/dev/fb0
cp -a /dev/input/event0 /phone/dev/input/event0 || fail "no keypad (evdev)"
cp /share/dev/misc0 /phone/dev/misc0
for n in 0 1 2 3 4 5 6 7 8 9; do
  eval "m=\$dev_$n"
  [ -n "$m" ] || continue
  cp -a /dev/mtd$m /phone/dev/mtd$n
  case $n in 3|4) cp -a /dev/mtdblock$m /phone/dev/mtdblock/$n ;; esac
done
mount -t tmpfs -o mode=1777 tmp /phone/tmp
mkdir -p /phone/var/ipc && mount -t tmpfs ipc /phone/var/ipc
mount --bind /bin/busybox /phone/bin/busybox
mkdir -p /phone/sim/realproc && mount -t proc proc /phone/sim/realproc
# This kernel's ELF loader fails on executables of the 9p share (ENOTSOCK):
# the command's program runs from a RAM copy at the same path.
if [ -f "/share$1" ]; then
  cp "/share$1" /run/program && mount --bind /run/program "/phone$1" || fail "RAM copy of $1"
fi

simguest procfs /phone "$T0" $PROCFS_FAULTS || fail "the /proc server (FUSE)"
chroot /phone /bin/syslogd -n -t -O /sim/boot/messages &
SYSLOGD=$!
# The program starts once syslog and the bus listener are there (5 s at most).
waited() { i=0; while ! test $1 "$2" && [ $i -lt 500 ]; do usleep 10000; i=$((i + 1)); done; test $1 "$2"; }
waited -S /phone/dev/log || fail "syslogd did not create /dev/log"
simguest listen /phone "$T0" /run/listener.ready &
LISTENER=$!
waited -f /run/listener.ready || fail "the IPC listener did not start"

finish() {
  # Everything sent to syslog before the end is in the file once this is.
  chroot /phone /bin/logger -t simdev-flush "end of boot"
  i=0
  while ! grep -q "simdev-flush: end of boot" $B/messages 2>/dev/null && [ $i -lt 300 ]; do usleep 10000; i=$((i + 1)); done
  kill $LISTENER; wait $LISTENER
  kill $SYSLOGD
  if ! grep -q "^max_rss_kb " $B/result 2>/dev/null && [ -f /run/program.pid ]; then
    hwm=$(sed -n 's/^VmHWM:[^0-9]*\([0-9]*\).*/\1/p' /proc/$(cat /run/program.pid)/status)
    [ -n "$hwm" ] && echo "max_rss_kb $hwm" >> $B/result
  fi
  echo "end $1" >> $B/result
  echo "end_ms $((($(simguest now) - T0) / 1000000))" >> $B/result
  cp /phone/dev/misc0 /share/dev/misc0
  [ -n "$MTDRAM" ] && cat /dev/mtd0 > /share/dev/mtd$MTDRAM
  sync
  say "end $1"
  poweroff -f
}
# busybox's reboot (the phone's /sbin/reboot) asks PID 1 with SIGTERM; halt
# and poweroff with SIGUSR1 and SIGUSR2.
trap 'echo "$(( ($(simguest now) - T0) / 1000000 )) reboot" >> $B/reboot; finish reboot' TERM
trap 'echo "$(( ($(simguest now) - T0) / 1000000 )) halt" >> $B/reboot; finish halt' USR1
trap 'echo "$(( ($(simguest now) - T0) / 1000000 )) poweroff" >> $B/reboot; finish poweroff' USR2

if [ -n "$KEYS" ]; then
  # The host presses keys once somebody has the keypad open.
  ( while ! ls -l /proc/[0-9]*/fd 2>/dev/null | grep -q "/dev/input/event0"; do usleep 50000; done
    say keypad-open ) &
fi
say program-started
simguest run /phone "$T0" /run/program.pid -- "$@" &
PROGRAM=$!
wait $PROGRAM
status=$?
# A reboot interrupts the wait: its trap ends the guest.
if [ $status -ge 128 ]; then finish "signal $((status - 128))"; fi
finish "exit $status"
