#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record at scan scale, on the simulated detector at 1024 x 1024 pixels.

For each format it measures, and prints as a Markdown table:
  - the sustained recording rate on the work disk and on a tmpfs, as a ratio to a plain
    sequential write of the same number of bytes to the same file system in the same run: the
    recorder's write rate (bytes over the time its writer spends writing, from its report), in
    continuous mode with no exposure time; the rate at which frames arrived is shown beside it,
    since on a busy machine the simulated camera itself may set the pace;
  - resident memory while recording 4 GiB: the growth after the first tenth is on disk (the
    buffer takes memory as frames wait in it, so growth means frames queue up);
  - a recording at 30 frames/s (asynchronous delivery, the detector's real timing): whether
    every frame reached the disk, in order.

Usage: bench/record/bench-record-disk.py [--build build] [--disk DIR] [--tmpfs DIR] [--gib N]
Run it with Debian's /usr/bin/python3. Neither recording nor plain write calls fsync, so both
measure what the kernel accepts, as a recording sees it.
"""

import argparse
import os
import re
import shutil
import subprocess
import tempfile
import time

FORMATS = ("tiff", "multitiff", "hdf5")
WIDTH = HEIGHT = 1024
FRAME_BYTES = WIDTH * HEIGHT * 2


def plain_write_rate(folder, frames):
    """MB/s of writing `frames` frames' bytes sequentially into one new file."""
    block = os.urandom(FRAME_BYTES)
    path = os.path.join(folder, "plain.bin")
    start = time.monotonic()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        for _ in range(frames):
            view = memoryview(block)
            while view:
                view = view[os.write(fd, view):]
    finally:
        os.close(fd)
    seconds = time.monotonic() - start
    os.unlink(path)
    return frames * FRAME_BYTES / seconds / 1e6


def bytes_written(folder):
    """Frame bytes in the folder so far (the HDF5 writer's reserve file aside)."""
    total = 0
    for name in os.listdir(folder):
        try:
            if "reserve" not in name:
                total += os.path.getsize(os.path.join(folder, name))
        except FileNotFoundError:  # a temporary file renamed meanwhile
            pass
    return total


def record(build, folder, arguments, simulator, sample_memory=False):
    """Runs uca-record; returns its report and, if asked, (seconds, VmRSS KiB, bytes on disk)
    samples."""
    command = [os.path.join(build, "recorder", "uca-record"), "tessaravolt", "-o", folder,
               "--overwrite"] + arguments
    environment = dict(os.environ, UCA_CAMERA_PATH=os.path.join(build, "plugins"),
                       XISL_SIM=simulator)
    process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    samples = []
    start = time.monotonic()
    while sample_memory and process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                rss = re.search(r"VmRSS:\s+(\d+)", status.read())
            if rss:
                samples.append((time.monotonic() - start, int(rss.group(1)),
                                bytes_written(folder)))
        except FileNotFoundError:
            break
        time.sleep(0.05)
    out, err = process.communicate()
    if process.returncode != 0:
        raise RuntimeError(f"uca-record failed ({process.returncode}): {err.strip()[-500:]}")
    return out, samples


def report_value(report, pattern):
    match = re.search(pattern, report)
    if not match:
        raise RuntimeError(f"no {pattern!r} in the report:\n{report}")
    return float(match.group(1))


def fresh_folder(parent):
    return tempfile.mkdtemp(prefix="bench-record-", dir=parent)


def rate_ratio(build, parent, fmt, frames):
    folder = fresh_folder(parent)
    try:
        before = plain_write_rate(folder, frames)
        report, _ = record(build, folder,
                           ["exposure-time=0", "--mode", "continuous", "-n", str(frames),
                            "--format", fmt, "--buffer", "256M"],
                           "readout_ns_per_pixel=0")
        recorded = report_value(report, r"written:.* at ([\d.]+) MB/s")
        end_to_end = report_value(report, r"rate:.*, ([\d.]+) MB/s")
        # Measured on both sides of the recording, the better one: other load only slows it.
        plain = max(before, plain_write_rate(folder, frames))
        return plain, recorded, end_to_end
    finally:
        shutil.rmtree(folder)


def memory_growth(build, parent, fmt):
    frames = 4 << 30 >> 21  # 4 GiB of 2 MiB frames
    folder = fresh_folder(parent)
    try:
        report, samples = record(build, folder,
                                 ["exposure-time=0", "--mode", "continuous", "-n", str(frames),
                                  "--format", fmt],
                                 "readout_ns_per_pixel=0", sample_memory=True)
        written = int(report_value(report, r"written:\s+(\d+) frames"))
        # From when the first tenth is on disk: the start-up is over by then.
        after_start = [rss for _, rss, on_disk in samples if on_disk >= (4 << 30) / 10]
        return written, after_start[0] / 1024, (max(after_start) - after_start[0]) / 1024
    finally:
        shutil.rmtree(folder)


def real_rate(build, parent, fmt):
    frames = 150
    folder = fresh_folder(parent)
    try:
        report, _ = record(build, folder,
                           ["exposure-time=0.0333", "--mode", "async", "-n", str(frames),
                            "--format", fmt, "--frame-counter", "sim-pattern"], "")
        rate = report_value(report, r"rate:\s+([\d.]+) frames/s")
        written = int(report_value(report, r"written:\s+(\d+) frames"))
        dropped = int(report_value(report, r"dropped:\s+(\d+)"))
        disorder = re.search(r"order:\s+(\d+) out of order.*, (\d+) skipped", report)
        return rate, written, dropped, int(disorder.group(1)), int(disorder.group(2))
    finally:
        shutil.rmtree(folder)


def print_rates(build, disk, tmpfs, frames):
    print(f"Recording rate, {frames} frames of {WIDTH}x{HEIGHT} (continuous, exposure 0):")
    print("| file system | format | plain write MB/s | recorder's write MB/s | ratio | frames arriving, MB/s |")
    print("|---|---|---:|---:|---:|---:|")
    for name, parent in (("work disk", disk), ("tmpfs", tmpfs)):
        for fmt in FORMATS:
            plain, recorded, end_to_end = rate_ratio(build, parent, fmt, frames)
            print(f"| {name} | {fmt} | {plain:.0f} | {recorded:.0f} | {recorded / plain:.2f} | "
                  f"{end_to_end:.0f} |", flush=True)


def print_memory(build, disk):
    print("\nResident memory while recording 4 GiB on the work disk (default --buffer 1G):")
    print("| format | frames written | RSS with the first tenth on disk, MiB | growth after it, MiB |")
    print("|---|---:|---:|---:|")
    for fmt in FORMATS:
        written, base, growth = memory_growth(build, disk, fmt)
        print(f"| {fmt} | {written} | {base:.0f} | {growth:.1f} |", flush=True)


def print_realtime(build, disk):
    print("\nAt 30 frames/s (exposure 33.3 ms, asynchronous, 150 frames, work disk):")
    print("| format | frames/s | written | dropped | out of order | skipped |")
    print("|---|---:|---:|---:|---:|---:|")
    for fmt in FORMATS:
        rate, written, dropped, disorder, skipped = real_rate(build, disk, fmt)
        print(f"| {fmt} | {rate:.1f} | {written} | {dropped} | {disorder} | {skipped} |",
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--disk", default=None, help="folder on the work disk (default: BUILD)")
    parser.add_argument("--tmpfs", default="/dev/shm")
    parser.add_argument("--gib", type=float, default=1.0, help="GiB per rate measurement")
    parser.add_argument("--skip-rate", action="store_true")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-realtime", action="store_true")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    disk = os.path.abspath(options.disk or build)
    frames = int(options.gib * (1 << 30) / FRAME_BYTES)

    if not options.skip_rate:
        print_rates(build, disk, options.tmpfs, frames)

    if not options.skip_memory:
        print_memory(build, disk)

    if not options.skip_realtime:
        print_realtime(build, disk)


if __name__ == "__main__":
    main()
