# SPDX-License-Identifier: LGPL-2.1-or-later
# uca-record as Python clients meet it: its live stream (pyzmq, cbor2, examples/stream_consumer.py)
# and its HDF5 files (h5py). Every wait has a bound that holds under the sanitizers.

import datetime, json, os, pathlib, re, signal, socket, subprocess, sys, tempfile, threading, time, unittest

import cbor2, dxchange, h5py, zmq
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_pattern import is_pattern  # noqa: E402

RECORD = os.environ["UCA_RECORD"]
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples", "stream_consumer.py")
FAST = "sensors=256x128;readout_ns_per_pixel=0"
BOUND = 150  # seconds: any one wait; ThreadSanitizer runs the recorder many times slower
# Each series with settings of its own, so that a dataset's attributes can only be its own run's:
# dataset, timestamps, frames, width, exposure time.
SERIES = {"dark": ("data_dark", "timestamps_dark", 2, 64, 0.002),
          "flat": ("data_white", "timestamps_white", 3, 96, 0.003), "data": ("data", "timestamps", 4, 128, 0.004)}


def decompress(algorithm, modifier, data):
    # Debian's python3-lz4 and bitshuffle as the oracles of the convention's framing.
    import bitshuffle, lz4.block, struct
    total, block = struct.unpack_from(">QI", data)
    if algorithm == "bslz4":
        return bitshuffle.decompress_lz4(np.frombuffer(data, np.uint8, offset=12), (total // modifier,),
                                         np.dtype(f"<u{modifier}"), block // modifier).tobytes()
    out, offset = b"", 12
    while len(out) < total:
        (size,) = struct.unpack_from(">I", data, offset)
        expected = min(block, total - len(out))
        chunk = data[offset + 4:offset + 4 + size]
        out += chunk if size == expected else lz4.block.decompress(chunk, uncompressed_size=expected)
        offset += 4 + size
    return out


def wait_for(condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def image_ids(messages):
    return [m["image_id"] for m in messages if m["type"] == "image"]


def live_frames(path):
    # (frames, complete) as a reader joining the growing file sees them; None before it opens.
    try:
        with h5py.File(path, "r", libver="latest", swmr=True) as f:
            data = f["/exchange/data"]
            return data.shape[0], int(data.attrs["complete"])
    except (OSError, KeyError):
        return None


def stream_line(report, endpoint_part):
    return next(line for line in report.splitlines() if line.startswith("stream:") and endpoint_part in line)


class Collector(threading.Thread):
    # A PULL client keeping what it receives (pixels only with `keep`) until the end message,
    # finish() and a quiet moment, the bound, or a message it cannot decode.

    def __init__(self, endpoint, delay=0.0, keep=False, curve=None, inspect=None):
        super().__init__(daemon=True)
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.PULL)
        self.socket.setsockopt(zmq.RCVHWM, 1 if delay else 1000)
        self.socket.setsockopt(zmq.LINGER, 0)
        self.socket.setsockopt(zmq.IPV6, 1)
        if curve:
            self.socket.curve_serverkey, self.socket.curve_publickey, self.socket.curve_secretkey = curve
        self.socket.connect(endpoint)
        self.delay, self.keep, self.inspect = delay, keep, inspect
        self.messages, self.tags, self.error, self.stopping = [], set(), None, threading.Event()
        self.start()

    # Typed arrays: little-endian only; uint16 pixels, the calibration's float32 gains and uint32 masks.
    TYPED = {69: "<u2", 70: "<u4", 85: "<f4"}

    def tag(self, decoder, tag):
        self.tags.add(tag.tag)
        if 64 <= tag.tag <= 87 and tag.tag not in self.TYPED:
            raise ValueError(f"pixels tagged {tag.tag}")
        return np.frombuffer(tag.value, self.TYPED[tag.tag]) if tag.tag in self.TYPED else \
            tag.value[1].reshape(tag.value[0]) if tag.tag == 40 else decompress(*tag.value) if tag.tag == 56500 else tag

    def run(self):
        deadline = time.monotonic() + BOUND
        try:
            while time.monotonic() < deadline and (self.socket.poll(200) or not self.stopping.is_set()):
                if not self.socket.poll(0):
                    continue
                raw = self.socket.recv()
                assert raw.startswith(b"\xd9\xd9\xf7"), raw[:8]  # self-described CBOR
                message = cbor2.loads(raw, tag_hook=self.tag)
                assert next(iter(message)) == "type", message.keys()
                if message["type"] == "image":
                    if self.inspect:
                        self.inspect(next(iter(message["data"].values())))
                    if not self.keep:
                        del message["data"]
                self.messages.append(message)
                if message["type"] == "end":
                    break
                time.sleep(self.delay)
        except Exception as error:  # noqa: BLE001: any failure to read a message ends the run
            self.error = error
        self.socket.close()
        self.context.term()

    def finish(self):
        # Joined, so that nothing is appended while the caller compares.
        self.stopping.set()
        self.join(BOUND)
        assert not self.is_alive() and self.error is None, self.error
        return self.messages


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.path = self.enterContext(tempfile.TemporaryDirectory())
        self.endpoint, self.folder, self.file = f"ipc://{self.path}/frames", f"{self.path}/scan", f"{self.path}/scan/frames.h5"

    def start(self, *arguments, simulator=FAST):
        with open(f"{self.path}/out.txt", "w") as out, open(f"{self.path}/err.txt", "w") as err:
            process = subprocess.Popen([RECORD, "tessaravolt", *arguments], stdout=out, stderr=err,
                                       env=dict(os.environ, XISL_SIM=simulator))
        self.addCleanup(process.kill)
        return process

    def finish(self, process, *collectors):
        # The recorder's status, report and errors once it ended; killed at once when a collector
        # could not decode a message.
        wait_for(lambda: process.poll() is not None or any(c.error for c in collectors))
        if process.poll() is None:
            process.kill()
        process.wait()
        with open(f"{self.path}/out.txt") as out, open(f"{self.path}/err.txt") as err:
            return process.returncode, out.read(), err.read()

    def record(self, *arguments, simulator=FAST, status=0):
        # A whole run, which must end with `status`; its report and errors.
        code, report, errors = self.finish(self.start(*arguments, simulator=simulator))
        self.assertEqual(code, status, errors)
        return report, errors

    def series(self, name, *more, status=0):
        _, _, frames, width, exposure = SERIES[name]
        return self.record("--series", name, f"exposure-time={exposure}", f"roi-width={width}", "-n", str(frames),
                           "-o", self.folder, *more, status=status)

    def test_messages_decode_and_each_endpoint_gets_every_frame_as_written_to_disk(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            tcp = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
        collector = Collector(self.endpoint, keep=True)
        example = subprocess.Popen([sys.executable, EXAMPLE, tcp, "--hdf5", f"{self.path}/copy.h5"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(example.kill)
        status, report, errors = self.finish(self.start(
            "exposure-time=0.01", "-n", "5", "--format", "hdf5", "-o", self.folder, "--stream", self.endpoint,
            "--stream", tcp, "--stream-user-data", '{"sample": "Fe", "n": [1, 2.5]}'), collector)
        messages = collector.finish()
        self.assertEqual(status, 0, errors)
        start, end = messages[0], messages[-1]
        self.assertEqual(([m["type"] for m in messages], image_ids(messages), start["user_data"],
                          (start["image_size_x"], start["image_size_y"], start["number_of_images"]),
                          (end["frames_sent"], end["frames_dropped"]), round(start["count_time"], 9), collector.tags),
                         (["start"] + ["image"] * 5 + ["end"], list(range(5)), {"sample": "Fe", "n": [1, 2.5]},
                          (256, 128, 5), (5, 0), 0.01, collector.tags | {40, 69}))
        with h5py.File(self.file, "r") as written:
            disk = written["/exchange/data"][...]
        for message in messages[1:-1]:
            np.testing.assert_array_equal(message["data"][start["channels"][0]], disk[message["image_id"]])
        # The example on the second endpoint: every frame, the same file as the recorder's.
        example_out, example_err = example.communicate(timeout=BOUND)
        self.assertEqual((example.returncode, len(re.findall(r"^image \d+ \w+: mean", example_out, re.M))), (0, 5),
                         example_err)
        with h5py.File(f"{self.path}/copy.h5", "r") as copy:
            np.testing.assert_array_equal(copy["/exchange/data"][...], disk)
            self.assertEqual(copy["/exchange/data"].attrs["complete"], 1)
        self.assertIn("5 frames sent, 0 dropped", stream_line(report, "tcp://127.0.0.1"))

    def test_the_start_message_has_every_field_consumers_size_their_work_by(self):
        # Key by key, with the convention's names and types; the series number grows from one run
        # to the next in the same folder, as its record keeps it.
        expected = {"type": str, "series_id": int, "series_unique_id": str, "arm_date": datetime.datetime,
                    "detector_description": str, "detector_serial_number": str, "image_size_x": int,
                    "image_size_y": int, "number_of_images": int, "count_time": float, "frame_time": float,
                    "pixel_size_x": float, "pixel_size_y": float, "saturation_value": int, "channels": list,
                    "image_dtype": str, "flatfield_enabled": bool, "pixel_mask_enabled": bool, "corrections": str}
        starts = []
        with socket.socket(socket.AF_INET6) as probe:  # the second run over IPv6's loopback
            probe.bind(("::1", 0))
            ipv6 = f"tcp://[::1]:{probe.getsockname()[1]}"
        # Corrected runs against a calibration of the simulated panel's planted defects, taken with
        # the same settings: the maps of the corrections applied, compressed as the images are.
        flat = "sensors=256x128;readout_ns_per_pixel=0;content=flat"
        calibration = f"{self.path}/calibration"
        for series, beam in (("dark", "off"), ("flat", "on")):
            self.record("--series", series, "exposure-time=0.002", "-n", "4", "-o", calibration,
                        simulator=f"{flat};beam={beam}")
        corrected = ("offset-correction=TRUE", f"calibration-file={calibration}/frames.h5")
        rows = (  # endpoint, arguments, simulator, (flatfield_enabled, pixel_mask_enabled)
            # Binned (the panel bins both ways alike): an image's pixel is two of the sensor's each way.
            (self.endpoint, (), FAST, (False, False)), (ipv6, ("sensor-horizontal-binning=2",), FAST, (False, False)),
            (self.endpoint, corrected, flat, (False, False)),
            # Every key at once: 24 pairs, one more than a map's one-byte head counts.
            (self.endpoint, corrected + ("gain-correction=TRUE", "defect-correction=TRUE", "--stream-compression",
                                         "bslz4", "--stream-user-data", "{}"), flat, (True, True)),
            (self.endpoint, corrected + ("defect-correction=TRUE",), flat, (False, True)),
            (self.endpoint, corrected + ("gain-correction=TRUE",), flat, (True, False)))
        for endpoint, arguments, simulator, enabled in rows:
            collector = Collector(endpoint)
            # The example on a second endpoint reads the maps where they come.
            example = subprocess.Popen([sys.executable, EXAMPLE, f"ipc://{self.path}/example", "--timeout", str(BOUND)],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            self.addCleanup(example.kill)
            status, _, errors = self.finish(self.start("exposure-time=0.002", "-n", "2", "-o", self.folder,
                                                       "--overwrite", "--stream", endpoint, "--stream",
                                                       f"ipc://{self.path}/example", *arguments, simulator=simulator),
                                            collector)
            self.assertEqual(status, 0, errors)
            starts.append(collector.finish()[0])
            example_out, example_err = example.communicate(timeout=BOUND)
            self.assertEqual((example.returncode, "flatfield threshold_1: 128 x 256, gain" in example_out,
                              re.search(r"pixel_mask threshold_1: [1-9]\d* pixels masked", example_out) is not None),
                             (0,) + enabled, example_err)
        with h5py.File(f"{calibration}/frames.h5", "r") as f:
            dark = f["/exchange/data_dark"][...].mean(axis=0)
            response = f["/exchange/data_white"][...].mean(axis=0) - dark
        defects = None  # the mask of the first row that sends one
        self.assertEqual((starts[1]["pixel_size_x"], starts[1]["pixel_size_y"]),
                         (2 * starts[0]["pixel_size_x"], 2 * starts[0]["pixel_size_y"]))
        for start, (_, arguments, _, enabled) in zip(starts, rows):
            self.assertEqual(start["type"], "start")
            for key, kind in expected.items():
                with self.subTest(key=key):
                    self.assertIsInstance(start.get(key), kind)
            self.assertEqual((start["image_dtype"], start["flatfield_enabled"], start["pixel_mask_enabled"],
                              "flatfield" in start, "pixel_mask" in start), ("uint16",) + enabled * 2)
            applied = ["offset", "gain", "defects"][:1 + int(enabled[0])] + ["defects"] * int(enabled[1])
            self.assertEqual(start["corrections"], ",".join(applied) if corrected[0] in arguments else "none")
            # The cycle is never shorter than the exposure it holds.
            self.assertGreaterEqual(start["frame_time"], start["count_time"])
            maps = {key: start[key] for key in ("flatfield", "pixel_mask") if key in start}
            for key, channels in maps.items():
                self.assertEqual((list(channels), channels[start["channels"][0]].shape), (start["channels"], (128, 256)))
            mask = maps.get("pixel_mask", {}).get("threshold_1")
            if mask is not None:
                defects = mask if defects is None else defects
                # The hottest dark is over-responding, the weakest response under-responding; no other bits.
                self.assertEqual((mask.flat[dark.argmax()] & 8, mask.flat[response.argmin()] & 4,
                                  int(np.bitwise_or.reduce(mask.flat)) & ~(4 | 8 | 64)), (8, 4, 0))
            gains = maps.get("flatfield", {}).get("threshold_1")
            if gains is not None:
                # The good pixels' mean response over the pixel's own, in the copy's steps of 2^-14; a
                # defect keeps 1. Defects are found alike with or without their correction.
                good = defects == 0
                np.testing.assert_allclose(gains[good], response[good].mean() / response[good], atol=2 ** -14)
                self.assertTrue((gains[~good] == 1).all() and (~good).sum() > 100)
        self.assertEqual(starts[1]["series_id"], starts[0]["series_id"] + 1)

    def test_user_data_keeps_every_json_value(self):
        # Python's json reads these exactly; a lone surrogate, which UTF-8 cannot hold, is U+FFFD.
        for text in ('{"a": 18446744073709551616, "b": -9223372036854775809, "c": -18446744073709551616}',
                     '[-18446744073709551617, 340282366920938463463374607431768211456, 18446744073709551615]',
                     '{"\\u0000k": "v\\u0000x", "pair": "\\ud83d\\ude00", "lone": "\\ud800 \\udc00"}',
                     '[1, 1.5, -0, 2e3, true, null, {"k": [], "k": {"n": "\\n\\/"}}, ""]'):
            with self.subTest(text=text):
                collector = Collector(self.endpoint)
                status, _, errors = self.finish(self.start("exposure-time=0", "-n", "1", "--stream", self.endpoint,
                                                           "--stream-user-data", text), collector)
                self.assertEqual(status, 0, errors)
                expected = json.loads(re.sub(r"\\ud[89ab]..(?!\\ud[c-f])|(?<!\\ud[89ab]..)\\ud[c-f]..", r"\\ufffd",
                                             text))
                self.assertEqual(collector.finish()[0]["user_data"], expected)

    def test_compressed_frames_decode_with_debian_lz4_and_bitshuffle(self):
        # Debian's python3-lz4 and bitshuffle (decompress) as the oracles; regions whose pixel counts leave
        # bitshuffle's 4096-element blocks whole, a last block short, and a few elements over.
        def tag(decoder, tag):
            if tag.tag == 56500:
                self.assertEqual(tag.value[:2], [algorithm, 2 if algorithm == "bslz4" else 0])
                return decompress(*tag.value)
            return np.frombuffer(tag.value, "<u2") if tag.tag == 69 else \
                tag.value[1].reshape(tag.value[0]) if tag.tag == 40 else tag

        for algorithm, width, height in (("lz4", 256, 128), ("bslz4", 256, 128), ("bslz4", 100, 3),
                                         ("bslz4", 250, 37)):
            with self.subTest(algorithm=algorithm, width=width, height=height):
                folder, endpoint = f"{self.path}/{algorithm}-{width}", f"{self.endpoint}-{algorithm}-{width}"
                pull = zmq.Context.instance().socket(zmq.PULL)
                pull.connect(endpoint)
                recorder = self.start("exposure-time=0.002", f"roi-width={width}", f"roi-height={height}", "-n", "3",
                                      "--format", "hdf5", "-o", folder, "--stream", endpoint,
                                      "--stream-compression", algorithm)
                messages, deadline = [], time.monotonic() + BOUND
                while (not messages or messages[-1]["type"] != "end") and time.monotonic() < deadline:
                    if pull.poll(200):
                        messages.append(cbor2.loads(pull.recv(), tag_hook=tag))
                    elif recorder.poll() is not None and not pull.poll(1000):
                        break
                pull.close(0)  # the recorder waits for its consumers to leave
                status, _, errors = self.finish(recorder)
                self.assertEqual(status, 0, errors)
                with h5py.File(f"{folder}/frames.h5", "r") as disk:
                    for message in messages[1:-1]:
                        np.testing.assert_array_equal(message["data"]["threshold_1"],
                                                      disk["/exchange/data"][message["image_id"]])
                self.assertEqual(image_ids(messages), [0, 1, 2])

    def test_a_slow_consumer_with_block_loses_nothing(self):
        numbers = []
        # Slots are reused all the time here (150 frames through a 16 MiB buffer): one touched
        # before ZeroMQ let go would tear, or hold a later frame (61681 is 17's inverse mod 2^16).
        # The exposure time keeps the camera's count between two frames far below the half of
        # 2^16 that tells newer from older.
        collector = Collector(self.endpoint, delay=0.01, inspect=lambda pixels: numbers.append(
            int(pixels[0, 0]) * 61681 % 65536 if is_pattern(pixels) else -1))
        process = self.start(
            "exposure-time=0.001", "-n", "150", "--buffer", "16M", "-o", self.folder, "--stream", self.endpoint,
            simulator="sensors=1024x1024;readout_ns_per_pixel=0")
        # Connections that close before their handshake (a port check, a consumer given up on at
        # once) never were consumers: nothing is lost with them. Mid-series: once the socket is bound.
        self.assertTrue(wait_for(lambda: collector.messages or process.poll() is not None))
        for _ in range(10):
            time.sleep(0.05)
            with socket.socket(socket.AF_UNIX) as passer:
                passer.connect(self.endpoint[len("ipc://"):])
        status, report, errors = self.finish(process, collector)
        messages = collector.finish()
        self.assertEqual((status, image_ids(messages), messages[-1].get("frames_dropped"), -1 in numbers,
                          messages[-1].get("frames_possibly_lost")), (0, list(range(150)), 0, False, 0), errors)
        self.assertIn("0 possibly lost", stream_line(report, "ipc://"))
        steps = [(b - a) % 65536 for a, b in zip(numbers, numbers[1:])]
        self.assertTrue(all(0 < step < 32768 for step in steps), "each frame whole and newer than the one before")

    # The disk never waits for the stream: a reader of the growing file sees every frame and
    # "complete" while a slow consumer still drains (0.25 s a frame: 10 s for 40), and without a
    # consumer while the recorder waits for one.
    def test_the_file_follows_the_frames_not_the_stream(self):
        for consumer in (True, False):
            with self.subTest(consumer=consumer):
                folder = f"{self.path}/{consumer}"
                collector = Collector(self.endpoint, delay=0.25) if consumer else None
                process = self.start("exposure-time=0.001", "-n", "40", "--format", "hdf5", "-o", folder, "--stream",
                                     self.endpoint)
                self.assertTrue(wait_for(lambda: live_frames(f"{folder}/frames.h5") == (40, 1)),
                                live_frames(f"{folder}/frames.h5"))
                if consumer:
                    self.assertLess(len(image_ids(collector.messages)), 40)
                else:
                    self.assertTrue(wait_for(lambda: "warning: waiting for a consumer" in pathlib.Path(
                        f"{self.path}/err.txt").read_text()))
                    process.send_signal(signal.SIGINT)
                status, report, errors = self.finish(process, *([collector] if consumer else []))
                # A wait is told once, also one that outlasted the recording.
                self.assertEqual((status, "written:    40 frames" in report, errors.count("waiting for a consumer") <= 1),
                                 (0 if consumer else 128 + signal.SIGINT, True, True), errors)
                if consumer:
                    self.assertEqual(image_ids(collector.finish()), list(range(40)))

    def test_the_example_files_each_frame_at_its_image_id_and_lists_the_missing(self):
        # Under drop: a consumer paused mid-series misses frames; one that joins once the series
        # began has no start message. Each file holds what arrived at its own index, the rest listed.
        def images(out):
            return len(re.findall(r"^image \d+ ", pathlib.Path(out).read_text(), re.M))

        def size(folder):  # the file, readable while it grows
            return os.path.getsize(f"{folder}/frames.h5") if os.path.exists(f"{folder}/frames.h5") else 0

        for case in ("paused", "late"):
            with self.subTest(case=case):
                folder, copy, out = f"{self.path}/{case}", f"{self.path}/{case}.h5", f"{self.path}/{case}.txt"
                endpoint = f"{self.endpoint}-{case}"

                def example():
                    with open(out, "w") as stdout:
                        process = subprocess.Popen([sys.executable, EXAMPLE, endpoint, "--hdf5", copy,
                                                    "--timeout", str(BOUND)], stdout=stdout, stderr=subprocess.PIPE,
                                                   text=True)
                    self.addCleanup(process.kill)
                    return process

                consumer = example() if case == "paused" else None
                recorder = self.start("exposure-time=0.005", "-n", "0", "--format", "hdf5", "-o", folder,
                                      "--stream", endpoint, "--stream-policy", "drop", "--timeout", str(BOUND))
                if case == "late":
                    # The file holds frames: the start message went out to nobody.
                    self.assertTrue(wait_for(lambda: size(folder) > 200000))
                    consumer = example()
                self.assertTrue(wait_for(lambda: images(out) > 5))
                if case == "paused":
                    consumer.send_signal(signal.SIGSTOP)
                    grown = size(folder)
                    # Far more frames than the queues and socket buffers hold go by meanwhile.
                    self.assertTrue(wait_for(lambda: size(folder) > grown + 64 * 65536))
                    consumer.send_signal(signal.SIGCONT)
                    received = images(out)
                    self.assertTrue(wait_for(lambda: images(out) > received + 5))
                recorder.send_signal(signal.SIGINT)
                status, _, errors = self.finish(recorder)
                _, consumer_errors = consumer.communicate(timeout=BOUND)
                self.assertEqual((status, consumer.returncode), (128 + signal.SIGINT, 1), errors + consumer_errors)
                received = [int(n) for n in re.findall(r"^image (\d+) ", pathlib.Path(out).read_text(), re.M)]
                with h5py.File(f"{folder}/frames.h5", "r") as disk, h5py.File(copy, "r") as filed:
                    data, missing = filed["/exchange/data"], list(filed["/exchange/missing_image_ids"][...])
                    self.assertEqual((sorted(set(received) | set(missing)), data.attrs["missing_frames"],
                                      data.attrs["complete"], len(data)),
                                     (list(range(len(disk["/exchange/data"]))), len(missing), 0,
                                      len(disk["/exchange/data"])))
                    self.assertTrue(missing and set(received).isdisjoint(missing))
                    # Paused: a gap after frames received (it may have connected too late for the first).
                    self.assertTrue(missing[-1] > min(received) if case == "paused" else missing[0] == 0)
                    for k in received:
                        np.testing.assert_array_equal(data[k], disk["/exchange/data"][k])

    def test_block_counts_what_a_consumer_that_died_took_with_it(self):
        # A consumer stopped until the recorder waits on it, then killed: what was queued for it
        # is counted as possibly lost, in the report and the end, and the next consumer misses it.
        out = f"{self.path}/first.txt"
        with open(out, "w") as stdout:
            first = subprocess.Popen([sys.executable, EXAMPLE, self.endpoint], stdout=stdout, stderr=subprocess.DEVNULL)
        self.addCleanup(first.kill)
        recorder = self.start("exposure-time=0.002", "-n", "300", "--buffer", "4M", "--format", "hdf5", "-o",
                              self.folder, "--stream", self.endpoint, "--timeout", str(BOUND))
        self.assertTrue(wait_for(lambda: pathlib.Path(out).read_text().count("\nimage ") > 5))
        first.send_signal(signal.SIGSTOP)
        sizes = []

        def stalled():  # the recorder waits: its file, once there, has not grown for a second
            if not os.path.exists(self.file):  # the disk may lag behind the stream
                return False
            sizes.append(os.path.getsize(self.file))
            time.sleep(0.1)
            return len(sizes) > 10 and sizes[-1] == sizes[-11]
        self.assertTrue(wait_for(stalled))
        first.kill()
        first.wait()
        second = subprocess.Popen([sys.executable, EXAMPLE, self.endpoint, "--quiet", "--timeout", str(BOUND)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(second.kill)
        status, report, errors = self.finish(recorder)
        summary, _ = second.communicate(timeout=BOUND)
        lost = int(re.search(r"(\d+) possibly lost with consumers that left", stream_line(report, "ipc://")).group(1))
        missing = int(re.search(r"(\d+) missing", summary).group(1))
        self.assertEqual((status, second.returncode, f"({lost} possibly lost" in summary), (0, 1, True),
                         errors + summary)
        self.assertTrue(0 < lost <= missing, (lost, missing))

    def test_the_example_asked_for_a_file_fails_when_no_image_came(self):
        # The series starts and ends without a frame (no trigger comes): nothing to write.
        example = subprocess.Popen([sys.executable, EXAMPLE, self.endpoint, "--hdf5", f"{self.path}/copy.h5",
                                    "--timeout", str(BOUND)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(example.kill)
        status, _, errors = self.finish(self.start("trigger-source=external", "--timeout", "1", "-n", "1", "--stream",
                                                   self.endpoint))
        _, example_errors = example.communicate(timeout=BOUND)
        self.assertNotEqual(status, 0, errors)
        self.assertEqual((example.returncode, os.path.exists(f"{self.path}/copy.h5")), (4, False), example_errors)
        self.assertIn("no image arrived, nothing written", example_errors)

    def test_without_consumers_drop_counts_and_block_waits_until_a_signal(self):
        for policy, status_expected in (("drop", 0), ("block", 128 + signal.SIGINT)):
            with self.subTest(policy=policy):
                process = self.start("exposure-time=0", "-n", "20", "--stream", self.endpoint + policy,
                                     "--stream-policy", policy, "-o", f"{self.path}/{policy}-files")
                if policy == "block":
                    self.assertTrue(wait_for(lambda: "waiting for a consumer" in open(f"{self.path}/err.txt").read()))
                    process.send_signal(signal.SIGINT)
                status, report, errors = self.finish(process)
                frames = int(re.search(r"^frames: +(\d+)", report, re.MULTILINE).group(1))
                self.assertEqual((status, frames == 20 or policy == "block"), (status_expected, True), errors)
                self.assertIn(f"written:    {frames} frames", report)
                self.assertRegex(stream_line(report, policy), f"0 frames sent, {frames} dropped.*end not sent")

    def test_consumers_sharing_an_endpoint_each_get_an_end(self):
        # Round robin shares the frames, and each consumer connected at the end gets its own end
        # message: none waits on for one, nor does the recorder for them to leave.
        collectors = [Collector(self.endpoint) for _ in range(3)]
        status, report, errors = self.finish(self.start("exposure-time=0.02", "-n", "30", "--stream", self.endpoint,
                                                        "--timeout", str(10 * BOUND)), *collectors)
        received = [collector.finish() for collector in collectors]
        self.assertEqual((status, [messages[-1]["type"] for messages in received]), (0, ["end"] * 3), errors)
        self.assertEqual(sorted(i for messages in received for i in image_ids(messages)), list(range(30)))
        self.assertIn("3 joined, 3 left", stream_line(report, "ipc://"))

    # A stop is prompt whatever the exposure (1e308 s: the detector's longest, 71 minutes): a frame
    # not complete 2 s after the signal is discarded, and the report says so. The stopping line is
    # a warning, shown also with --quiet. The stream still sends its end.
    def test_a_signal_mid_stream_still_sends_the_end(self):
        for exposure, more, started in (("0.005", (), 11), ("1e308", ("--mode", "single", "-q"), 0),
                                        ("1e308", ("--mode", "continuous"), 0), ("1e308", ("--mode", "buffered"), 0),
                                        ("1e308", ("--mode", "async", "-q"), 0)):
            with self.subTest(exposure=exposure, more=more):
                collector = Collector(self.endpoint, delay=0.01)
                process = self.start(f"exposure-time={exposure}", "-n", "0", "--stream", self.endpoint, *more)
                # The start message comes once the camera records.
                self.assertTrue(wait_for(lambda: len(collector.messages) > started))
                process.send_signal(signal.SIGINT)
                signalled = time.monotonic()
                status, report, errors = self.finish(process, collector)
                took = time.monotonic() - signalled
                messages = collector.finish()
                ids = image_ids(messages)
                self.assertEqual((status, messages[-1]["type"], ids, messages[-1]["frames_sent"]),
                                 (128 + signal.SIGINT, "end", list(range(len(ids))), len(ids)), errors)
                self.assertIn("uca-record: warning: stopping:", errors)
                # About 2 s; the bound holds under ThreadSanitizer on a loaded machine.
                self.assertLess(took, 30)
                self.assertEqual("discarded:  1 frame" in report, exposure == "1e308" and "-q" not in more and
                                 "async" not in more, report)

    # A consumer connected that never reads (its queue of one and the sockets' buffers full after a
    # few frames): block stalls the recording until a signal, which then ends the wait at once,
    # whatever the ring holds (up to 1000 frames here, which waited 100 ms each before); a recording over ends the
    # wait by --timeout (before: never). A signal does not wait for a --timeout longer than the
    # bound (before: it did). Either way the frames it never took are counted, and the warning
    # says it is connected, not awaited. The bounds hold under ThreadSanitizer.
    # A consumer whose queue fills stalls the stream; one whose queue took every frame and the end
    # but stays connected is waited for to leave. Either wait is told, and bounded.
    def test_a_consumer_that_takes_nothing_is_given_up_on_a_signal_or_after_recording(self):
        stalled = ("taking no frames", "1 consumer is connected but taking no frames",
                   r" [1-9]\d* dropped .*; consumers: 1 joined, 0 left.*end not sent")
        lingering = ("after the end message", "1 consumer is still connected after the end message: the stream waits "
                     "up to 4.0 s (--timeout)", r" 20 frames sent, 0 dropped .*; consumers: 1 joined, 0 left.*end sent")
        for frames, signalled, patience, queue, (wait, told, line) in (
                ("0", True, "2", 1, stalled), ("0", True, str(10 * BOUND), 1, stalled), ("20", False, "2", 1, stalled),
                ("20", False, "4", 1000, lingering)):
            with self.subTest(frames=frames, signalled=signalled, patience=patience, queue=queue):
                stuck = zmq.Context.instance().socket(zmq.PULL)
                self.addCleanup(stuck.close, 0)
                stuck.setsockopt(zmq.RCVHWM, queue)
                if queue == 1:
                    stuck.setsockopt(zmq.RCVBUF, 4096)
                stuck.connect(self.endpoint)
                process = self.start("exposure-time=0.001", "-n", frames, "--buffer", "64M", "--stream",
                                     self.endpoint, "--timeout", patience)
                err = pathlib.Path(f"{self.path}/err.txt")
                waited = wait_for(lambda: wait in err.read_text())
                if signalled:
                    process.send_signal(signal.SIGINT)
                began = time.monotonic()
                status, report, errors = self.finish(process)
                # Gone before the next row, or it would reconnect to that row's recorder.
                stuck.close(0)
                self.assertLess(time.monotonic() - began, 30, errors)
                self.assertEqual((waited, status), (True, 128 + signal.SIGINT if signalled else 0), errors)
                self.assertNotIn("waiting for a consumer to connect", errors)
                self.assertIn(told, errors)
                self.assertRegex(stream_line(report, "ipc://"), line)

    def test_a_consumer_joining_after_the_end_is_neither_waited_for_nor_taken_for_one_that_left(self):
        # The latecomer gets nothing of the series. If it stays, the recorder ends once the consumer
        # the end went to leaves (before: it waited --timeout for the latecomer too); if it leaves,
        # the recorder still waits for that consumer, which has yet to read the end (before: it
        # closed, and the consumer lost the end).
        for latecomer in ("stays", "leaves"):
            with self.subTest(latecomer=latecomer):
                context = zmq.Context.instance()
                first, late = context.socket(zmq.PULL), context.socket(zmq.PULL)
                for consumer in (first, late):
                    self.addCleanup(consumer.close, 0)
                # Reading nothing meanwhile, its queue and buffer take a message: the rest and the
                # end wait at the recorder.
                first.setsockopt(zmq.RCVHWM, 1)
                first.setsockopt(zmq.RCVBUF, 4096)
                first.connect(self.endpoint)
                process = self.start("exposure-time=0.001", "-n", "2", "--stream", self.endpoint, "--timeout",
                                     str(10 * BOUND))
                err = pathlib.Path(f"{self.path}/err.txt")
                self.assertTrue(wait_for(lambda: "after the end message" in err.read_text()))
                monitor = late.get_monitor_socket(zmq.EVENT_HANDSHAKE_SUCCEEDED)
                late.connect(self.endpoint)
                self.assertTrue(monitor.poll(BOUND * 1000))
                if latecomer == "leaves":
                    late.close(0)
                    self.assertFalse(wait_for(lambda: process.poll() is not None, 3), err.read_text())
                types = []
                while first.poll(BOUND * 1000) and "end" not in types:
                    types.append(cbor2.loads(first.recv())["type"])
                first.close(0)
                began = time.monotonic()
                status, report, errors = self.finish(process)
                self.assertEqual((status, types), (0, ["start", "image", "image", "end"]), errors)
                self.assertLess(time.monotonic() - began, 30, errors)
                self.assertRegex(stream_line(report, "ipc://"), r" 2 frames sent, 0 dropped .*end sent")
                late.close(0)

    def test_curve_admits_only_listed_keys(self):
        def keys(name):
            text = subprocess.run([RECORD, "--stream-keygen"], capture_output=True, text=True, timeout=BOUND).stdout
            with open(f"{self.path}/{name}", "w") as file:
                file.write(text)
            return tuple(re.search(rf"^{label}: (.+)$", text, re.M).group(1).encode() for label in ("public", "secret"))
        server, admitted, stranger = keys("server"), keys("admitted"), keys("stranger")
        with open(f"{self.path}/clients", "w") as clients:
            clients.write(f"# the beamline's viewer\npublic: {admitted[0].decode()}\n")
        stranger_too = Collector(self.endpoint, curve=(server[0],) + keys("stranger-too"))
        insider = Collector(self.endpoint, curve=(server[0],) + admitted)
        recorder = self.start(
            "exposure-time=0.05", "-n", "40", "--stream", self.endpoint, "--stream-curve-secret", f"{self.path}/server",
            "--stream-curve-clients", f"{self.path}/clients")
        # One stranger comes back with the same key: still one consumer refused.
        for _ in range(2):
            outsider = Collector(self.endpoint, curve=(server[0],) + stranger)
            time.sleep(0.5)
            self.assertEqual(outsider.finish(), [])
        outsider = Collector(self.endpoint, curve=(server[0],) + stranger)
        status, report, errors = self.finish(recorder, insider, outsider, stranger_too)
        self.assertEqual((status, image_ids(insider.finish()), outsider.finish(), stranger_too.finish()),
                         (0, list(range(40)), [], []), errors)
        # Each stranger once, however often it came back.
        self.assertRegex(stream_line(report, "ipc://"), r" 2 refused")

    def expect_series(self, names):
        with h5py.File(self.file, "r") as f:
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
        refusing, whole = FAST + ";fail=Acquisition_SetCameraBinningMode:9", ((4, 128, 256), 0, [0, 0, 256, 128], [1, 1])
        for index, (settings, simulator, described, report) in enumerate((
                ("exposure-time=0.002 roi-width=64 roi-height=32", FAST, ((4, 32, 64), 0.002, [0, 0, 64, 32], [1, 1]),
                 "as asked"),
                # The timer runs no faster than the readout of 256 x 128 pixels at 32 ns each.
                ("exposure-time=0.0005", "sensors=256x128", ((4, 128, 256), 0.001048, [0, 0, 256, 128], [1, 1]),
                 "not as asked: frame-time 0.001048 (exposure-time asked 0.0005)"),
                ("exposure-time=0.0000004", FAST, whole, "not as asked: frame-time 0 (exposure-time asked 0.0000004)"),
                ("exposure-time=0 sensor-horizontal-binning=2 sensor-vertical-binning=2", refusing, whole,
                 "not as asked: sensor-horizontal-binning 1 (asked 2), sensor-vertical-binning 1 (asked 2)"),
                ("exposure-time=0 sensor-horizontal-binning=3", FAST, ((4, 64, 128), 0, [0, 0, 128, 64], [2, 2]),
                 "not as asked: sensor-horizontal-binning 2 (asked 3)"),
                # One factor serves both axes: the second write wins; the region stays as the first left it.
                ("exposure-time=0 sensor-horizontal-binning=2 sensor-vertical-binning=1", FAST,
                 ((4, 64, 128), 0, [0, 0, 128, 64], [1, 1]), "not as asked: sensor-horizontal-binning 1 (asked 2)"))):
            with self.subTest(settings=settings):
                folder = os.path.join(self.path, str(index))
                out, err = self.record(*settings.split(), "--mode", "async", "-n", "4", "--format", "hdf5", "-o",
                                       folder, simulator=simulator)
                self.assertIn(f"settings:   {report}\n", out)
                self.assertEqual("uca-record: warning: the camera uses " in err, report != "as asked")
                with h5py.File(os.path.join(folder, "frames.h5"), "r") as f:
                    data, times = f["/exchange/data"], f["/exchange/timestamps"]
                    a = data.attrs
                    self.assertEqual((data.shape, a["exposure_time"], list(a["roi"]), list(a["binning"])), described)
                    datetime.datetime.strptime(a["start_time"].decode(), "%Y-%m-%dT%H:%M:%S.%fZ")
                    self.assertEqual((data.dtype, data.chunks, f.attrs["implements"], a["camera"], a["camera_name"],
                                      "camera_model" in a, a["gain"], len(a["pixel_size"]), times.attrs["units"],
                                      a["complete"], len(times), a["corrections"], "calibration_file" in a),
                                     (np.uint16, (1,) + data.shape[1:], b"exchange", b"tessaravolt",
                                      b"tessaravolt camera", False, 0, 2, b"ns", 1, 4, b"none", False))
                    self.assertTrue(all(is_pattern(frame) for frame in data) and all(np.diff(times[...]) >= 0))

    # Frames corrected by a calibration say so, with the file and when its darks were taken; frames
    # asked to be corrected by a calibration that does not fit their settings say "none", and so
    # does the report's settings line.
    def test_the_file_says_whether_its_frames_were_corrected(self):
        self.series("dark")
        with h5py.File(self.file, "r") as f:
            started = f["exchange/data_dark"].attrs["start_time"]
        for index, (exposure, corrected) in enumerate(((SERIES["dark"][4], True), (0.003, False))):
            with self.subTest(exposure=exposure):
                folder = os.path.join(self.path, str(index))
                out, _ = self.record(f"exposure-time={exposure}", f"roi-width={SERIES['dark'][3]}",
                                     "offset-correction=TRUE", f"calibration-file={self.file}", "--mode", "async", "-n",
                                     "2", "--format", "hdf5", "-o", folder)
                # The switch reads back as on either way; the report tells what was applied.
                self.assertEqual("corrections-applied none (offset-correction asked TRUE)" in out, not corrected)
                with h5py.File(os.path.join(folder, "frames.h5"), "r") as f:
                    a = f["exchange/data"].attrs
                    self.assertEqual((a["corrections"], a.get("calibration_file"), a.get("calibration_start_time")),
                                     (b"offset", self.file.encode(), started) if corrected else (b"none", None, None))

    # Series go into one file, each with its own settings. One present is refused, then replaced
    # alone: a user's additions and the other series stay, and no unused space is left.
    def test_series_are_added_and_one_present_is_refused_then_replaced_alone(self):
        for done, series in enumerate(("flat", "dark", "data")):
            report, errors = self.series(series)
            self.assertIn(f"(/exchange/{SERIES[series][0]})", report)
            self.expect_series(("flat", "dark", "data")[:done + 1])
            # Each series already in the file, all taken with other settings, is named with them.
            warned = re.findall(r"holds a (\w+) series \(\S+\) taken with other settings than this (\w+) series: "
                                r"exposure_time ([\d.]+), this series' ([\d.]+); roi 0,0,(\d+),128, this series'", errors)
            self.assertEqual(warned, [(other, series, str(SERIES[other][4]), str(SERIES[series][4]), str(SERIES[other][3]))
                                      for other in ("data", "dark", "flat") if other in ("flat", "dark", "data")[:done]])
        proj, flat, dark = dxchange.read_aps_32id(self.file)[:3]
        self.assertEqual((proj.shape, flat.shape, dark.shape), ((4, 128, 128), (3, 128, 96), (2, 128, 64)))
        with h5py.File(self.file, "a") as f:
            f["exchange/theta"] = np.linspace(0, 180, 4)
            f.attrs["sample"] = "Fe"
            darks = f["exchange/data_dark"][...]
        before, size = pathlib.Path(self.file).read_bytes(), os.path.getsize(self.file)
        self.assertIn("already holds a data series (/exchange/data, 4 frames); give --overwrite",
                      self.series("data", status=2)[1])
        self.assertEqual(pathlib.Path(self.file).read_bytes(), before)
        # An addition killed once its copy of the file holds frames leaves the file as it was.
        process = self.start("--series", "data", "exposure-time=0.05", "roi-width=128", "-n", "0", "--overwrite",
                             "-o", self.folder)
        self.assertTrue(wait_for(lambda: any(os.path.getsize(copy) > 200000
                                             for copy in pathlib.Path(self.folder).glob(".frames.h5.??????"))))
        process.kill()
        self.finish(process)
        self.assertEqual(pathlib.Path(self.file).read_bytes(), before)
        self.assertIn("frames.h5 is as it was", self.series("data", status=2)[1])
        self.record("--series", "data", "exposure-time=0.004", "roi-width=128", "-n", "1", "--overwrite", "-o",
                    self.folder)
        with h5py.File(self.file, "r") as f:
            self.assertEqual((f["exchange/data"].shape, len(f["exchange/timestamps"]), f.attrs["sample"]),
                             ((1, 128, 128), 1, "Fe"))
            np.testing.assert_array_equal(f["exchange/data_dark"][...], darks)
            np.testing.assert_array_equal(f["exchange/theta"][...], np.linspace(0, 180, 4))
        self.assertLess(os.path.getsize(self.file), size)
        self.assertEqual(sorted(os.listdir(self.folder)), [".uca-record", "frames.h5", "preview.png"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
