# SPDX-License-Identifier: LGPL-2.1-or-later
"""examples/record.py, run as a user runs it, records the simulator's pattern exactly."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples", "record.py")
# Off the origin, not square and across columns 64 and 128, where the pattern's x and y bits
# overlap: below them a shifted region would look like the same region of another frame.
ROI = (50, 3, 100, 10)
FRAMES, MODES = 6, ("buffered", "continuous", "single")
ENVIRONMENT = dict(os.environ, XISL_SIM="sensors=160x40;readout_ns_per_pixel=0")


# The simulator's documented test pattern, written out again independently of the simulator:
# pixel (x, y) of frame n is (x ^ (y << 6)) + 17 n, modulo 2^16.
def pattern_frame(x0, y0, width, height, n):
    y, x = np.mgrid[y0:y0 + height, x0:x0 + width].astype(np.uint32)
    return ((x ^ (y << 6)) + 17 * n).astype(np.uint16)


def frame_number(frame, x0, y0):
    """The frame number, modulo 2^16, that the frame's first pixel belongs to."""
    return ((int(frame[0, 0]) - int(pattern_frame(x0, y0, 1, 1, 0)[0, 0])) * pow(17, -1, 1 << 16)) % (1 << 16)


def run_example(*arguments, **popen):
    command = [sys.executable, EXAMPLE, "--roi", *map(str, ROI), *arguments]
    if popen:
        return subprocess.Popen(command, env=ENVIRONMENT, text=True, **popen)
    return subprocess.run(command, env=ENVIRONMENT, capture_output=True, text=True, timeout=90)


def pattern_numbers(stack):
    """Checks that every frame is the pattern of its own frame number; the numbers."""
    numbers = [frame_number(frame, *ROI[:2]) for frame in stack]
    for frame, n in zip(stack, numbers):
        np.testing.assert_array_equal(frame, pattern_frame(*ROI, n))
    return numbers


class ExampleTest(unittest.TestCase):
    def test_every_mode_records_the_pattern_and_prints_its_statistics(self):
        with tempfile.TemporaryDirectory() as directory:
            output = os.path.join(directory, "frames")  # numpy adds .npz, and the example says so
            result = run_example("--frames", str(FRAMES), "--exposure-time", "0.002", "--output", output)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(result.stdout.rstrip().endswith(f" to {output}.npz"), result.stdout)
            self.assertEqual(os.listdir(directory), ["frames.npz"])
            stacks = dict(np.load(output + ".npz"))
        self.assertEqual(sorted(stacks), list(MODES))
        for mode, stack in stacks.items():
            self.assertEqual((stack.dtype, stack.shape), (np.uint16, (FRAMES, ROI[3], ROI[2])), mode)
            numbers = pattern_numbers(stack)
            # Each grab returns a newer frame than the one before.
            self.assertTrue(all(0 < (b - a) % (1 << 16) < 1 << 15 for a, b in zip(numbers, numbers[1:])), numbers)
        printed = re.findall(r"^(\w+) frame (\d+): mean ([\d.]+), std ([\d.]+)$", result.stdout, re.MULTILINE)
        self.assertEqual(len(printed), FRAMES * len(MODES), result.stdout)
        for mode, index, mean, std in printed:
            frame = stacks[mode][int(index)]
            self.assertAlmostEqual(float(mean), frame.mean(), places=2)
            self.assertAlmostEqual(float(std), frame.std(), places=2)

    def test_bad_arguments_and_output_fail_before_recording_and_ctrl_c_saves_what_was_recorded(self):
        with tempfile.TemporaryDirectory() as directory:
            os.mkdir(os.path.join(directory, "taken.npz"))
            with open(os.path.join(directory, "earlier.npz"), "w") as earlier:
                earlier.write("an earlier recording")
            for arguments, message in [(["--roi", "-1", "0", "10", "10"], "--roi"),
                                       (["--output", os.path.join(directory, "missing", "frames.npz")], "cannot write"),
                                       (["--output", os.path.join(directory, "taken")], "is a folder"),
                                       (["--output", os.path.join(directory, "earlier")], "give --overwrite")]:
                result = run_example(*arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
                self.assertNotIn("recording", result.stdout)
            self.assertEqual(sorted(os.listdir(directory)), ["earlier.npz", "taken.npz"])
            with open(os.path.join(directory, "earlier.npz")) as earlier:
                self.assertEqual(earlier.read(), "an earlier recording")

            output, log = os.path.join(directory, "stopped.npz"), os.path.join(directory, "out.txt")
            with open(log, "w") as stdout:
                example = run_example("--frames", "100000", "--exposure-time", "0.005", "--modes", "continuous",
                                      "--output", output, stdout=stdout, stderr=subprocess.PIPE)
            try:
                deadline = time.monotonic() + 60
                while "continuous: recording" not in open(log).read() and time.monotonic() < deadline:
                    time.sleep(0.05)
                example.send_signal(signal.SIGINT)
                _, stderr = example.communicate(timeout=60)
            finally:
                example.kill()
            self.assertEqual(example.returncode, 130, stderr)
            self.assertIn(f"to {output}", open(log).read())
            stack = np.load(output)["continuous"]
            self.assertLess(len(stack), 100000)
            pattern_numbers(stack)


if __name__ == "__main__":
    unittest.main()
