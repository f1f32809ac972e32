#!/usr/bin/env python3
"""Runs Vintrel end to end on a pseudo-terminal and measures the whole process.

A pseudo-terminal stands in for the serial port: COM7 is mapped to its slave
side in a profile of its own (XDG_CONFIG_HOME points to a temporary folder),
and this script reads the master side continuously, so the upload never waits
for a reader. A pseudo-terminal has no baud rate to pace it (its output queue
always reads 0), so the figures are the tool's own overhead: start to exit,
CPU time and peak memory, from /usr/bin/time -v. The frame that arrives is
checked byte for byte against one built here from the same files.

    bench/pty_upload.py [--vintrel build/release/Vintrel] [--bytes 131072] [--runs 5]

The last line printed is one JSON object with the median and worst figures.
"""
import argparse
import json
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PORT_NUMBER = 7
SENT_MESSAGE = b"Sending program...Please wait some seconds" + b"Program Sended"


def check_values(data):
    """The frame's two 16-bit check values over a section, low byte first each."""
    add_sum = rot_sum = 0
    for byte in data:
        folded = (byte + 1) & 0xFF
        add_sum = (add_sum + folded) & 0xFFFF
        rot_sum = ((((rot_sum << 1) | (rot_sum >> 15)) & 0xFFFF) + folded) & 0xFFFF
    return add_sum.to_bytes(2, "little") + rot_sum.to_bytes(2, "little")


def expected_frame(header, image):
    head = b"S" + header
    return head + check_values(head) + image + check_values(image)


def write_program(folder, image_bytes):
    header = b"PTYB" + image_bytes.to_bytes(4, "little")
    image = random.Random(image_bytes).randbytes(image_bytes)
    base = os.path.join(folder, "prog")
    with open(base + ".hea", "wb") as f:
        f.write(header)
    with open(base + ".bin", "wb") as f:
        f.write(image)
    return base, expected_frame(header, image)


def write_profile(folder, slave_path):
    os.makedirs(os.path.join(folder, "vintrel"))
    with open(os.path.join(folder, "vintrel", "win.ini"), "w") as f:
        f.write(f"[Ports]\nCOM{PORT_NUMBER}={slave_path}\n")


def read_master(master, received, stop):
    """Drains the master side until told to stop; an EIO means no slave is open."""
    while not stop.is_set():
        try:
            chunk = os.read(master, 65536)
        except OSError:
            return
        received.extend(chunk)


def parse_time_report(report):
    """Wall, user, system seconds and peak RSS in KiB from /usr/bin/time -v."""
    def field(name):
        match = re.search(r"^\s*" + re.escape(name) + r".*?: (.+)$", report, re.M)
        if not match:
            sys.exit("pty_upload: /usr/bin/time -v printed no '" + name + "'")
        return match.group(1).strip()

    wall = 0.0
    for part in field("Elapsed (wall clock) time").split(":"):
        wall = wall * 60 + float(part)
    return {
        "wall_s": wall,
        "user_s": float(field("User time (seconds)")),
        "sys_s": float(field("System time (seconds)")),
        "peak_rss_kib": int(field("Maximum resident set size (kbytes)")),
    }


def run_once(vintrel, image_bytes):
    with tempfile.TemporaryDirectory(prefix="vintrel-pty-") as folder:
        master, slave = os.openpty()
        received = bytearray()
        stop = threading.Event()
        reader = threading.Thread(target=read_master, args=(master, received, stop))
        try:
            write_profile(folder, os.ttyname(slave))
            base, frame = write_program(folder, image_bytes)
            reader.start()
            env = dict(os.environ, XDG_CONFIG_HOME=folder)
            started = time.monotonic()
            result = subprocess.run(["/usr/bin/time", "-v", vintrel, base, str(PORT_NUMBER)],
                                    env=env, capture_output=True, timeout=120)
            elapsed = time.monotonic() - started
            deadline = time.monotonic() + 5
            while len(received) < len(frame) and time.monotonic() < deadline:
                time.sleep(0.01)
        finally:
            stop.set()
            os.close(slave)
            reader.join(timeout=5)
            os.close(master)
    figures = parse_time_report(result.stderr.decode(errors="replace"))
    figures["start_to_exit_s"] = elapsed
    figures["exit_status"] = result.returncode
    figures["frame_ok"] = bytes(received) == frame and result.stdout == SENT_MESSAGE
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vintrel", default="build/release/Vintrel")
    parser.add_argument("--bytes", type=int, default=131072, help="image size, 0 to 131072")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    if not 0 <= options.bytes <= 131072 or options.runs < 1:
        parser.error("--bytes must be 0 to 131072 and --runs at least 1")
    if not os.access(options.vintrel, os.X_OK):
        parser.error(options.vintrel + " is not an executable: build the release preset first")

    runs = []
    for number in range(options.runs):
        figures = run_once(os.path.abspath(options.vintrel), options.bytes)
        runs.append(figures)
        print(f"run {number + 1}: start to exit {figures['start_to_exit_s'] * 1000:.1f} ms, "
              f"user {figures['user_s']:.2f} s, sys {figures['sys_s']:.2f} s, "
              f"peak RSS {figures['peak_rss_kib']} KiB, exit {figures['exit_status']}, "
              f"frame {'ok' if figures['frame_ok'] else 'WRONG'}")
    summary = {
        "bytes": options.bytes + 17,
        "image_bytes": options.bytes,
        "runs": options.runs,
        "start_to_exit_median_s": round(statistics.median(r["start_to_exit_s"] for r in runs), 4),
        "start_to_exit_max_s": round(max(r["start_to_exit_s"] for r in runs), 4),
        "time_wall_max_s": max(r["wall_s"] for r in runs),
        "cpu_max_s": round(max(r["user_s"] + r["sys_s"] for r in runs), 2),
        "peak_rss_kib": max(r["peak_rss_kib"] for r in runs),
        "exit_statuses": sorted({r["exit_status"] for r in runs}),
        "frames_ok": all(r["frame_ok"] for r in runs),
    }
    print(json.dumps(summary))
    return 0 if summary["frames_ok"] and summary["exit_statuses"] == [14] else 1


if __name__ == "__main__":
    sys.exit(main())
