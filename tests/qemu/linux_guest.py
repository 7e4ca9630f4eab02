#!/usr/bin/env python3
"""Runs the static k410prog on real Linux tty drivers inside a QEMU guest (TCG) and judges it.

    linux_guest.py --program K410PROG_STATIC --cache DIR

The guest (Debian's kernel, busybox, init.sh) has a 16550 UART as /dev/ttyS1 (8250 driver) and
an emulated FTDI adapter as /dev/ttyUSB0 (ftdi_sio); the analyzer's end of each is a host pty,
read here. QEMU's trace gives the UART's line settings and register writes, and the adapter's
control requests and data transfers, with QEMU's own time stamps. Neither emulated device
sends at the baud rate: each passes a piece on at once, as a USB adapter does, so the pace of
the pieces is the program's own. Prints one PASS or FAIL line per check.

Exit status: 0 every check passed, 1 a check failed, 77 the guest cannot run here (the reason is
printed). The kernel and its modules are fetched once with apt-get and kept in DIR.
K410_QEMU_KEEP=1 keeps the scratch folder (initramfs, QEMU's trace) and prints its name.
"""
import argparse
import glob
import itertools
import lzma
import os
import pty
import re
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tty

SKIP = 77
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio"]
BOOT_LIMIT = 120  # seconds from start to the guest's READY
RUN_LIMIT = 90  # seconds from READY to DONE
UNPLUG_AFTER = 5  # lines
LINE_PAUSE = 0.250
BYTE_ON_THE_WIRE = 10 / 9600  # seconds: 10 bits a byte at 9600 baud
PAUSE_SLACK = 0.005  # the guest's timer may wake a little early against QEMU's clock
# The emulated FTDI adapter's bulk OUT endpoint 2, as xHCI numbers it (endpoint * 2, + 1 for IN).
FTDI_DATA_EPID = 4
UNPLUG_LIMIT = 2.0  # seconds from the unplug to the end of the run


class Skip(Exception):
    pass


def pieces(data):
    """What the analyzer gets of each piece: pieces end at a line feed (dropped) or at 255 bytes."""
    result, piece = [], bytearray()
    for byte in data:
        if byte == 0x0A:
            result.append(bytes(piece))
            piece.clear()
            continue
        piece.append(byte)
        if len(piece) == 255:
            result.append(bytes(piece))
            piece.clear()
    if piece:
        result.append(bytes(piece))
    return result


def data_files():
    """The download's data: every byte value but line feed, XON/XOFF, NUL and CR included."""
    all_bytes = bytes(b for b in range(256) if b != 0x0A)
    lines = [b"K410 EEPROM\r\n", b"TAB\there\tXON\x11XOFF\x13NUL\x00CR\rEND\r\n"]
    lines += [all_bytes[i:i + 64] + b"\r\n" for i in range(0, len(all_bytes), 64)]
    # Long enough that their time on the wire shows beside the pause: 200 bytes need 208 ms,
    # and a line of 300 goes as a piece of 255 (266 ms) and one of 45.
    printable = bytes(range(0x20, 0x7F))
    lines += [b"LONG %d " % n + (printable * 4)[n:n + 200 - 7] + b"\r\n" for n in (1, 2)]
    lines.append(b"OVER 255 " + (printable * 4)[:291] + b"\r\n")
    lines.append(b"LAST LINE, NO LINE FEED")
    long_run = b"".join(b"LINE %02d 0123456789ABCDEF\r\n" % n for n in range(1, 41))
    return {"uart": b"".join(lines), "ftdi": b"".join(lines), "unplug": long_run}


def run_quiet(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120,
                          **kwargs)


