#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record's start and memory, on the simulated detector at 1024 x 1024 pixels.

Prints, as Markdown tables:
  - the time from the camera being ready (the driver's last line of discovery arriving on
    standard error) to the first frame's file on disk, for --buffer 64M, 1G and 4G: the median
    and the range of --runs recordings each, exposure time 0;
  - peak resident memory (the kernel's count for the ended process) of a short recording (one
    second) and a long one (1000 frames, 2 GiB) with the default --buffer 1G, at 50 frames/s
    (exposure 20 ms), which a writer to disk keeps up with, and the long one as fast as the
    simulator goes (exposure 0), which it may not; and the most frames that waited in the buffer
    where the report says it.

Usage: bench/record/bench-record-start.py [--build build] [--folder DIR] [--runs 5]
Run it with Debian's /usr/bin/python3; give another build's folder to compare two versions.
"""

import argparse
import os
import re
import shutil
import signal
import statistics
import subprocess
import tempfile
import threading
import time

SIMULATOR = "sensors=1024x1024;readout_ns_per_pixel=0"
READY = "Camera (extended)"


def start(build, folder, arguments, exposure=0):
    command = [os.path.join(build, "recorder", "uca-record"), "tessaravolt",
               f"exposure-time={exposure}", "-o", folder] + arguments
    environment = dict(os.environ, UCA_CAMERA_PATH=os.path.join(build, "plugins"),
                       XISL_SIM=SIMULATOR)
    return subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def seconds_to_first_frame(build, parent, buffer):
    """From the camera's last line of discovery to frame-000001.tif, in seconds."""
    folder = tempfile.mkdtemp(prefix="bench-record-start-", dir=parent)
    process = start(build, folder, ["-n", "0", "--buffer", buffer])
    ready = threading.Event()
    ready_at = []

    def read_errors():
        for line in process.stderr:
            if READY in line and not ready.is_set():
                ready_at.append(time.monotonic())
                ready.set()

    reader = threading.Thread(target=read_errors)
    reader.start()
    first = os.path.join(folder, "frame-000001.tif")
    deadline = time.monotonic() + 120
    while not os.path.exists(first) and time.monotonic() < deadline:
        time.sleep(0.0005)
    arrived = time.monotonic()
    process.send_signal(signal.SIGINT)
    process.communicate()
    reader.join()
    shutil.rmtree(folder)
    if not ready_at or arrived >= deadline:
        raise RuntimeError(f"no first frame with --buffer {buffer}")
    return arrived - ready_at[0]


def peak_memory(build, parent, limit, exposure):
    """Peak resident MiB and the most frames waiting of a recording ended by `limit`."""
    folder = tempfile.mkdtemp(prefix="bench-record-start-", dir=parent)
    process = start(build, folder, limit, exposure)
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()))
    reader.start()
    out = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    reader.join()
    shutil.rmtree(folder)
    if status != 0:
        raise RuntimeError(f"uca-record failed ({status}): {errors[0][-500:]}")
    waited = re.search(r"buffer:\s+(\d+) of", out)
    return usage.ru_maxrss / 1024, waited.group(1) if waited else "–"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--folder", default=None, help="where recordings go (default: BUILD)")
    parser.add_argument("--runs", type=int, default=5)
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    parent = os.path.abspath(options.folder or build)

    print("Camera ready to first frame on disk (1024x1024, exposure 0):")
    print("| --buffer | median ms | min–max ms |")
    print("|---|---:|---|")
    for buffer in ("64M", "1G", "4G"):
        times = [1000 * seconds_to_first_frame(build, parent, buffer) for _ in range(options.runs)]
        print(f"| {buffer} | {statistics.median(times):.1f} | {min(times):.1f}–{max(times):.1f} |",
              flush=True)

    print("\nPeak resident memory (1024x1024, --buffer 1G):")
    print("| recording | exposure | peak RSS MiB | most frames waiting |")
    print("|---|---|---:|---:|")
    for limit, exposure in ((["--duration", "1"], 0.02), (["-n", "1000"], 0.02),
                            (["-n", "1000"], 0)):
        rss, waited = peak_memory(build, parent, limit, exposure)
        print(f"| {' '.join(limit)} | {exposure * 1000:g} ms | {rss:.0f} | {waited} |", flush=True)


if __name__ == "__main__":
    main()
