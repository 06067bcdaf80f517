# SPDX-License-Identifier: LGPL-2.1-or-later
# The live view's page in a real browser: Debian's headless chromium loads it against a recording
# from the simulated detector and, after a budget of virtual time, the DOM must show a frame
# number that has grown since the first frame shown and an image drawn at the frame's size.
# Skipped (exit status 77) only where chromium is missing; scripts/install-deps.sh installs it.

import os, re, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from monitor_kit import BOUND, Recorder  # noqa: E402

WIDTH, HEIGHT = 256, 128


def chromium(url, profile, *arguments):
    command = [shutil.which("chromium"), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
               "--no-first-run", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", f"--user-data-dir={profile}", "--window-size=1200,800", *arguments, url]
    return subprocess.run(command, capture_output=True, text=True, timeout=BOUND)


def main():
    if shutil.which("chromium") is None:
        print("SKIP: chromium is not installed (scripts/install-deps.sh installs it); the page was not tested")
        return 77
    with tempfile.TemporaryDirectory() as path:
        recorder = Recorder(path, "exposure-time=0.02", "--duration", "600",
                            simulator=f"sensors={WIDTH}x{HEIGHT};readout_ns_per_pixel=0")
        try:
            # Virtual time runs on while requests are answered: the page polls many times over.
            result = chromium(f"http://127.0.0.1:{recorder.port}/", os.path.join(path, "profile"),
                              "--virtual-time-budget=8000", "--dump-dom")
        finally:
            status = recorder.stop()
    dom = result.stdout
    first = re.search(r'data-first-frame="(\d+)"', dom)
    shown = re.search(r'<td id="frame">(\d+)</td>', dom)
    canvas = re.search(r'<canvas id="image" width="(\d+)" height="(\d+)"', dom)
    banner = re.search(r'<div id="banner"[^>]*>([^<]*)</div>', dom)
    failures = []
    if status != 128 + 2:
        failures.append(f"the recorder ended with {status}")
    if not (first and shown and int(first.group(1)) > 0 and int(shown.group(1)) > int(first.group(1))):
        failures.append(f"the frame shown did not advance: first {first and first.group(1)}, "
                        f"last {shown and shown.group(1)}")
    if not canvas or (int(canvas.group(1)), int(canvas.group(2))) != (WIDTH, HEIGHT):
        failures.append(f"no image drawn at {WIDTH} x {HEIGHT}: {canvas and canvas.group(0)}")
    if not banner or banner.group(1) != "Recording":
        failures.append(f"the banner says {banner and banner.group(1)!r}, not Recording")
    contrast = re.search(r'<div id="range">shown (\d+) to (\d+) of', dom)
    if not contrast or int(contrast.group(1)) >= int(contrast.group(2)):
        failures.append(f"no contrast range set from the frame: {contrast and contrast.group(0)}")
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        print(dom[-3000:], result.stderr[-2000:], sep="\n")
        return 1
    print(f"frames shown {first.group(1)} to {shown.group(1)}, image {canvas.group(1)} x {canvas.group(2)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