def fetch_kernel(cache):
    """Debian's kernel and the USB serial modules, downloaded once into `cache`."""
    kernel = os.path.join(cache, "vmlinuz")
    modules = [os.path.join(cache, name + ".ko") for name in MODULES]
    if os.path.exists(kernel) and all(map(os.path.exists, modules)):
        return kernel, modules
    for tool in ("apt-cache", "apt-get", "dpkg-deb", "tar"):
        if shutil.which(tool) is None:
            raise Skip("%s is missing: cannot fetch a kernel" % tool)
    depends = run_quiet(["apt-cache", "depends", "linux-image-amd64"]).stdout.decode()
    if "linux-image-" not in depends and os.geteuid() == 0:
        run_quiet(["apt-get", "update", "-qq"])
        depends = run_quiet(["apt-cache", "depends", "linux-image-amd64"]).stdout.decode()
    found = re.search(r"Depends: (linux-image-[0-9][^\s]*-amd64)\s", depends)
    if not found:
        raise Skip("apt knows no linux-image-amd64 (run apt-get update)")
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as scratch:
        fetched = run_quiet(["apt-get", "download", found.group(1)], cwd=scratch)
        debs = glob.glob(os.path.join(scratch, "*.deb"))
        if fetched.returncode != 0 or not debs:
            raise Skip("apt-get download %s failed: %s"
                       % (found.group(1), fetched.stdout.decode()[-300:]))
        tree = os.path.join(scratch, "tree")
        os.mkdir(tree)
        subprocess.run("dpkg-deb --fsys-tarfile %s | tar -x -C %s --wildcards './boot/vmlinuz-*' %s"
                       % (debs[0], tree, " ".join("'*/%s.ko*'" % name for name in MODULES)),
                       shell=True, check=True, timeout=120)
        for name, target in zip(MODULES, modules):
            source = glob.glob(os.path.join(tree, "lib/modules/*/kernel/**/%s.ko*" % name),
                               recursive=True)[0]
            # busybox insmod may not read compressed modules.
            with (lzma.open if source.endswith(".xz") else open)(source, "rb") as module, \
                    open(target, "wb") as out:
                shutil.copyfileobj(module, out)
        # The kernel comes last and whole: its presence says the cache is complete.
        shutil.copyfile(glob.glob(os.path.join(tree, "boot/vmlinuz-*"))[0], kernel + ".part")
        os.replace(kernel + ".part", kernel)
    return kernel, modules


def build_initramfs(folder, program, modules, data):
    busybox = shutil.which("busybox")
    if busybox is None or b"ld-linux" in open(busybox, "rb").read(8192):
        raise Skip("no static busybox (install busybox-static)")
    root = os.path.join(folder, "root")
    for sub in ("bin", "lib/modules", "data"):
        os.makedirs(os.path.join(root, sub))
    init = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh")
    for source, target in [(busybox, "bin/busybox"), (program, "bin/k410prog"), (init, "init")] \
            + [(module, "lib/modules") for module in modules]:
        shutil.copy(source, os.path.join(root, target))
    os.chmod(os.path.join(root, "init"), 0o755)
    for name, content in data.items():
        with open(os.path.join(root, "data", name + ".txt"), "wb") as out:
            out.write(content)
    archive = os.path.join(folder, "initramfs.cpio")
    with open(archive, "wb") as out:
        listing = subprocess.run(["find", "."], cwd=root, stdout=subprocess.PIPE, check=True)
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing.stdout,
                       stdout=out, check=True, timeout=60)
    return archive


def open_pty():
    master, slave = pty.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def read_trace(path):
    """QEMU's trace lines as (host time in seconds, event name, the rest)."""
    pattern = re.compile(r"^\d+@(\d+)\.(\d+):(\w+) (.*)$")
    with open(path, errors="replace") as trace:
        found = [pattern.match(line) for line in trace]
    return [(int(m.group(1)) + int(m.group(2)) / 1e6, m.group(3), m.group(4)) for m in found if m]


