# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record as Python clients meet it. The live stream (--stream): messages decoded with cbor2,
back-pressure, several consumers, CURVE, and examples/stream_consumer.py against uca-record and
against hand-made compressed messages; loopback and ipc only, and a message that does not decode
ends the run at once. HDF5 files as h5py and dxchange users meet them: the settings the camera
used, a reader watching the file grow, and darks, flats and projections recorded by runs of their
own into one Data Exchange file. Every wait has a bound that holds under the sanitizers on a
loaded machine."""

import datetime
import glob
import hashlib
import itertools
import os
import pathlib
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import cbor2
import h5py
import numpy as np
import zmq

RECORD = os.environ["UCA_RECORD"]
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "stream_consumer.py")
FAST = "sensors=256x128;readout_ns_per_pixel=0"
BOUND = 150  # seconds: any one wait; ThreadSanitizer runs the recorder many times slower

# Each series with settings of its own, so that a dataset's attributes can only be its own run's:
# dataset, timestamps, frames, width, exposure time.
SERIES = {"dark": ("data_dark", "timestamps_dark", 2, 64, 0.002),
          "flat": ("data_white", "timestamps_white", 3, 96, 0.003),
          "data": ("data", "timestamps", 4, 128, 0.004)}


def is_pattern(frame):
    """One whole frame of the simulator's pattern at the origin, (x ^ (y << 6)) + 17 n."""
    y, x = np.indices(frame.shape, dtype=np.uint32)
    offsets = frame - ((x ^ (y << 6)) & 0xFFFF).astype(np.uint16)
    return bool((offsets == offsets.flat[0]).all())


