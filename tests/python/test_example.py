# SPDX-License-Identifier: LGPL-2.1-or-later
"""examples/record.py, run as a user runs it, records the simulator's pattern exactly."""

import os
import re
import subprocess
import sys
import tempfile
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


class ExampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        output = os.path.join(cls.directory.name, "frames.npz")
        environment = dict(os.environ, XISL_SIM=f"sensors={SENSOR_WIDTH}x{SENSOR_HEIGHT};readout_ns_per_pixel=0")
        cls.result = subprocess.run(
            [sys.executable, EXAMPLE, "--frames", str(FRAMES), "--exposure-time", "0.002",
             "--roi", str(X0), str(Y0), str(WIDTH), str(HEIGHT), "--output", output],
            env=environment, capture_output=True, text=True, timeout=90)
        cls.stacks = dict(np.load(output)) if cls.result.returncode == 0 else {}

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


if __name__ == "__main__":
    unittest.main()