class Guest:
    """One QEMU run: the console's report lines, the bytes each pty received, the unplug."""

    def __init__(self, folder, kernel, initramfs):
        self.uart_master, self.uart_slave, uart_name = open_pty()
        self.usb_master, self.usb_slave, usb_name = open_pty()
        self.monitor_path = os.path.join(folder, "monitor.sock")
        self.trace_path = os.path.join(folder, "trace.log")
        self.command = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-nodefaults", "-no-user-config",
            "-display", "none", "-no-reboot", "-kernel", kernel, "-initrd", initramfs,
            "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-serial", "stdio", "-chardev", "serial,id=u1,path=" + uart_name,
            "-serial", "chardev:u1",
            "-device", "qemu-xhci", "-chardev", "serial,id=u2,path=" + usb_name,
            "-device", "usb-serial,id=ftdi0,chardev=u2",
            "-monitor", "unix:%s,server=on,wait=off" % self.monitor_path,
            # QEMU's own view, with its time stamps: the UART's registers and line settings
            # (for either UART: the console stays silent while k410prog runs), the adapter's
            # control requests, and the xHCI transfers that carry its data.
            "-msg", "timestamp=on", "-D", self.trace_path, "-trace", "serial_write",
            "-trace", "serial_update_parameters", "-trace", "usb_serial_*",
            "-trace", "usb_xhci_xfer_*"]
        self.report = {}  # (what, run) -> (host time, value)
        self.received = {}  # (run, device) -> bytes the host pty got
        self.first_byte_at = {}
        self.run = self.unplugged_at = self.boot_seconds = self.run_seconds = None
        self.console = bytearray()

    def unplug(self):
        try:
            with socket.socket(socket.AF_UNIX) as monitor:
                monitor.settimeout(5)
                monitor.connect(self.monitor_path)
                # The monitor drops a command still unread when its client leaves: the prompt
                # after the command says it ran.
                answer = b""
                while answer.count(b"(qemu)") < 2:
                    if b"(qemu)" in answer and self.unplugged_at is None:
                        monitor.sendall(b"device_del ftdi0\n")
                        self.unplugged_at = time.time()
                    answer += monitor.recv(4096)
        except OSError as error:
            raise RuntimeError("QEMU's monitor failed: %s" % error)

    def on_console_line(self, line, now):
        tag, what, run, value = (line.split(" ", 3) + ["", "", ""])[:4]
        if tag != "K410QEMU" or not what:
            return
        self.report[(what, run)] = (now, value)
        if what == "RUN":
            self.run = run

    def on_bytes(self, device, chunk, now, unplug_at_bytes):
        got = self.received.setdefault((self.run, device), bytearray())
        got += chunk
        self.first_byte_at.setdefault((self.run, device), now)
        if (self.run == "unplug" and device == "usb" and self.unplugged_at is None
                and len(got) >= unplug_at_bytes):
            self.unplug()

    def go(self, unplug_at_bytes):
        started = time.time()
        process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        selector = selectors.DefaultSelector()
        selector.register(process.stdout.fileno(), selectors.EVENT_READ, "console")
        selector.register(self.uart_master, selectors.EVENT_READ, "uart")
        selector.register(self.usb_master, selectors.EVENT_READ, "usb")
        deadline = started + BOOT_LIMIT
        pending = b""
        try:
            while ("DONE", "") not in self.report:
                now = time.time()
                if now > deadline:
                    what = "READY" if self.boot_seconds is None else "DONE"
                    raise RuntimeError("no %s from the guest in time (console ends %r)"
                                       % (what, bytes(self.console[-300:])))
                for key, _ in selector.select(min(0.5, deadline - now)):
                    now = time.time()
                    chunk = os.read(key.fd, 4096)
                    if key.data != "console":
                        self.on_bytes(key.data, chunk, now, unplug_at_bytes)
                        continue
                    # A guest that fails ends in a panic, and QEMU then ends with status 0.
                    if not chunk and self.boot_seconds is None and process.wait(timeout=10):
                        raise Skip("QEMU cannot run here (status %d): %s" % (
                            process.returncode, self.console[-300:].decode("latin-1").strip()))
                    if not chunk:
                        raise RuntimeError("QEMU ended early: %r" % bytes(self.console[-600:]))
                    self.console += chunk
                    pending += chunk
                    while b"\n" in pending:
                        line, pending = pending.split(b"\n", 1)
                        self.on_console_line(line.decode("latin-1").strip(), now)
                        if self.boot_seconds is None and ("READY", "") in self.report:
                            self.boot_seconds = now - started
                            deadline = now + RUN_LIMIT
            self.run_seconds = time.time() - started - self.boot_seconds
            process.wait(timeout=10)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(timeout=10)
            for fd in (self.uart_master, self.uart_slave, self.usb_master, self.usb_slave):
                os.close(fd)


