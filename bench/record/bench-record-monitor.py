#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""What the live view costs a recording: uca-record on the simulated detector at 2048 x 2048
pixels with no exposure time (as fast as it goes), frames counted, not written, so that nothing
but the camera and the monitor sets the pace. Alternating runs of --duration seconds each:
without --monitor, with --monitor and no client, and with a client doing what the page does
(status five times a second, the page's view of each new frame, and the PNG once a second).
Prints each run's rate from the report, then the median and the best of each kind as a Markdown
table: on a machine others load too, the best run is the one least disturbed.

Usage: bench/record/bench-record-monitor.py [--build build] [--duration 10] [--rounds 3]
"""

import argparse, json, os, re, statistics, subprocess, tempfile, threading, time, urllib.request

SIZE = 2048


def poll_like_the_page(port, stop, counts):
    shown = 0
    last_png = 0.0
    while not stop.is_set():
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/monitor/status.json", timeout=10) as answer:
                status = json.load(answer)
            if status["frame"] > shown:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/monitor/view.u16?max=1024", timeout=10) as a:
                    a.read()
                    shown = int(a.headers["X-Frame"])
                counts["views"] += 1
            if time.monotonic() - last_png >= 1:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/monitor/image.png", timeout=10) as a:
                    a.read()
                last_png = time.monotonic()
        except OSError:
            pass  # not serving yet, or already gone
        time.sleep(0.2)


def run(build, duration, kind):
    environment = dict(os.environ, UCA_CAMERA_PATH=os.path.join(build, "plugins"),
                       XISL_SIM=f"sensors={SIZE}x{SIZE};readout_ns_per_pixel=0")
    command = [os.path.join(build, "recorder", "uca-record"), "tessaravolt", "exposure-time=0", "--duration",
               str(duration)]
    if kind != "without":
        command += ["--monitor", "0"]
    with tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=err, text=True)
        stop, counts, client = threading.Event(), {"views": 0}, None
        if kind == "page":
            deadline = time.monotonic() + 60
            port = None
            while port is None and time.monotonic() < deadline:
                err.seek(0)
                found = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", err.read())
                port = found and int(found.group(1))
                time.sleep(0.02)
            client = threading.Thread(target=poll_like_the_page, args=(port, stop, counts), daemon=True)
            client.start()
        out, _ = process.communicate(timeout=duration + 120)
        stop.set()
        if client:
            client.join(30)
    rate = float(re.search(r"^rate:\s+([\d.]+) frames/s", out, re.M).group(1))
    return rate, counts["views"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--duration", type=float, default=10)
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    kinds = ("without", "monitor", "page")
    rates = {kind: [] for kind in kinds}
    for round_ in range(arguments.rounds):
        for kind in kinds:
            rate, views = run(arguments.build, arguments.duration, kind)
            rates[kind].append(rate)
            print(f"round {round_ + 1}, {kind}: {rate:.1f} frames/s" + (f", {views} views served" if views else ""),
                  flush=True)
    base = statistics.median(rates["without"])
    best = max(rates["without"])
    print(f"\n| {SIZE}² frames, exposure-time=0 | median frames/s | vs. without | best frames/s | vs. without |\n"
          "|---|---|---|---|---|")
    for kind, label in zip(kinds, ("without --monitor", "--monitor, no client", "--monitor, a page polling")):
        median, top = statistics.median(rates[kind]), max(rates[kind])
        print(f"| {label} | {median:.1f} | {100 * (median / base - 1):+.1f} % | {top:.1f} | "
              f"{100 * (top / best - 1):+.1f} % |")


if __name__ == "__main__":
    main()
