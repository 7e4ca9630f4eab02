#!/usr/bin/env python3
"""Drives one typical run of k410prog end to end against a pseudo-terminal, under a wrapper.

    typical_run.py [--] COMMAND...    e.g. valgrind --error-exitcode=1 --leak-check=full build/k410prog

The analyzer's end of the line is a pty published as COM3 in a scratch Wine prefix; the scratch
folder holds a stand-in BSL.EXE (exit 0) and the data file. The answers are those of the typical
run: port 3, four times N, C for the loader, C for the download. The run passes when COMMAND exits
0 (a wrapper such as valgrind turns its findings into a nonzero status), the transcript ends with
"Programming Complete!", the loader got its exact arguments, the analyzer received exactly the
file less the line feeds that ended its pieces, and the line's read time-outs are back as they
were. Every wait is bounded.
"""
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time

ANSWERS = b"3\nN\nN\nN\nN\nC\nC\n"
DATA = b"ALPHA 1\r\nBRAVO 22\r\n" + b"L" * 300 + b"\r\nDELTA 4444"
LIMIT_SECONDS = 300


def wire_bytes(data):
    """The file less the line feeds that end pieces (pieces end at a line feed or at 255 bytes)."""
    wire, piece = bytearray(), bytearray()
    for byte in data:
        piece.append(byte)
        if byte == 0x0A or len(piece) == 255:
            wire += piece[:-1] if byte == 0x0A else piece
            piece.clear()
    return bytes(wire + piece)


def main(argv):
    command = argv[1:]
    if command and command[0] == "--":
        command = command[1:]
    if not command:
        print(__doc__)
        return 2

    master, slave = pty.openpty()
    slave_name = os.ttyname(slave)
    settings = termios.tcgetattr(slave)
    settings[6][termios.VMIN] = 7
    settings[6][termios.VTIME] = 3
    termios.tcsetattr(slave, termios.TCSANOW, settings)

    received = bytearray()
    stop = threading.Event()

    def read_line():
        while not stop.is_set():
            ready, _, _ = select.select([master], [], [], 0.02)
            if ready:
                try:
                    received.extend(os.read(master, 4096))
                except OSError:
                    time.sleep(0.005)

    reader = threading.Thread(target=read_line, daemon=True)
    reader.start()

    folder = tempfile.mkdtemp(prefix="k410run.")
    failures = []
    try:
        os.mkdir(os.path.join(folder, "dosdevices"))
        os.symlink(slave_name, os.path.join(folder, "dosdevices", "com3"))
        with open(os.path.join(folder, "K410HELP(64K).TXT"), "wb") as data_file:
            data_file.write(DATA)
        loader = os.path.join(folder, "BSL.EXE")
        with open(loader, "w") as script:
            script.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> bsl-args.txt\nexit 0\n")
        os.chmod(loader, 0o755)

        environment = dict(os.environ, WINEPREFIX=folder, HOME=folder)
        command = [os.path.abspath(part) if os.path.exists(part) else part for part in command]
        started = time.monotonic()
        try:
            run = subprocess.run(command, input=ANSWERS, stdout=subprocess.PIPE, cwd=folder,
                                 env=environment, timeout=LIMIT_SECONDS)
        except subprocess.TimeoutExpired:
            print("typical run: no end after %d s: killed" % LIMIT_SECONDS)
            return 1
        seconds = time.monotonic() - started
        time.sleep(0.2)
        stop.set()
        reader.join(1)

        output = run.stdout.decode("latin-1")
        if run.returncode != 0:
            failures.append("exit status %d" % run.returncode)
        if not output.endswith("DELTA 4444\nProgramming Complete!\n"):
            failures.append("transcript ends %r" % output[-80:])
        if "Firmware Programming Complete!\n" not in output:
            failures.append("no 'Firmware Programming Complete!'")
        args_path = os.path.join(folder, "bsl-args.txt")
        loader_args = open(args_path).read() if os.path.exists(args_path) else ""
        if loader_args != "+mpvr -c\\\\.\\COM3 K410IV.TXT\n":
            failures.append("loader arguments %r" % loader_args)
        if bytes(received) != wire_bytes(DATA):
            failures.append("analyzer received %r" % bytes(received))
        timeouts = [cc if isinstance(cc, int) else ord(cc)
                    for cc in (termios.tcgetattr(slave)[6][i] for i in (termios.VMIN, termios.VTIME))]
        if timeouts != [7, 3]:
            failures.append("VMIN/VTIME left at %d/%d" % tuple(timeouts))
        print("typical run: %.1f s, status %d, %d bytes to the analyzer"
              % (seconds, run.returncode, len(received)))
    finally:
        stop.set()
        shutil.rmtree(folder, ignore_errors=True)
        os.close(master)
        os.close(slave)

    for failure in failures:
        print("typical run FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