class Verdict:
    """The checks' outcome: one PASS or FAIL line each."""
    failed = 0

    def check(self, ok, text):
        print("%s: %s" % ("PASS" if ok else "FAIL", text))
        self.failed += 0 if ok else 1


def first_difference(got, wanted):
    return next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b),
                min(len(got), len(wanted)))


class Findings:
    """What the guest reported, what the ptys received and QEMU's trace, per run."""

    def __init__(self, guest, data):
        self.guest = guest
        self.pieces = pieces(data["uart"])  # the ftdi run's file is the same
        self.events = read_trace(guest.trace_path)
        # A run's events lie between its RUN and STATUS lines among the bytes the UARTs were
        # handed; the host stamps a line before the read that brings its end, too early for this.
        handed = uart_bytes(self.events)
        console = bytes(value for _, value, _ in handed)
        self.windows = {run: [] for run in data}
        for run in data:
            found = re.search(rb"RUN %s\r\n(.*?)K410QEMU STATUS %s " % ((run.encode(),) * 2),
                              console, re.S)
            if found:
                self.windows[run] = self.events[handed[found.start(1) - 1][2] + 1:
                                                 handed[found.end(1)][2]]
        self.sent = uart_bytes(self.windows["uart"])

    def value(self, what, run):
        return self.guest.report.get((what, run), (0, ""))[1]

    def tail(self, run):
        """The last bytes k410prog wrote to its console."""
        return bytes(int(b, 16) for b in self.value("TAIL", run).split()).decode("latin-1")

    def received(self, run, device):
        return bytes(self.guest.received.get((run, device), b""))

    def usb_requests(self, run):
        """The adapter's trace events in `run`, less their "dev BUS:ADDR" prefix."""
        return [(t, name, rest.split(" ", 2)[2]) for t, name, rest in self.windows[run]
                if name.startswith("usb_serial")]


def check_line_settings(findings, verdict):
    """A line left at 2400 7E2 with handshakes and output processing comes back 9600 8N1 raw,
    its read time-outs as they were: by busybox stty -a in the guest, and by QEMU's trace."""
    wanted = ["speed 9600 baud", "cs8", "-parenb", "-cstopb", "-crtscts", "-ixon", "-ixoff",
              "-opost", "-icanon", "-echo", "-isig", "min = 7", "time = 3"]
    for run, device in (("uart", "/dev/ttyS1"), ("ftdi", "/dev/ttyUSB0")):
        stty = findings.value("STTY", run)
        words = stty.replace(";", " ").split()
        missing = [w for w in wanted if (w not in stty if " " in w else w not in words)]
        verdict.check(not missing, "%s left at 2400 7E2 crtscts ixon opost ocrnl min 7 time 3: "
                      "9600 8N1 raw, no handshake, min 7 time 3 after the run%s"
                      % (device, ": lacks %s in %r" % (missing, stty) if missing else ""))
    uart = [rest for _, name, rest in findings.windows["uart"]
            if name == "serial_update_parameters"]
    last = uart[-1] if uart else "none"
    verdict.check("baudrate=2400 parity='E' data=7 stop=2" in uart and
                  last == "baudrate=9600 parity='N' data=8 stop=1",
                  "UART by QEMU's trace: 2400 E 7 2 before, finally %s" % last)
    usb = [rest for _, name, rest in findings.usb_requests("ftdi") if name in (
        "usb_serial_set_baud", "usb_serial_set_data", "usb_serial_set_flow_control")]
    last = "; ".join(next((rest for rest in reversed(usb) if rest.startswith(kind)), "no " + kind)
                     for kind in ("baud", "parity", "flow"))
    verdict.check("baud rate 2400" in usb and "parity E, data bits 7, stop bits 2" in usb and
                  "flow control 1" in usb and
                  last == "baud rate 9600; parity N, data bits 8, stop bits 1; flow control 0",
                  "FTDI adapter by QEMU's trace: 2400 E 7 2 RTS/CTS before, finally %s" % last)


