# SPDX-License-Identifier: LGPL-2.1-or-later
"""uca-record --stream as consumers meet it: messages decoded with cbor2, back-pressure, several
consumers, CURVE, and examples/stream_consumer.py against uca-record and against hand-made
compressed messages. Loopback and ipc only; every wait has a bound that holds under the
sanitizers on a loaded machine."""

import os
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
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples",
                       "stream_consumer.py")
FAST = "sensors=256x128;readout_ns_per_pixel=0"
BOUND = 150  # seconds: any one wait; ThreadSanitizer runs the recorder many times slower
PREFIX = b"\xd9\xd9\xf7"


def decode(raw, tags=None):
    def hook(decoder, tag):
        if tags is not None:
            tags.add(tag.tag)
        if tag.tag == 69:
            return np.frombuffer(tag.value, "<u2")
        if tag.tag == 40:
            return (tag.value[0], tag.value[1])
        return tag
    return cbor2.loads(raw, tag_hook=hook)


def is_pattern_frame(message):
    """Whether an image is one whole frame of the simulator's pattern, (x ^ (y << 6)) + 17 n."""
    dimensions, pixels = next(iter(message["data"].values()))
    y, x = np.indices(dimensions, dtype=np.uint32)
    offsets = pixels.reshape(dimensions) - ((x ^ (y << 6)) & 0xFFFF).astype(np.uint16)
    return bool((offsets == offsets.flat[0]).all())


def image_ids(messages):
    return [m["image_id"] for m in messages if m["type"] == "image"]


def end_of(messages):
    ends = [m for m in messages if m["type"] == "end"]
    return ends[0] if ends else None


class Collector(threading.Thread):
    """A PULL client keeping what it receives (pixels only with `keep_raw`) until the end
    message, `limit` images, stop() and a quiet moment, or the bound."""

    def __init__(self, endpoint, delay=0.0, limit=None, keep_raw=False, curve=None, inspect=None):
        super().__init__(daemon=True)
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.PULL)
        self.socket.setsockopt(zmq.RCVHWM, 1 if delay else 1000)
        self.socket.setsockopt(zmq.LINGER, 0)
        if curve:
            server_public, public, secret = curve
            self.socket.curve_serverkey, self.socket.curve_publickey, self.socket.curve_secretkey = (
                server_public.encode(), public.encode(), secret.encode())
        self.socket.connect(endpoint)
        self.delay, self.limit, self.keep_raw, self.inspect = delay, limit, keep_raw, inspect
        self.messages, self.raw = [], []
        self.stopping = threading.Event()
        self.start()

    def run(self):
        deadline = time.monotonic() + BOUND
        while time.monotonic() < deadline:
            if not self.socket.poll(200):
                if self.stopping.is_set():
                    break
                continue
            raw = self.socket.recv()
            message = decode(raw)
            if message["type"] == "image" and self.inspect:
                self.inspect(message)
            if message["type"] == "image" and not self.keep_raw:
                del message["data"]
            self.messages.append(message)
            if self.keep_raw:
                self.raw.append(raw)
            if message["type"] == "end" or (self.limit and len(image_ids(self.messages)) >= self.limit):
                break
            time.sleep(self.delay)
        self.socket.close()
        self.context.term()

    def finish(self):
        self.stopping.set()
        self.join(BOUND)
        return self.messages


class Recording:
    """uca-record running in the background, its output in files."""

    def __init__(self, directory, arguments, simulator=FAST):
        self.out_path, self.err_path = os.path.join(directory, "out.txt"), os.path.join(directory, "err.txt")
        with open(self.out_path, "w") as out, open(self.err_path, "w") as err:
            self.process = subprocess.Popen([RECORD, "tessaravolt"] + arguments, stdout=out, stderr=err,
                                            env=dict(os.environ, XISL_SIM=simulator))

    def finish(self):
        try:
            self.process.wait(BOUND)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        with open(self.out_path) as out, open(self.err_path) as err:
            return self.process.returncode, out.read(), err.read()

    def errors(self):
        with open(self.err_path) as err:
            return err.read()

    def peak_resident_kib(self):
        try:
            with open(f"/proc/{self.process.pid}/status") as status:
                return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
        except (OSError, AttributeError):
            return None


