# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record's HDF5 files as h5py and dxchange users meet them: the settings the camera used, a
reader watching the file grow, and darks, flats and projections recorded by runs of their own
into one Data Exchange file, refused and replaced, an addition killed midway, and the file used as
the camera's calibration. Every wait has a bound that holds under the sanitizers on a loaded
machine."""

import datetime
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


def record(folder, *arguments, simulator=FAST, run=subprocess.run):
    command = [RECORD, "tessaravolt", *arguments, "-o", folder]
    environment = dict(os.environ, XISL_SIM=simulator)
    if run is subprocess.Popen:
        return run(command + ["-q"], env=environment)
    return run(command, env=environment, capture_output=True, text=True, timeout=BOUND)


def record_series(folder, series, *more):
    _, _, frames, width, exposure = SERIES[series]
    return record(folder, "--series", series, f"exposure-time={exposure}", f"roi-width={width}", "-n", str(frames),
                  *more)


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
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


class SeriesTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.folder = os.path.join(self.directory.name, "scan")
        self.file = os.path.join(self.folder, "frames.h5")

    def expect_series(self, names, folder=None):
        with h5py.File(os.path.join(folder or self.folder, "frames.h5"), "r") as f:
            for name in names:
                dataset, times, frames, width, exposure = SERIES[name]
                data, settings = f["exchange"][dataset], f["exchange"][dataset].attrs
                self.assertTrue(all(is_pattern(frame) for frame in data), name)
                self.assertEqual((data.shape, settings["exposure_time"], list(settings["roi"]),
                                  list(settings["binning"]), settings["gain"], settings["trigger_source"],
                                  settings["complete"], len(f["exchange"][times])),
                                 ((frames, 128, width), exposure, [0, 0, width, 128], [1, 1], 0, b"auto", 1, frames))
            self.assertEqual(sorted(f["exchange"]), sorted(name for s in names for name in SERIES[s][:2]))

    # What the camera used, not what was asked: a setting it rounded or refused is stated as it is
    # used, in the file, in a warning and in the report's settings line.
    def test_the_file_states_what_the_camera_used(self):
        refusing = FAST + ";fail=Acquisition_SetCameraBinningMode:9"
        for index, (settings, simulator, described, report) in enumerate((
                ("exposure-time=0.002 roi-width=64 roi-height=32", FAST, ((4, 32, 64), 0.002, [0, 0, 64, 32], [1, 1]),
                 "as asked"),
                # The timer runs no faster than the readout of 256 x 128 pixels at 32 ns each.
                ("exposure-time=0.0005", "sensors=256x128", ((4, 128, 256), 0.001048, [0, 0, 256, 128], [1, 1]),
                 "not as asked: exposure-time 0.001048 (asked 0.0005)"),
                ("exposure-time=0.0000004", FAST, ((4, 128, 256), 0, [0, 0, 256, 128], [1, 1]),
                 "not as asked: exposure-time 0 (asked 0.0000004)"),
                ("exposure-time=0 sensor-horizontal-binning=2 sensor-vertical-binning=2", refusing,
                 ((4, 128, 256), 0, [0, 0, 256, 128], [1, 1]),
                 "not as asked: sensor-horizontal-binning 1 (asked 2), sensor-vertical-binning 1 (asked 2)"),
                ("exposure-time=0 sensor-horizontal-binning=3", FAST, ((4, 64, 128), 0, [0, 0, 128, 64], [2, 2]),
                 "not as asked: sensor-horizontal-binning 2 (asked 3)"),
                # One factor serves both axes: the second write wins; the region stays as the first left it.
                ("exposure-time=0 sensor-horizontal-binning=2 sensor-vertical-binning=1", FAST,
                 ((4, 64, 128), 0, [0, 0, 128, 64], [1, 1]), "not as asked: sensor-horizontal-binning 1 (asked 2)"))):
            with self.subTest(settings=settings):
                folder = os.path.join(self.directory.name, str(index))
                run = record(folder, *settings.split(), "--mode", "async", "-n", "4", "--format", "hdf5",
                             simulator=simulator)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn(f"settings:   {report}\n", run.stdout)
                self.assertEqual("uca-record: warning: the camera uses " in run.stderr, report != "as asked")
                with h5py.File(os.path.join(folder, "frames.h5"), "r") as f:
                    data, times = f["/exchange/data"], f["/exchange/timestamps"]
                    a = data.attrs
                    self.assertEqual((data.shape, a["exposure_time"], list(a["roi"]), list(a["binning"])), described)
                    datetime.datetime.strptime(a["start_time"].decode(), "%Y-%m-%dT%H:%M:%S.%fZ")
                    self.assertEqual((data.dtype, data.chunks, f.attrs["implements"], a["camera"], a["camera_name"],
                                      "camera_model" in a, a["gain"], len(a["pixel_size"]), times.attrs["units"],
                                      a["complete"]),
                                     (np.uint16, (1,) + data.shape[1:], b"exchange", b"tessaravolt",
                                      b"tessaravolt camera", False, 0, 2, b"ns", 1))
                    self.assertTrue(all(is_pattern(frame) for frame in data))
                    self.assertTrue(len(times) == 4 and all(np.diff(times[...]) >= 0))

    # A reader opens the file while it is recorded (single writer, multiple readers) and sees the
    # frame count grow and the frames kept; the file says it is incomplete until the recorder has
    # finished it, and killed, the recorder leaves it readable and incomplete.
    def test_a_live_reader_sees_frames_arrive_and_whether_the_file_is_complete(self):
        for stop in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(stop=stop):
                folder = os.path.join(self.directory.name, str(stop))
                path, counts = os.path.join(folder, "frames.h5"), []
                process = record(folder, "exposure-time=0.02", "-n", "0", "--format", "hdf5", run=subprocess.Popen)
                try:
                    self.assertTrue(wait_for(lambda: os.path.exists(path)))
                    with h5py.File(path, "r", swmr=True) as live:
                        data = live["/exchange/data"]

                        def grown():
                            data.refresh()
                            if not counts or data.shape[0] != counts[-1]:
                                counts.append(data.shape[0])
                            return len(counts) >= 3
                        self.assertTrue(wait_for(grown))
                        complete, seen = data.attrs["complete"], data[...]
                finally:
                    process.send_signal(stop)
                    process.wait(BOUND)
                self.assertEqual((process.returncode, complete, counts[0] > 0), (130 if stop == signal.SIGINT else -stop,
                                                                               0, True))
                with h5py.File(path, "r", swmr=stop == signal.SIGKILL) as after:
                    data = after["/exchange/data"]
                    self.assertEqual(data.attrs["complete"], int(stop == signal.SIGINT))
                    np.testing.assert_array_equal(data[:len(seen)], seen)
                    self.assertTrue(all(is_pattern(frame) for frame in data))

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
        replaced = record(self.folder, "--series", "data", "exposure-time=0.004", "roi-width=128", "-n", "1",
                          "--overwrite")
        self.assertEqual(replaced.returncode, 0, replaced.stderr)
        with h5py.File(self.file, "r") as f:
            self.assertEqual((f["exchange/data"].shape, len(f["exchange/timestamps"]), f.attrs["sample"]),
                             ((1, 128, 128), 1, "Fe"))
            np.testing.assert_array_equal(f["exchange/data_dark"][...], darks)
            np.testing.assert_array_equal(f["exchange/theta"][...], np.linspace(0, 180, 4))
        self.assertLess(os.path.getsize(self.file), size)

    # The copy the series goes into is readable while it grows; killed, it is left beside a file
    # that is exactly as it was and opens for any reader. The next run names what was left and
    # discards it only with --overwrite. Without --series, HDF5 records projections.
    def test_an_addition_killed_midway_leaves_the_file_as_it_was(self):
        for series in ("dark", "flat"):
            self.assertEqual(record_series(self.folder, series).returncode, 0)
        before = digest(self.file)
        process = record(self.folder, "exposure-time=0.05", "roi-width=128", "-n", "0", "--format", "hdf5",
                         run=subprocess.Popen)

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
        self.addCleanup(subprocess.run, ["umount", "-l", self.folder])
        self.assertEqual(record_series(self.folder, "dark").returncode, 0)
        with h5py.File(self.file, "r") as f:
            darks = f["exchange/data_dark"][...]
        run = record(self.folder, "--series", "data", "exposure-time=0", "-n", "400")
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("No space left on device", run.stderr)
        written = int(re.search(r"^written:\s+(\d+) frames", run.stdout, re.MULTILINE).group(1))
        with h5py.File(self.file, "r") as f:
            np.testing.assert_array_equal(f["exchange/data_dark"][...], darks)
            self.assertEqual((f["exchange/data"].shape[0], f["exchange/data"].attrs["complete"]), (written, 0))
        self.assertGreater(written, 0)
        self.assertEqual(sorted(os.listdir(self.folder)), [".uca-record", "frames.h5", "preview.png"])

    # Darks without beam and flats in open beam, projections of the phantom: dxchange reads them
    # as such, and the camera corrects frames with the same file as its calibration.
    def test_dxchange_reads_the_series_and_the_camera_corrects_with_them(self):
        panel = FAST + ";content=flat"
        for series, simulator in (("flat", panel), ("dark", panel + ";beam=off"), ("data", FAST + ";content=phantom")):
            run = record(self.folder, "--series", series, "exposure-time=0.002", "-n", "4", simulator=simulator)
            self.assertEqual(run.returncode, 0, run.stderr)
        import dxchange
        projections, flats, darks, _ = dxchange.read_aps_32id(self.file)
        with h5py.File(self.file, "r") as f:
            for read, dataset in ((projections, "data"), (flats, "data_white"), (darks, "data_dark")):
                np.testing.assert_array_equal(read, f["exchange"][dataset][...])
        self.assertLess(darks.mean() * 10, flats.mean())
        corrected = os.path.join(self.directory.name, "corrected")
        run = record(corrected, "--series", "data", "exposure-time=0.002", f"calibration-file={self.file}",
                     "offset-correction=true", "gain-correction=true", "defect-correction=true", "-n", "2",
                     simulator=panel)
        self.assertEqual(run.returncode, 0, run.stderr)
        with h5py.File(os.path.join(corrected, "frames.h5"), "r") as f:
            frame = f["exchange/data"][0].astype(float)
        flat = flats[0].astype(float)
        self.assertLess(frame.std() / frame.mean() * 5, flat.std() / flat.mean())


if __name__ == "__main__":
    unittest.main(verbosity=2)