def check_modem_lines(findings, verdict):
    """DTR and RTS up while the port is open: as the last modem-control write before the
    download's first byte reached the host left them."""
    first = findings.guest.first_byte_at.get(("uart", "uart"), 0)
    mcr = [int(rest.split()[-1], 16) for t, name, rest in findings.windows["uart"]
           if name == "serial_write" and rest.startswith("write addr 0x04 ") and t < first]
    verdict.check(bool(mcr) and mcr[-1] & 3 == 3, "UART DTR and RTS up when the download began "
                  "(MCR %s)" % ("0x%02x" % mcr[-1] if mcr else "never written"))
    first = findings.guest.first_byte_at.get(("ftdi", "usb"), 0)
    lines = 0
    for t, _, rest in findings.usb_requests("ftdi"):
        request = re.search(r"got control 0x4001, value 0x([0-9a-f]+)", rest)
        if request and t < first:
            value = int(request.group(1), 16)
            sets = (value >> 8) & 3  # DTR 1, RTS 2; the same bit << 8 says the request sets it
            lines = (lines & ~sets) | (value & sets)
    verdict.check(lines == 3, "FTDI DTR and RTS up when the download began (lines 0x%x)" % lines)


def check_bytes(findings, verdict):
    """Every byte of the file, less the line feeds that end pieces, reached the analyzer's end
    of both devices, and each run ended complete."""
    wire = b"".join(findings.pieces)
    for run, device in (("uart", "uart"), ("ftdi", "usb")):
        got = findings.received(run, device)
        status, tail = findings.value("STATUS", run), findings.tail(run)
        verdict.check(got == wire and status == "0" and tail.endswith("Programming Complete!\n"),
                      "%s: %d of %d bytes (CR, tab, XON/XOFF, NUL, 0x80-0xFF) at the host%s, "
                      "status %s, ends %r" % (run, len(got), len(wire), "" if got == wire else
                                              ", first missing or wrong at %d"
                                              % first_difference(got, wire), status, tail[-40:]))
    loader = findings.value("BSL", "uart")
    verdict.check(loader == "+mpvr -c\\\\.\\COM3 K410IV.TXT", "loader got %r" % loader)


def uart_bytes(events):
    """(QEMU's time, byte, index in `events`) for each byte a UART (either) was handed to send."""
    sent, divisor_latch = [], False
    for index, (t, name, rest) in enumerate(events):
        if name == "serial_write":
            register, value = (int(x, 16) for x in rest.split()[2::2])
            if register == 3:
                divisor_latch = bool(value & 0x80)
            elif register == 0 and not divisor_latch:
                sent.append((t, value, index))
    return sent


def ftdi_transfers(findings):
    """(QEMU's time the xHCI took it up, bytes) for each data transfer to the FTDI adapter in
    the ftdi run, in the order they completed; a transfer retried counts from its first try."""
    started, transfers = {}, []
    for t, name, rest in findings.windows["ftdi"]:
        transfer = rest.split(":")[0]
        if name == "usb_xhci_xfer_start" and "epid %d," % FTDI_DATA_EPID in rest:
            started.setdefault(transfer, t)
        elif name == "usb_xhci_xfer_success" and transfer in started:
            transfers.append((started.pop(transfer), int(rest.split()[-1])))
    return transfers


def piece_starts(chunks, sizes):
    """When each piece began: the time of the chunk (a byte, a transfer) that carries its first
    byte. `chunks` are (time, size) in the order sent, `sizes` the pieces' sizes."""
    starts, at, chunk_end, chunk = [], 0, 0, -1
    for size in sizes:
        while chunk_end <= at and chunk + 1 < len(chunks):
            chunk += 1
            chunk_end += chunks[chunk][1]
        starts.append(chunks[chunk][0] if chunk_end > at else None)
        at += size
    return starts


def check_pauses(findings, verdict):
    """Each pause between pieces, by when QEMU's UART was handed the bytes around it."""
    sent, wire = findings.sent, b"".join(findings.pieces)
    ends = itertools.accumulate(len(piece) for piece in findings.pieces[:-1])
    pauses = [sent[end][0] - sent[end - 1][0] for end in ends if end < len(sent)]
    traced = bytes(value for _, value, _ in sent)
    verdict.check(traced == wire and min(pauses, default=0) >= LINE_PAUSE - PAUSE_SLACK,
                  "UART by QEMU's trace: %d pauses between pieces, shortest %.0f ms, longest "
                  "%.0f ms%s" % (len(pauses), 1000 * min(pauses, default=0),
                                 1000 * max(pauses, default=0),
                                 "" if traced == wire else "; the UART was handed other bytes"))