def wait_for(condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def stream_line(report, endpoint_part):
    return next(line for line in report.splitlines() if line.startswith("stream:") and endpoint_part in line)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class StreamTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.path = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def endpoint(self, name="frames"):
        return f"ipc://{self.path}/{name}"

    def record(self, arguments, simulator=FAST):
        return Recording(self.path, arguments, simulator)

    def test_messages_decode_and_each_endpoint_gets_every_frame_as_written_to_disk(self):
        tcp = f"tcp://127.0.0.1:{free_port()}"
        collector = Collector(self.endpoint(), keep_raw=True)
        example = subprocess.Popen([sys.executable, EXAMPLE, tcp, "--hdf5", f"{self.path}/copy.h5"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        status, report, errors = self.record(
            ["exposure-time=0.01", "-n", "5", "--format", "hdf5", "-o", f"{self.path}/out",
             "--stream", self.endpoint(), "--stream", tcp, "--stream-user-data", '{"sample": "Fe", "n": [1, 2.5]}'],
        ).finish()
        collector.finish()
        example_out, example_err = example.communicate(timeout=BOUND)
        self.assertEqual(status, 0, errors)

        tags = set()
        messages = [decode(raw, tags) for raw in collector.raw]
        self.assertTrue(all(raw.startswith(PREFIX) for raw in collector.raw))
        self.assertEqual([m["type"] for m in messages], ["start"] + ["image"] * 5 + ["end"])
        self.assertTrue(all(next(iter(m)) == "type" for m in messages))
        self.assertTrue({40, 69} <= tags, tags)
        start, end = messages[0], messages[-1]
        self.assertEqual((start["image_size_x"], start["image_size_y"], start["number_of_images"]), (256, 128, 5))
        self.assertEqual(start["user_data"], {"sample": "Fe", "n": [1, 2.5]})
        self.assertAlmostEqual(start["count_time"], 0.01)
        self.assertEqual((end["frames_sent"], end["frames_dropped"]), (5, 0))
        with h5py.File(f"{self.path}/out/frames.h5", "r") as written:
            disk = written["/exchange/data"][...]
        for message in messages[1:-1]:
            dimensions, pixels = message["data"][start["channels"][0]]
            self.assertEqual(dimensions, [128, 256])
            np.testing.assert_array_equal(pixels.reshape(dimensions), disk[message["image_id"]])

        # The example on the second endpoint: every frame, the same file as the recorder's.
        self.assertEqual(example.returncode, 0, example_err)
        self.assertEqual(len(re.findall(r"^image \d+ \w+: mean", example_out, re.MULTILINE)), 5, example_out)
        with h5py.File(f"{self.path}/copy.h5", "r") as copy:
            np.testing.assert_array_equal(copy["/exchange/data"][...], disk)
            self.assertEqual(copy["/exchange/data"].attrs["complete"], 1)
        self.assertIn("5 frames sent, 0 dropped", stream_line(report, "tcp://127.0.0.1"))

    def test_clients_on_one_endpoint_share_the_frames(self):
        collectors = [Collector(self.endpoint()) for _ in range(2)]
        status, report, errors = self.record(
            ["exposure-time=0.02", "-n", "40", "--stream", self.endpoint()]).finish()
        shares = [set(image_ids(c.finish())) for c in collectors]
        self.assertEqual(status, 0, errors)
        self.assertFalse(shares[0] & shares[1])
        self.assertEqual(shares[0] | shares[1], set(range(40)))
        self.assertIn("2 joined", stream_line(report, "ipc://"))

    def test_a_slow_consumer_with_block_loses_nothing_and_memory_stays_within_the_buffer(self):
        big = "sensors=1024x1024;readout_ns_per_pixel=0"
        common = ["exposure-time=0", "-n", "150", "--buffer", "16M", "-o", f"{self.path}/DIR"]
        peaks, collector, torn = [], None, []
        for streamed in (False, True):
            if streamed:
                # Slots are reused all the time here: one touched before ZeroMQ let go would tear.
                collector = Collector(self.endpoint(), delay=0.01,
                                      inspect=lambda m: is_pattern_frame(m) or torn.append(m["image_id"]))
            recording = self.record([a.replace("DIR", str(streamed)) for a in common]
                                    + (["--stream", self.endpoint()] if streamed else []), big)
            peak = 0
            deadline = time.monotonic() + BOUND
            while recording.process.poll() is None and time.monotonic() < deadline:
                peak = max(peak, recording.peak_resident_kib() or 0)
                time.sleep(0.05)
            status, report, errors = recording.finish()
            self.assertEqual(status, 0, errors)
            peaks.append(peak)
        messages = collector.finish()
        self.assertEqual(image_ids(messages), list(range(150)))
        self.assertEqual(end_of(messages)["frames_dropped"], 0)
        self.assertEqual(torn, [])
        # 300 MiB went through a 16 MiB buffer; ZeroMQ's queues hold buffer slots, not copies.
        # Frames piling up would cost about 300 MiB; the sanitizers' shadow memory adds to what
        # the stream touches (ThreadSanitizer: about 100 MiB here).
        self.assertLess(peaks[1] - peaks[0], 150 * 1024, peaks)

    def test_a_slow_consumer_with_drop_misses_exactly_the_dropped_frames(self):
        collector = Collector(self.endpoint(), delay=0.005)
        status, report, errors = self.record(
            ["exposure-time=0", "-n", "300", "--stream", self.endpoint(), "--stream-policy", "drop",
             "-o", f"{self.path}/out"]).finish()
        messages = collector.finish()
        self.assertEqual(status, 0, errors)
        ids = image_ids(messages)
        end = end_of(messages)
        self.assertIsNotNone(end, "the end message arrives after the drops")
        self.assertGreater(end["frames_dropped"], 0)
        self.assertEqual(300 - len(ids), end["frames_dropped"])
        self.assertEqual(ids, sorted(set(ids)))
        self.assertIn(f"{end['frames_sent']} frames sent, {end['frames_dropped']} dropped (drop)",
                      stream_line(report, "ipc://"))
        self.assertIn("written:    300 frames", report)

    def test_a_consumer_that_restarts_sees_the_gap_in_image_id(self):
        first = Collector(self.endpoint(), delay=0.02, limit=10)
        recording = self.record(["exposure-time=0.005", "-n", "200", "--stream", self.endpoint()])
        first.join(BOUND)
        second = Collector(self.endpoint())
        status, report, errors = recording.finish()
        messages = second.finish()
        self.assertEqual(status, 0, errors)
        before, after = image_ids(first.messages), image_ids(messages)
        self.assertEqual(before, list(range(10)))
        self.assertGreater(after[0], before[-1] + 1, "frames queued for the first consumer are lost")
        self.assertEqual(after, list(range(after[0], 200)))
        self.assertIsNotNone(end_of(messages))
        self.assertIn("200 frames sent, 0 dropped", stream_line(report, "ipc://"))
        # The second leaves after the end message, which the recorder waits for.
        self.assertIn("2 joined, 2 left", stream_line(report, "ipc://"))

    def test_without_consumers_drop_counts_and_block_waits_until_a_signal(self):
        for policy, status_expected in (("drop", 0), ("block", 128 + signal.SIGINT)):
            with self.subTest(policy=policy):
                recording = self.record(["exposure-time=0", "-n", "20", "--stream", self.endpoint(policy),
                                         "--stream-policy", policy, "-o", f"{self.path}/{policy}-files"])
                if policy == "block":
                    self.assertTrue(wait_for(lambda: "waiting for a consumer" in recording.errors()))
                    recording.process.send_signal(signal.SIGINT)
                status, report, errors = recording.finish()
                self.assertEqual(status, status_expected, errors)
                frames = int(re.search(r"^frames: +(\d+)", report, re.MULTILINE).group(1))
                if policy == "drop":
                    self.assertEqual(frames, 20)
                self.assertIn(f"written:    {frames} frames", report)
                line = stream_line(report, policy)
                self.assertIn(f"0 frames sent, {frames} dropped", line)
                self.assertIn("end not sent", line)

    def test_a_signal_mid_stream_still_sends_the_end(self):
        collector = Collector(self.endpoint(), delay=0.01)
        recording = self.record(["exposure-time=0.005", "-n", "0", "--stream", self.endpoint()])
        self.assertTrue(wait_for(lambda: len(collector.messages) > 10))
        recording.process.send_signal(signal.SIGINT)
        status, report, errors = recording.finish()
        messages = collector.finish()
        self.assertEqual(status, 130, errors)
        ids, end = image_ids(messages), end_of(messages)
        self.assertIsNotNone(end)
        self.assertEqual(ids, list(range(len(ids))))
        self.assertEqual((end["frames_sent"], end["frames_dropped"]), (len(ids), 0))

    def keys(self, name):
        text = subprocess.run([RECORD, "--stream-keygen"], capture_output=True, text=True, timeout=BOUND).stdout
        with open(f"{self.path}/{name}", "w") as keys:
            keys.write(text)
        return tuple(re.search(rf"^{label}: (.+)$", text, re.MULTILINE).group(1) for label in ("public", "secret"))

    def test_curve_admits_only_listed_keys(self):
        server, admitted, stranger = self.keys("server"), self.keys("admitted"), self.keys("stranger")
        with open(f"{self.path}/clients", "w") as clients:
            clients.write(f"# the beamline's viewer\npublic: {admitted[0]}\n")
        outsider = Collector(self.endpoint(), curve=(server[0],) + stranger)
        insider = Collector(self.endpoint(), curve=(server[0],) + admitted)
        status, report, errors = self.record(
            ["exposure-time=0.01", "-n", "10", "--stream", self.endpoint(), "--stream-curve-secret",
             f"{self.path}/server", "--stream-curve-clients", f"{self.path}/clients"]).finish()
        self.assertEqual(status, 0, errors)
        self.assertEqual(image_ids(insider.finish()), list(range(10)))
        self.assertEqual(outsider.finish(), [])
        self.assertRegex(stream_line(report, "ipc://"), r"[1-9]\d* refused")

    def test_bad_stream_input_exits_2_before_the_camera_is_touched(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            cases = (
                (["--stream", "carrier-pigeon://loft"], "Protocol not supported"),
                (["--stream", "tcp://127.0.0.1"], "Invalid argument"),
                (["--stream", "tcp://127.0.0.1:99999"], "none of 0 to 65535"),
                (["--stream", f"tcp://127.0.0.1:{taken.getsockname()[1]}"], "Address already in use"),
                (["--stream", self.endpoint(), "--stream-user-data", "{sample: Fe}"], "not JSON"),
                (["--stream", self.endpoint(), "--stream-curve-secret", f"{self.path}/none",
                  "--stream-curve-clients", f"{self.path}/none"], "Cannot read --stream-curve-secret"),
                (["--stream", self.endpoint(), "--stream-curve-secret", f"{self.path}/none"], "go together"),
                (["--stream", self.endpoint(), "--stream-policy", "hope"], "stream policy"),
            )
            for arguments, reason in cases:
                with self.subTest(arguments=arguments):
                    # No detector at all: a camera opened would fail differently.
                    status, report, errors = self.record(["-n", "1"] + arguments, "sensors=none").finish()
                    self.assertEqual(status, 2, errors)
                    self.assertIn(reason, errors)
                    self.assertNotIn("[Detector]", errors)


class ExampleAgainstOtherSources(unittest.TestCase):
    """Messages as another detector's source may send them: standard keys only, two channels,
    lz4 and bslz4 in the HDF5 filters' framing."""

    @staticmethod
    def lz4_framed(data, block=4096):
        import lz4.block
        blocks = b""
        for offset in range(0, len(data), block):
            compressed = lz4.block.compress(data[offset:offset + block], store_size=False)
            blocks += struct.pack(">I", len(compressed)) + compressed
        return struct.pack(">QI", len(data), block) + blocks

    @staticmethod
    def bslz4_framed(array):
        import bitshuffle
        block_elements = 1024
        return (struct.pack(">QI", array.nbytes, block_elements * array.itemsize)
                + bitshuffle.compress_lz4(array, block_elements).tobytes())

    def message(self, **fields):
        return cbor2.dumps(cbor2.CBORTag(55799, fields))

    def image(self, series, image_id, frames):
        compressed = {
            "lz4": cbor2.CBORTag(56500, ["lz4", 0, self.lz4_framed(frames["lz4"].tobytes())]),
            "bslz4": cbor2.CBORTag(56500, ["bslz4", 2, self.bslz4_framed(frames["bslz4"].ravel())]),
        }
        data = {name: cbor2.CBORTag(40, [list(frames[name].shape), cbor2.CBORTag(69, payload)])
                for name, payload in compressed.items()}
        return self.message(type="image", series_id=series, series_unique_id=f"s{series}", image_id=image_id,
                            data=data)

    def test_two_channels_compressed_and_a_gap(self):
        rng = np.random.default_rng(7)
        frames = [{name: rng.integers(0, 4000, (40, 60), dtype="<u2") for name in ("lz4", "bslz4")}
                  for _ in range(4)]
        with tempfile.TemporaryDirectory() as directory:
            context = zmq.Context()
            push = context.socket(zmq.PUSH)
            endpoint = f"ipc://{directory}/source"
            push.bind(endpoint)
            example = subprocess.Popen([sys.executable, EXAMPLE, endpoint, "--series", "2", "--hdf5",
                                        f"{directory}/first.h5", "--timeout", str(BOUND)],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            # The second series skips image 2.
            for series, ids in ((1, (0, 1, 2, 3)), (2, (0, 1, 3))):
                push.send(self.message(type="start", series_id=series, series_unique_id=f"s{series}",
                                       channels=["lz4", "bslz4"], number_of_images=4))
                for image_id in ids:
                    push.send(self.image(series, image_id, frames[image_id]))
                push.send(self.message(type="end", series_id=series, series_unique_id=f"s{series}"))
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
                self.assertEqual((float(mean), int(low), int(high)), (round(frame.mean(), 2), frame.min(),
                                                                        frame.max()))
            with h5py.File(f"{directory}/first.h5", "r") as first:
                np.testing.assert_array_equal(first["/exchange/data"][...], [f["lz4"] for f in frames])
                np.testing.assert_array_equal(first["/exchange/data_bslz4"][...], [f["bslz4"] for f in frames])
                self.assertEqual(first["/exchange/data"].attrs["complete"], 1)


if __name__ == "__main__":
    unittest.main()
