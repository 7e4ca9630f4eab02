#!/bin/busybox sh
# The test guest's first process (run by linux_guest.py): loads the USB serial drivers, then runs
# the static k410prog three times the way a technician would, and reports on the console in lines
# "K410QEMU <what> <run> <value>" for the host to judge:
#   uart    /dev/ttyS1 (8250) as COM3, loader run with C;
#   ftdi    /dev/ttyUSB0 (ftdi_sio) as COM3, loader skipped with S;
#   unplug  /dev/ttyUSB0 again, 40 lines; the host unplugs the adapter after 5 of them.
# The console stays silent while k410prog runs: QEMU's trace cannot tell ttyS0 from ttyS1, so a
# byte written to the console then would pass for one sent to the analyzer.
/bin/busybox mkdir -p /proc /sys /dev /tmp /bin /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
dmesg -n 1

say() {
    echo "K410QEMU $*"
}

for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod /lib/modules/$module.ko || say FAIL insmod $module
done
waited=0
while [ ! -e /dev/ttyUSB0 ] && [ $waited -lt 100 ]; do
    sleep 0.2
    waited=$((waited + 1))
done
say READY

# run NAME DEVICE ANSWERS: one k410prog run in its own folder and Wine prefix, COM3 -> DEVICE.
run() {
    name=$1 device=$2 dir=/work/$1
    mkdir -p $dir/dosdevices
    ln -s $device $dir/dosdevices/com3
    cp /data/$name.txt "$dir/K410HELP(64K).TXT"
    printf '#!/bin/sh\necho "$*" > bsl-args.txt\n' > $dir/BSL.EXE
    chmod 755 $dir/BSL.EXE
    # The image the answers choose, so that the run is told of no missing file.
    : > $dir/K410IV.TXT
    say RUN $name
    # Let the console's last bytes leave before the analyzer's line is touched.
    sleep 0.3
    # The state a previous program might leave behind; k410prog must not keep any of it but
    # the read time-outs.
    stty -F $device 2400 cs7 parenb -parodd cstopb crtscts ixon opost ocrnl min 7 time 3
    cd $dir
    printf "$3" | WINEPREFIX=$dir HOME=$dir timeout 30 /bin/k410prog > out.txt 2>&1
    status=$?
    cd /
    say STATUS $name $status
    say TAIL $name $(tail -c 240 $dir/out.txt | od -An -v -tx1)
    say BSL $name $(cat $dir/bsl-args.txt 2>/dev/null)
    say STTY $name $(stty -a -F $device 2>&1)
}

run uart /dev/ttyS1 '3\nN\nN\nN\nN\nC\nC\n'
run ftdi /dev/ttyUSB0 '3\nN\nN\nN\nN\nS\n'
run unplug /dev/ttyUSB0 '3\nN\nN\nN\nN\nS\n'
say DONE
reboot -f
