# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record --series as tomography users meet it: darks, flats and projections recorded by runs
of their own into one Data Exchange file, read back with h5py and dxchange, refused and replaced,
an addition killed midway, and the file used as the camera's calibration. Every wait has a bound
that holds under the sanitizers on a loaded machine."""

import glob
import hashlib
import itertools
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

import h5py
import numpy as np

RECORD = os.environ["UCA_RECORD"]
FAST = "sensors=256x128;readout_ns_per_pixel=0"
BOUND = 150  # seconds: any one wait; ThreadSanitizer runs the recorder many times slower

# Each series with settings of its own, so that a dataset's attributes can only be its own run's:
# dataset, timestamps, frames, width, exposure time.
SERIES = {"dark": ("data_dark", "timestamps_dark", 2, 64, 0.002),
          "flat": ("data_white", "timestamps_white", 3, 96, 0.003),
          "data": ("data", "timestamps", 4, 128, 0.004)}


def record(folder, series, *arguments, simulator=FAST):
    return subprocess.run([RECORD, "tessaravolt", *arguments, "--series", series, "-o", folder],
                          env=dict(os.environ, XISL_SIM=simulator), capture_output=True, text=True,
                          timeout=BOUND)


def record_series(folder, series, *more):
    _, _, frames, width, exposure = SERIES[series]
    return record(folder, series, f"exposure-time={exposure}", f"roi-width={width}", "-n", str(frames), *more)


def is_pattern(frame):
    """One whole frame of the simulator's pattern at the origin, (x ^ (y << 6)) + 17 n."""
    y, x = np.indices(frame.shape, dtype=np.uint32)
    offsets = frame - ((x ^ (y << 6)) & 0xFFFF).astype(np.uint16)
    return bool((offsets == offsets.flat[0]).all())


