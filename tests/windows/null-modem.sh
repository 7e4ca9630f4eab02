#!/usr/bin/env bash
# The serial lines the Windows tests open, published as COM ports of a Wine prefix:
#
#   COM3 <-> COM4  a null-modem pair: two pseudo-terminals joined by socat, so what one end
#                  writes the other reads
#   COM5           a line that hangs up: its far end takes one byte and goes away, after which
#                  the pseudo-terminal's master is closed and writes to COM5 fail
#   COM6           a device that is no serial port at all (/dev/null)
#
# COM3, COM4 and COM5 are also registered under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, as a serial
# driver registers its ports: Wine lists a COM link added to dosdevices after it started nowhere
# (it finds one only when it is opened), and the program's listing opens no port. COM6 is not:
# nothing would register /dev/null.
#
#   null-modem.sh start PREFIX    publish the lines (waits until they are there, at most 10 s)
#   null-modem.sh stop PREFIX     take them down again
set -euo pipefail

usage="usage: null-modem.sh start|stop PREFIX"
action=${1:?$usage} prefix=${2:?$usage}
devices=$prefix/dosdevices state=$prefix/k410-lines
links=(com3 com4 com5 com6) registered=(3 4 5)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Registers the lines (value "<data>" for each) or takes them back again (value -), in one run of
# Wine's reg. The key is volatile: it lives as long as the prefix's server.
register_lines() {
    local value=$1 file=$state/serialcomm.reg number
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n'
        for number in "${registered[@]}"; do
            printf '"\\\\Device\\\\k410line%s"=%s\r\n' "$number" "${value//<n>/$number}"
        done
    } >"$file"
    timeout 60 wine reg import "Z:${file//\//\\}" >/dev/null 2>&1 </dev/null
}

stop_lines() {
    local pid_file pid
    for pid_file in "$state"/*.pid; do
        [[ -f $pid_file ]] || continue
        pid=$(<"$pid_file")
        # Only our own socat: the number may have gone to another process since.
        if [[ -r /proc/$pid/cmdline ]] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q '^socat '; then
            kill "$pid" 2>/dev/null || true
        fi
        rm -f "$pid_file"
    done
    rm -f "${links[@]/#/$devices/}"
    [[ ! -d $state ]] || register_lines - || true
}

case $action in
start)
    [[ -d $devices ]] || { echo "no Wine prefix at $prefix" >&2 && exit 1; }
    mkdir -p "$state"
    stop_lines
    socat -d pty,raw,echo=0,link="$devices/com3" pty,raw,echo=0,link="$devices/com4" \
        >"$state/null-modem.log" 2>&1 </dev/null & echo $! >"$state/null-modem.pid"
    socat -d pty,raw,echo=0,link="$devices/com5" 'EXEC:head -c 1' \
        >"$state/hangup.log" 2>&1 </dev/null & echo $! >"$state/hangup.pid"
    ln -s /dev/null "$devices/com6"
    for _ in $(seq 100); do
        if [[ -e $devices/com3 && -e $devices/com4 && -e $devices/com5 ]]; then
            register_lines '"COM<n>"' || {
                echo "the lines could not be registered under SERIALCOMM" >&2
                stop_lines
                exit 1
            }
            echo "COM3<->COM4, COM5 (hangs up), COM6 (/dev/null) published in $devices"
            exit 0
        fi
        sleep 0.1
    done
    echo "socat did not publish the lines in 10 s" >&2
    cat "$state"/*.log >&2 || true
    stop_lines
    exit 1
    ;;
stop)
    stop_lines
    ;;
*)
    echo "$usage" >&2
    exit 2
    ;;
esac