def check_wire_time(findings, verdict):
    """Consecutive pieces start at least the pause plus the earlier piece's time on the wire
    apart, on both drivers: neither device holds the bytes for their time on the wire, and
    the drivers say them sent at once (the FTDI's transmitter state at most 70 ms later), so
    only a pause counted from the write's start plus that time keeps them apart."""
    sizes = [len(piece) for piece in findings.pieces if piece]
    for device, chunks in (("UART", [(t, 1) for t, _, _ in findings.sent]),
                           ("FTDI adapter", ftdi_transfers(findings))):
        starts = piece_starts(chunks, sizes)
        traced = sum(size for _, size in chunks)
        margins = [(later - earlier - LINE_PAUSE - size * BYTE_ON_THE_WIRE, size)
                   for earlier, later, size in zip(starts, starts[1:], sizes)
                   if earlier is not None and later is not None]
        tightest = min(margins, default=(-1, 0))
        longest = max(sizes[:-1], default=0)
        ok = (None not in starts and traced >= sum(sizes) and len(margins) == len(sizes) - 1
              and tightest[0] >= -PAUSE_SLACK and longest >= 200)
        verdict.check(ok, "%s by QEMU's trace: %d pieces of up to %d bytes, each next one "
                      "started 250 ms + the piece's time on the wire (1.04 ms a byte) after it "
                      "or later; tightest %+.1f ms, after %d bytes%s"
                      % (device, len(sizes), longest, 1000 * tightest[0], tightest[1],
                         "" if traced >= sum(sizes) and None not in starts else
                         "; %d of %d bytes traced" % (traced, sum(sizes))))


def check_unplug(findings, verdict):
    """Unplugging the adapter mid-download ends the run at once with the write error."""
    guest = findings.guest
    status, tail = findings.value("STATUS", "unplug"), findings.tail("unplug")
    ended = guest.report.get(("STATUS", "unplug"), (0, ""))[0]
    when = ("never unplugged" if guest.unplugged_at is None else "no end reported" if not ended
            else "ended %.2f s after the unplug" % (ended - guest.unplugged_at))
    verdict.check(guest.unplugged_at is not None and ended and
                  ended - guest.unplugged_at < UNPLUG_LIMIT and status == "1" and
                  re.search(r"\n Error Writing \\\\\.\\COM3 !\n COM3 went away: [^\n]*\.\n$", tail),
                  "USB unplug after %d of 40 lines (%d bytes at the host): status %s, %s, ends %r"
                  % (UNPLUG_AFTER, len(findings.received("unplug", "usb")), status, when,
                     tail[-120:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--cache", required=True)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="k410qemu.")
    try:
        for tool in ("qemu-system-x86_64", "cpio"):
            if shutil.which(tool) is None:
                raise Skip("%s is missing (scripts/install-deps installs it)" % tool)
        kernel, modules = fetch_kernel(args.cache)
        data = data_files()
        initramfs = build_initramfs(folder, args.program, modules, data)
        guest = Guest(folder, kernel, initramfs)
        unplug_at = len(b"".join(pieces(data["unplug"])[:UNPLUG_AFTER]))
        try:
            guest.go(unplug_at)
        except RuntimeError as error:
            print("FAIL: %s" % error)
            return 1
        print("boot to /init: %.1f s, the three runs: %.1f s" % (guest.boot_seconds,
                                                                 guest.run_seconds))
        verdict = Verdict()
        findings = Findings(guest, data)
        for check in (check_line_settings, check_modem_lines, check_bytes, check_pauses,
                      check_wire_time, check_unplug):
            check(findings, verdict)
        print("%d check(s) failed" % verdict.failed if verdict.failed else "every check passed")
        return 1 if verdict.failed else 0
    except Skip as reason:
        print("SKIPPED: %s" % reason)
        return SKIP
    finally:
        if not os.environ.get("K410_QEMU_KEEP"):
            shutil.rmtree(folder, ignore_errors=True)
        else:
            print("kept " + folder)


if __name__ == "__main__":
    sys.exit(main())