def digest(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def wait_for(condition):
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


class SeriesTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.folder = os.path.join(self.directory.name, "scan")
        self.file = os.path.join(self.folder, "frames.h5")

    def tearDown(self):
        self.directory.cleanup()

    def expect_series(self, names, folder=None):
        with h5py.File(os.path.join(folder or self.folder, "frames.h5"), "r") as f:
            for name in names:
                dataset, times, frames, width, exposure = SERIES[name]
                data = f["exchange"][dataset]
                self.assertEqual(data.shape, (frames, 128, width), name)
                self.assertTrue(all(is_pattern(frame) for frame in data), name)
                settings = data.attrs
                self.assertEqual((settings["exposure_time"], list(settings["roi"]), list(settings["binning"]),
                                  settings["gain"], settings["trigger_source"], settings["complete"]),
                                 (exposure, [0, 0, width, 128], [1, 1], 0, b"auto", 1), name)
                self.assertEqual(len(f["exchange"][times]), frames, name)
            self.assertEqual(sorted(f["exchange"]), sorted(name for s in names for name in SERIES[s][:2]))

    def test_series_added_in_every_order_keep_their_frames_and_settings(self):
        for order in itertools.permutations(SERIES):
            folder = os.path.join(self.directory.name, "-".join(order))
            with self.subTest(order=order):
                for done, series in enumerate(order):
                    run = record_series(folder, series)
                    self.assertEqual(run.returncode, 0, run.stderr)
                    self.assertIn(f"(/exchange/{SERIES[series][0]})", run.stdout)
                    self.expect_series(order[:done + 1], folder)
                self.assertEqual(sorted(os.listdir(folder)), [".uca-record", "frames.h5", "preview.png"])

    # What a user added to the file by hand stays, as do the other series; the replaced series
    # leaves no unused space behind.
    def test_a_series_present_is_refused_then_replaced_alone(self):
        for series in ("dark", "data"):
            self.assertEqual(record_series(self.folder, series).returncode, 0)
        with h5py.File(self.file, "a") as f:
            f["exchange/theta"] = np.linspace(0, 180, 4)
            f.attrs["sample"] = "Fe"
            darks = f["exchange/data_dark"][...]
        before, size = digest(self.file), os.path.getsize(self.file)

        refused = record_series(self.folder, "data")
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertIn("already holds a data series (/exchange/data, 4 frames); give --overwrite", refused.stderr)
        self.assertEqual(digest(self.file), before)

        replaced = record(self.folder, "data", "exposure-time=0.004", "roi-width=128", "-n", "1", "--overwrite")
        self.assertEqual(replaced.returncode, 0, replaced.stderr)
        with h5py.File(self.file, "r") as f:
            self.assertEqual(f["exchange/data"].shape, (1, 128, 128))
            self.assertEqual(len(f["exchange/timestamps"]), 1)
            np.testing.assert_array_equal(f["exchange/data_dark"][...], darks)
            np.testing.assert_array_equal(f["exchange/theta"][...], np.linspace(0, 180, 4))
            self.assertEqual(f.attrs["sample"], "Fe")
        self.assertLess(os.path.getsize(self.file), size)

    # The copy the series goes into is readable while it grows; killed, it is left beside a file
    # that is exactly as it was and opens for any reader. The next run names what was left and
    # discards it only with --overwrite.
    def test_an_addition_killed_midway_leaves_the_file_as_it_was(self):
        for series in ("dark", "flat"):
            self.assertEqual(record_series(self.folder, series).returncode, 0)
        before = digest(self.file)
        # Without --series, HDF5 records projections.
        process = subprocess.Popen([RECORD, "tessaravolt", "exposure-time=0.05", "roi-width=128", "-n", "0", "-q",
                                    "--format", "hdf5", "-o", self.folder], env=dict(os.environ, XISL_SIM=FAST))

        def copy_holds_frames():
            for copy in glob.glob(os.path.join(self.folder, ".frames.h5.??????")):
                try:
                    with h5py.File(copy, "r", swmr=True) as live:
                        return "data" in live["exchange"] and live["exchange/data"].shape[0] >= 2
                except (OSError, KeyError):
                    pass  # not yet in the mode readers may join
            return False

        try:
            self.assertTrue(wait_for(copy_holds_frames))
        finally:
            process.send_signal(signal.SIGKILL)
            process.wait(BOUND)

        self.assertEqual(digest(self.file), before)
        self.expect_series(["dark", "flat"])
        refused = record_series(self.folder, "data")
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertIn("cut short", refused.stderr)
        self.assertIn("frames.h5 is as it was", refused.stderr)
        self.assertEqual(record_series(self.folder, "data", "--overwrite").returncode, 0)
        self.expect_series(["dark", "flat", "data"])
        self.assertEqual(sorted(os.listdir(self.folder)), [".uca-record", "frames.h5", "preview.png"])

    # A disk that fills up while a series is added: the other series stay as they were, and the
    # file gains the frames written before, as a series that says it is incomplete.
    def test_a_disk_filling_up_during_an_addition_keeps_the_other_series(self):
        os.makedirs(self.folder)
        if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12m", "tmpfs",
                                                self.folder]).returncode != 0:
            self.skipTest("cannot mount a small file system here")
        try:
            self.assertEqual(record_series(self.folder, "dark").returncode, 0)
            with h5py.File(self.file, "r") as f:
                darks = f["exchange/data_dark"][...]
            run = record(self.folder, "data", "exposure-time=0", "-n", "400")
            self.assertEqual(run.returncode, 1, run.stderr)
            self.assertIn("No space left on device", run.stderr)
            written = int(re.search(r"^written:\s+(\d+) frames", run.stdout, re.MULTILINE).group(1))
            self.assertGreater(written, 0)
            with h5py.File(self.file, "r") as f:
                np.testing.assert_array_equal(f["exchange/data_dark"][...], darks)
                self.assertEqual((f["exchange/data"].shape[0], f["exchange/data"].attrs["complete"]), (written, 0))
            self.assertEqual(sorted(os.listdir(self.folder)), [".uca-record", "frames.h5", "preview.png"])
        finally:
            subprocess.run(["umount", "-l", self.folder])

    # Darks without beam and flats in open beam, projections of the phantom: dxchange reads them
    # as such, and the camera corrects frames with the same file as its calibration.
    def test_dxchange_reads_the_series_and_the_camera_corrects_with_them(self):
        panel = FAST + ";content=flat"
        for series, simulator in (("flat", panel), ("dark", panel + ";beam=off"), ("data", FAST + ";content=phantom")):
            run = record(self.folder, series, "exposure-time=0.002", "-n", "4", simulator=simulator)
            self.assertEqual(run.returncode, 0, run.stderr)

        import dxchange
        projections, flats, darks, _ = dxchange.read_aps_32id(self.file)
        with h5py.File(self.file, "r") as f:
            for read, dataset in ((projections, "data"), (flats, "data_white"), (darks, "data_dark")):
                np.testing.assert_array_equal(read, f["exchange"][dataset][...])
        self.assertLess(darks.mean() * 10, flats.mean())

        corrected = os.path.join(self.directory.name, "corrected")
        run = record(corrected, "data", "exposure-time=0.002", f"calibration-file={self.file}",
                     "offset-correction=true", "gain-correction=true", "defect-correction=true", "-n", "2",
                     simulator=panel)
        self.assertEqual(run.returncode, 0, run.stderr)
        with h5py.File(os.path.join(corrected, "frames.h5"), "r") as f:
            frame = f["exchange/data"][0].astype(float)

        def non_uniformity(image):
            return image.std() / image.mean()
        self.assertLess(non_uniformity(frame) * 5, non_uniformity(flats[0].astype(float)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
