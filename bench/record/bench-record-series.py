#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""What adding a series to a big HDF5 file costs, on the simulated detector at 1024 x 1024 pixels.

uca-record never writes into the file it adds a series to: it copies the file's contents into a
new file, records the series there and renames the copy over the file once it is on the disk.
This records projections of --gib GiB, then adds 10 darks, then replaces the projections with 10
frames, and prints as a Markdown table, for each run: its wall time, the copy's size and time
from the report, and beside them the wall time of the same 10 frames into an empty folder, of
copying the file with the system's copy (shutil.copyfile), and of that copy flushed to the disk.

Usage: bench/record/bench-record-series.py [--build build] [--disk DIR] [--gib N]
Run it with Debian's /usr/bin/python3; the disk needs room for about three times --gib.
"""

import argparse
import os
import re
import shutil
import subprocess
import tempfile
import time

SIMULATOR = "sensors=1024x1024;readout_ns_per_pixel=0"
FRAME_BYTES = 1024 * 1024 * 2


def record(build, folder, *arguments):
    """Runs uca-record; returns its wall time in seconds and its report."""
    command = [os.path.join(build, "recorder", "uca-record"), "tessaravolt", "exposure-time=0", "--buffer", "256M",
               "-o", folder, *arguments]
    environment = dict(os.environ, UCA_CAMERA_PATH=os.path.join(build, "plugins"), XISL_SIM=SIMULATOR)
    os.sync()  # each run starts without another's writes still going to the disk
    start = time.monotonic()
    run = subprocess.run(command, env=environment, capture_output=True, text=True, check=True)
    return time.monotonic() - start, run.stdout


def copied(report):
    match = re.search(r"^copied:\s+([\d.]+) MB .* in ([\d.]+) s", report, re.MULTILINE)
    return (float(match.group(1)), float(match.group(2))) if match else (0.0, 0.0)


def system_copy(path, flush):
    target = path + ".copy"
    os.sync()
    start = time.monotonic()
    shutil.copyfile(path, target)
    if flush:
        fd = os.open(target, os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
    seconds = time.monotonic() - start
    os.unlink(target)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build")
    parser.add_argument("--disk", default=None, help="folder on the disk to measure (default: the system's temporary)")
    parser.add_argument("--gib", type=float, default=2.0)
    options = parser.parse_args()
    frames = int(options.gib * (1 << 30) / FRAME_BYTES)

    with tempfile.TemporaryDirectory(dir=options.disk) as scratch:
        scan, alone = os.path.join(scratch, "scan"), os.path.join(scratch, "alone")
        record(options.build, scan, "--series", "data", "-n", str(frames))
        path = os.path.join(scan, "frames.h5")
        size = os.path.getsize(path) / 1e9
        copy, copy_flushed = system_copy(path, False), system_copy(path, True)
        base, _ = record(options.build, alone, "--series", "dark", "-n", "10")
        adding, report = record(options.build, scan, "--series", "dark", "-n", "10")
        replacing, replaced = record(options.build, scan, "--series", "data", "-n", "10", "--overwrite")

    print(f"{frames} projections of 1024 x 1024 pixels, frames.h5 of {size:.2f} GB; "
          f"10 darks into an empty folder: {base:.2f} s")
    print(f"system copy of frames.h5: {copy:.2f} s, flushed to the disk: {copy_flushed:.2f} s\n")
    print("| run | wall time, s | copied, MB | copy, s |")
    print("|---|---:|---:|---:|")
    for name, seconds, text in (("10 darks added", adding, report), ("projections replaced by 10", replacing,
                                                                     replaced)):
        megabytes, copy_seconds = copied(text)
        print(f"| {name} | {seconds:.2f} | {megabytes:.0f} | {copy_seconds:.2f} |")


if __name__ == "__main__":
    main()