def digest(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def wait_for(condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def decode(raw, tags):
    def hook(decoder, tag):
        tags.add(tag.tag)
        if 64 <= tag.tag <= 87 and tag.tag != 69:  # typed arrays: only little-endian uint16 here
            raise ValueError(f"pixels tagged {tag.tag}")
        return np.frombuffer(tag.value, "<u2") if tag.tag == 69 else tuple(tag.value) if tag.tag == 40 else tag
    return cbor2.loads(raw, tag_hook=hook)


def pixels_of(message):
    dimensions, pixels = next(iter(message["data"].values()))
    return pixels.reshape(dimensions)


def image_ids(messages):
    return [m["image_id"] for m in messages if m["type"] == "image"]


def end_of(messages):
    return next((m for m in messages if m["type"] == "end"), None)


class Collector(threading.Thread):
    """A PULL client keeping what it receives (pixels only with `keep`) until the end message,
    `limit` images, stop() and a quiet moment, the bound, or a message it cannot decode."""

    def __init__(self, endpoint, delay=0.0, limit=None, keep=False, curve=None, inspect=None):
        super().__init__(daemon=True)
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.PULL)
        self.socket.setsockopt(zmq.RCVHWM, 1 if delay else 1000)
        self.socket.setsockopt(zmq.LINGER, 0)
        if curve:
            self.socket.curve_serverkey, self.socket.curve_publickey, self.socket.curve_secretkey = curve
        self.socket.connect(endpoint)
        self.delay, self.limit, self.keep, self.inspect = delay, limit, keep, inspect
        self.messages, self.tags, self.error = [], set(), None
        self.stopping = threading.Event()
        self.start()

    def run(self):
        deadline = time.monotonic() + BOUND
        try:
            while time.monotonic() < deadline and (self.socket.poll(200) or not self.stopping.is_set()):
                if not self.socket.poll(0):
                    continue
                raw = self.socket.recv()
                assert raw.startswith(b"\xd9\xd9\xf7"), raw[:8]  # self-described CBOR
                message = decode(raw, self.tags)
                assert next(iter(message)) == "type", message.keys()
                if message["type"] == "image":
                    if self.inspect:
                        self.inspect(message)
                    if not self.keep:
                        del message["data"]
                self.messages.append(message)
                if message["type"] == "end" or (self.limit and len(image_ids(self.messages)) >= self.limit):
                    break
                time.sleep(self.delay)
        except Exception as error:  # noqa: BLE001: any failure to read a message ends the run
            self.error = error
        self.socket.close()
        self.context.term()

    def finish(self):
        self.stopping.set()
        self.join(BOUND)
        assert self.error is None, self.error
        return self.messages


class StreamTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.path = self.directory.name
        self.addCleanup(self.directory.cleanup)

    def endpoint(self, name="frames"):
        return f"ipc://{self.path}/{name}"

    def record(self, arguments, simulator=FAST):
        with open(f"{self.path}/out.txt", "w") as out, open(f"{self.path}/err.txt", "w") as err:
            process = subprocess.Popen([RECORD, "tessaravolt"] + arguments, stdout=out, stderr=err,
                                       env=dict(os.environ, XISL_SIM=simulator))
        self.addCleanup(process.kill)
        return process

    def finish(self, process, *collectors):
        """The recorder's status, report and errors once it ended; killed at once when a collector
        could not decode a message."""
        wait_for(lambda: process.poll() is not None or any(c.error for c in collectors))
        if process.poll() is None:
            process.kill()
        process.wait()
        with open(f"{self.path}/out.txt") as out, open(f"{self.path}/err.txt") as err:
            return process.returncode, out.read(), err.read()

    def stream_line(self, report, endpoint_part):
        return next(line for line in report.splitlines() if line.startswith("stream:") and endpoint_part in line)

    def test_messages_decode_and_each_endpoint_gets_every_frame_as_written_to_disk(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            tcp = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
        collector = Collector(self.endpoint(), keep=True)
        example = subprocess.Popen([sys.executable, EXAMPLE, tcp, "--hdf5", f"{self.path}/copy.h5"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(example.kill)
        status, report, errors = self.finish(self.record(
            ["exposure-time=0.01", "-n", "5", "--format", "hdf5", "-o", f"{self.path}/out", "--stream",
             self.endpoint(), "--stream", tcp, "--stream-user-data", '{"sample": "Fe", "n": [1, 2.5]}']), collector)
        messages = collector.finish()
        self.assertEqual(status, 0, errors)
        self.assertEqual([m["type"] for m in messages], ["start"] + ["image"] * 5 + ["end"])
        self.assertTrue({40, 69} <= collector.tags, collector.tags)
        start, end = messages[0], messages[-1]
        self.assertEqual((start["image_size_x"], start["image_size_y"], start["number_of_images"]), (256, 128, 5))
        self.assertEqual(start["user_data"], {"sample": "Fe", "n": [1, 2.5]})
        self.assertAlmostEqual(start["count_time"], 0.01)
        self.assertEqual((end["frames_sent"], end["frames_dropped"]), (5, 0))
        with h5py.File(f"{self.path}/out/frames.h5", "r") as written:
            disk = written["/exchange/data"][...]
        self.assertEqual(image_ids(messages), list(range(5)))
        for message in messages[1:-1]:
            dimensions, pixels = message["data"][start["channels"][0]]
            self.assertEqual(dimensions, [128, 256])
            np.testing.assert_array_equal(pixels.reshape(dimensions), disk[message["image_id"]])
        # The example on the second endpoint: every frame, the same file as the recorder's.
        example_out, example_err = example.communicate(timeout=BOUND)
        self.assertEqual(example.returncode, 0, example_err)
        self.assertEqual(len(re.findall(r"^image \d+ \w+: mean", example_out, re.MULTILINE)), 5, example_out)
        with h5py.File(f"{self.path}/copy.h5", "r") as copy:
            np.testing.assert_array_equal(copy["/exchange/data"][...], disk)
            self.assertEqual(copy["/exchange/data"].attrs["complete"], 1)
        self.assertIn("5 frames sent, 0 dropped", self.stream_line(report, "tcp://127.0.0.1"))

    def test_clients_on_one_endpoint_share_the_frames(self):
        collectors = [Collector(self.endpoint()) for _ in range(2)]
        status, report, errors = self.finish(
            self.record(["exposure-time=0.02", "-n", "40", "--stream", self.endpoint()]), *collectors)
        shares = [set(image_ids(c.finish())) for c in collectors]
        self.assertEqual(status, 0, errors)
        self.assertEqual((shares[0] & shares[1], shares[0] | shares[1]), (set(), set(range(40))))
        self.assertIn("2 joined", self.stream_line(report, "ipc://"))

    def test_a_slow_consumer_with_block_loses_nothing_and_memory_stays_within_the_buffer(self):
        peaks, torn = [], []
        # Slots are reused all the time here: one touched before ZeroMQ let go would tear.
        collector = Collector(self.endpoint(), delay=0.01, inspect=lambda m: is_pattern(pixels_of(m)) or torn.append(m))
        for streamed in ([], ["--stream", self.endpoint()]):
            process = self.record(["exposure-time=0", "-n", "150", "--buffer", "16M", "-o", f"{self.path}/{len(streamed)}"]
                                  + streamed, "sensors=1024x1024;readout_ns_per_pixel=0")
            deadline, peak = time.monotonic() + BOUND, 0
            while process.poll() is None and not collector.error and time.monotonic() < deadline:
                try:
                    with open(f"/proc/{process.pid}/status") as status:
                        peak = max(peak, int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1)))
                except (OSError, AttributeError):
                    pass  # ended meanwhile
                time.sleep(0.05)
            status, report, errors = self.finish(process, collector)
            self.assertEqual(status, 0, errors)
            peaks.append(peak)
        messages = collector.finish()
        self.assertEqual((image_ids(messages), end_of(messages)["frames_dropped"], torn), (list(range(150)), 0, []))
        # 300 MiB went through a 16 MiB buffer; ZeroMQ's queues hold buffer slots, not copies.
        # Frames piling up would cost about 300 MiB; the sanitizers' shadow memory adds to what
        # the stream touches (ThreadSanitizer: about 100 MiB here).
        self.assertLess(peaks[1] - peaks[0], 150 * 1024, peaks)

    def test_a_slow_consumer_with_drop_misses_exactly_the_dropped_frames(self):
        collector = Collector(self.endpoint(), delay=0.005)
        status, report, errors = self.finish(self.record(
            ["exposure-time=0", "-n", "300", "--stream", self.endpoint(), "--stream-policy", "drop", "-o",
             f"{self.path}/out"]), collector)
        messages = collector.finish()
        self.assertEqual(status, 0, errors)
        ids, end = image_ids(messages), end_of(messages)
        self.assertIsNotNone(end, "the end message arrives after the drops")
        self.assertGreater(end["frames_dropped"], 0)
        self.assertEqual((300 - len(ids), ids), (end["frames_dropped"], sorted(set(ids))))
        self.assertIn(f"{end['frames_sent']} frames sent, {end['frames_dropped']} dropped (drop)",
                      self.stream_line(report, "ipc://"))
        self.assertIn("written:    300 frames", report)

    # The second consumer leaves after the end message, which the recorder waits for.
    def test_a_consumer_that_restarts_sees_the_gap_in_image_id(self):
        first = Collector(self.endpoint(), delay=0.02, limit=10)
        process = self.record(["exposure-time=0.005", "-n", "200", "--stream", self.endpoint()])
        first.join(BOUND)
        second = Collector(self.endpoint())
        status, report, errors = self.finish(process, first, second)
        messages = second.finish()
        self.assertEqual(status, 0, errors)
        before, after = image_ids(first.finish()), image_ids(messages)
        self.assertEqual(before, list(range(10)))
        self.assertGreater(after[0], before[-1] + 1, "frames queued for the first consumer are lost")
        self.assertEqual(after, list(range(after[0], 200)))
        self.assertIsNotNone(end_of(messages))
        self.assertRegex(self.stream_line(report, "ipc://"), "200 frames sent, 0 dropped.* 2 joined, 2 left")

    def test_without_consumers_drop_counts_and_block_waits_until_a_signal(self):
        for policy, status_expected in (("drop", 0), ("block", 128 + signal.SIGINT)):
            with self.subTest(policy=policy):
                process = self.record(["exposure-time=0", "-n", "20", "--stream", self.endpoint(policy),
                                       "--stream-policy", policy, "-o", f"{self.path}/{policy}-files"])
                if policy == "block":
                    self.assertTrue(wait_for(lambda: "waiting for a consumer" in pathlib.Path(f"{self.path}/err.txt").read_text()))
                    process.send_signal(signal.SIGINT)
                status, report, errors = self.finish(process)
                self.assertEqual(status, status_expected, errors)
                frames = int(re.search(r"^frames: +(\d+)", report, re.MULTILINE).group(1))
                self.assertTrue(frames == 20 or policy == "block")
                self.assertIn(f"written:    {frames} frames", report)
                self.assertRegex(self.stream_line(report, policy), f"0 frames sent, {frames} dropped.*end not sent")

    def test_a_signal_mid_stream_still_sends_the_end(self):
        collector = Collector(self.endpoint(), delay=0.01)
        process = self.record(["exposure-time=0.005", "-n", "0", "--stream", self.endpoint()])
        self.assertTrue(wait_for(lambda: len(collector.messages) > 10 or collector.error))
        process.send_signal(signal.SIGINT)
        status, report, errors = self.finish(process, collector)
        messages = collector.finish()
        self.assertEqual(status, 130, errors)
        ids, end = image_ids(messages), end_of(messages)
        self.assertEqual(ids, list(range(len(ids))))
        self.assertEqual((end["frames_sent"], end["frames_dropped"]), (len(ids), 0))

    def test_curve_admits_only_listed_keys(self):
        def keys(name):
            text = subprocess.run([RECORD, "--stream-keygen"], capture_output=True, text=True, timeout=BOUND).stdout
            with open(f"{self.path}/{name}", "w") as file:
                file.write(text)
            return tuple(re.search(rf"^{label}: (.+)$", text, re.MULTILINE).group(1).encode()
                         for label in ("public", "secret"))
        server, admitted, stranger = keys("server"), keys("admitted"), keys("stranger")
        with open(f"{self.path}/clients", "w") as clients:
            clients.write(f"# the beamline's viewer\npublic: {admitted[0].decode()}\n")
        outsider = Collector(self.endpoint(), curve=(server[0],) + stranger)
        insider = Collector(self.endpoint(), curve=(server[0],) + admitted)
        status, report, errors = self.finish(self.record(
            ["exposure-time=0.05", "-n", "10", "--stream", self.endpoint(), "--stream-curve-secret",
             f"{self.path}/server", "--stream-curve-clients", f"{self.path}/clients"]), insider, outsider)
        self.assertEqual(status, 0, errors)
        self.assertEqual((image_ids(insider.finish()), outsider.finish()), (list(range(10)), []))
        self.assertRegex(self.stream_line(report, "ipc://"), r"[1-9]\d* refused")

    def test_bad_stream_input_exits_2_before_the_camera_is_touched(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            ipc = ["--stream", self.endpoint()]
            for arguments, reason in (
                    (["--stream", "carrier-pigeon://loft"], "Protocol not supported"),
                    (["--stream", "tcp://127.0.0.1"], "Invalid argument"),
                    (["--stream", "tcp://127.0.0.1:99999"], "none of 0 to 65535"),
                    (["--stream", f"tcp://127.0.0.1:{taken.getsockname()[1]}"], "Address already in use"),
                    (ipc + ["--stream-user-data", "{sample: Fe}"], "not JSON"),
                    (ipc + ["--stream-curve-secret", f"{self.path}/none", "--stream-curve-clients", f"{self.path}/none"],
                     "Cannot read --stream-curve-secret"),
                    (ipc + ["--stream-curve-secret", f"{self.path}/none"], "go together"),
                    (ipc + ["--stream-policy", "hope"], "stream policy")):
                with self.subTest(arguments=arguments):
                    # No detector at all: a camera opened would fail differently.
                    status, _, errors = self.finish(self.record(["-n", "1"] + arguments,
                                                                "sensors=none"))
                    self.assertEqual(status, 2, errors)
                    self.assertIn(reason, errors)
                    self.assertNotIn("[Detector]", errors)

    # Messages as another detector's source may send them: standard keys only, two channels, lz4
    # and bslz4 in the HDF5 filters' framing; the second series skips image 2.
    def test_the_example_reads_two_compressed_channels_and_finds_a_gap(self):
        import bitshuffle
        import lz4.block
        rng = np.random.default_rng(7)
        frames = [{name: rng.integers(0, 4000, (40, 60), dtype="<u2") for name in ("lz4", "bslz4")} for _ in range(4)]

        def compressed(name, frame):
            if name == "bslz4":
                return struct.pack(">QI", frame.nbytes, 2048) + bitshuffle.compress_lz4(frame.ravel(), 1024).tobytes()
            data = frame.tobytes()
            blocks = (lz4.block.compress(data[at:at + 4096], store_size=False) for at in range(0, len(data), 4096))
            return struct.pack(">QI", len(data), 4096) + b"".join(struct.pack(">I", len(b)) + b for b in blocks)

        def message(**fields):
            return cbor2.dumps(cbor2.CBORTag(55799, fields))
        context = zmq.Context()
        push = context.socket(zmq.PUSH)
        push.bind(self.endpoint("source"))
        example = subprocess.Popen([sys.executable, EXAMPLE, self.endpoint("source"), "--series", "2", "--hdf5",
                                    f"{self.path}/first.h5", "--timeout", str(BOUND)],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for series, ids in ((1, (0, 1, 2, 3)), (2, (0, 1, 3))):
            names = dict(series_id=series, series_unique_id=f"s{series}")
            push.send(message(type="start", channels=["lz4", "bslz4"], number_of_images=4, **names))
            for image_id in ids:
                push.send(message(type="image", image_id=image_id, **names, data={
                    name: cbor2.CBORTag(40, [list(frame.shape), cbor2.CBORTag(69, cbor2.CBORTag(
                        56500, [name, 0 if name == "lz4" else 2, compressed(name, frame)]))])
                    for name, frame in frames[image_id].items()}))
            push.send(message(type="end", **names))
        out, err = example.communicate(timeout=BOUND)
        push.close(linger=0)
        context.term()
        self.assertEqual(example.returncode, 1, err)
        self.assertIn("series 1: 4 images received, 0 missing", out)
        self.assertIn("series 2: 3 images received, 1 missing", out)
        printed = re.findall(r"^image (\d) (\w+): mean ([\d.]+), min (\d+), max (\d+)$", out, re.MULTILINE)
        self.assertEqual(len(printed), 14, out)
        for image_id, name, mean, low, high in printed:
            frame = frames[int(image_id)][name]
            self.assertEqual((float(mean), int(low), int(high)), (round(frame.mean(), 2), frame.min(), frame.max()))
        with h5py.File(f"{self.path}/first.h5", "r") as first:
            for dataset, name in (("data", "lz4"), ("data_bslz4", "bslz4")):
                np.testing.assert_array_equal(first["exchange"][dataset][...], [f[name] for f in frames])
            self.assertEqual(first["/exchange/data"].attrs["complete"], 1)


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
        # No subtests: a reader that never sees the file grow ends the test at once. The writer
        # flushes several times a second, so a minute holds even under the sanitizers.
        for stop in (signal.SIGINT, signal.SIGKILL):
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
                    self.assertTrue(wait_for(grown, 60))
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
