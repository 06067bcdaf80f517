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

from sim_pattern import frame_number, pattern_frame

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples", "record.py")
SENSOR_WIDTH, SENSOR_HEIGHT = 160, 40
# Off the origin, not square and across columns 64 and 128, where the pattern's x and y bits
# overlap: below them a shifted region would look like the same region of another frame.
X0, Y0, WIDTH, HEIGHT = 50, 3, 100, 10
FRAMES = 6
MODES = ("continuous", "single", "buffered")
ENVIRONMENT = dict(os.environ, XISL_SIM=f"sensors={SENSOR_WIDTH}x{SENSOR_HEIGHT};readout_ns_per_pixel=0")


def read(path):
    with open(path) as text:
        return text.read()


def run_example(*arguments):
    return subprocess.run([sys.executable, EXAMPLE, *arguments], env=ENVIRONMENT, capture_output=True, text=True,
                          timeout=90)


class ExampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        # Without .npz: numpy adds it, and the example says so.
        cls.output = os.path.join(cls.directory.name, "frames")
        cls.result = run_example("--frames", str(FRAMES), "--exposure-time", "0.002",
                                 "--roi", str(X0), str(Y0), str(WIDTH), str(HEIGHT), "--output", cls.output)
        cls.stacks = dict(np.load(cls.output + ".npz")) if cls.result.returncode == 0 else {}

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_every_mode_records_the_pattern_pixel_for_pixel(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(sorted(self.stacks), sorted(MODES))
        for mode, stack in self.stacks.items():
            with self.subTest(mode=mode):
                self.assertEqual(stack.dtype, np.uint16)
                self.assertEqual(stack.shape, (FRAMES, HEIGHT, WIDTH))
                numbers = [frame_number(frame, X0, Y0) for frame in stack]
                for frame, n in zip(stack, numbers):
                    np.testing.assert_array_equal(frame, pattern_frame(X0, Y0, WIDTH, HEIGHT, n))
                # Each grab returns a newer frame than the one before.
                self.assertTrue(all(0 < (b - a) % (1 << 16) < 1 << 15 for a, b in zip(numbers, numbers[1:])),
                                numbers)

    def test_printed_statistics_are_those_of_the_saved_frames(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        printed = re.findall(r"^(\w+) frame (\d+): mean ([\d.]+), std ([\d.]+)$", self.result.stdout, re.MULTILINE)
        self.assertEqual(len(printed), FRAMES * len(MODES), self.result.stdout)
        for mode, index, mean, std in printed:
            frame = self.stacks[mode][int(index)]
            self.assertAlmostEqual(float(mean), frame.mean(), places=2)
            self.assertAlmostEqual(float(std), frame.std(), places=2)


    def test_names_the_file_it_wrote(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertTrue(self.result.stdout.rstrip().endswith(f" to {self.output}.npz"), self.result.stdout)
        self.assertEqual(os.listdir(self.directory.name), ["frames.npz"])


class ExampleChecksTest(unittest.TestCase):
    def test_bad_arguments_and_output_fail_before_recording(self):
        with tempfile.TemporaryDirectory() as directory:
            os.mkdir(os.path.join(directory, "taken.npz"))
            for arguments, message in [
                (["--roi", "-1", "0", "10", "10"], "--roi"),
                (["--output", os.path.join(directory, "missing", "frames.npz")], "cannot write"),
                (["--output", os.path.join(directory, "taken")], "is a folder"),
            ]:
                with self.subTest(arguments=arguments):
                    result = run_example(*arguments)
                    self.assertEqual(result.returncode, 2, result.stderr)
                    self.assertIn(message, result.stderr)
                    self.assertNotIn("Traceback", result.stderr)
                    self.assertNotIn("recording", result.stdout)
            self.assertEqual(os.listdir(directory), ["taken.npz"])

    def test_ctrl_c_saves_what_was_recorded(self):
        with tempfile.TemporaryDirectory() as directory:
            output, log = os.path.join(directory, "stopped.npz"), os.path.join(directory, "out.txt")
            with open(log, "w") as stdout:
                example = subprocess.Popen(
                    [sys.executable, EXAMPLE, "--frames", "100000", "--exposure-time", "0.005", "--modes",
                     "continuous", "--roi", str(X0), str(Y0), str(WIDTH), str(HEIGHT), "--output", output],
                    env=ENVIRONMENT, stdout=stdout, stderr=subprocess.PIPE, text=True)
            try:
                deadline = time.monotonic() + 60
                while "continuous: recording" not in read(log) and time.monotonic() < deadline:
                    time.sleep(0.05)
                example.send_signal(signal.SIGINT)
                _, stderr = example.communicate(timeout=60)
            finally:
                example.kill()
            self.assertEqual(example.returncode, 130, stderr)
            self.assertIn(f"to {output}", read(log))
            stack = np.load(output)["continuous"]
            self.assertLess(len(stack), 100000)
            for frame in stack:
                np.testing.assert_array_equal(frame, pattern_frame(X0, Y0, WIDTH, HEIGHT,
                                                                   frame_number(frame, X0, Y0)))


if __name__ == "__main__":
    unittest.main()
