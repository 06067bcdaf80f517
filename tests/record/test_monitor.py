# SPDX-License-Identifier: LGPL-2.1-or-later
# uca-record --monitor: its routes as a table, hostile and malformed requests, the TIFF it serves
# against the file written, its figures, the end told to a watching page, and refusals before the
# camera is touched. Every wait has a bound that holds under the sanitizers.

import json, os, socket, subprocess, sys, tempfile, threading, time, unittest

import numpy as np
import tifffile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from monitor_kit import BOUND, RECORD, Recorder, exchange, get, read_png  # noqa: E402
from sim_pattern import is_pattern  # noqa: E402

WIDTH, HEIGHT = 256, 128
# Slow enough that the files stay small while a test runs for a while.
SIMULATOR = f"sensors={WIDTH}x{HEIGHT};readout_ns_per_pixel=0"
EXPOSURE = "exposure-time=0.02"

# method, path, status, content type: every route and its neighbours.
ROUTES = [
    ("GET", "/", 200, "text/html; charset=utf-8"),
    ("GET", "/monitor/status.json", 200, "application/json"),
    ("GET", "/monitor/image.tiff", 200, "image/tiff"),
    ("GET", "/monitor/image.png", 200, "image/png"),
    ("GET", "/monitor/view.u16?max=64", 200, "application/octet-stream"),
    ("GET", "/monitor/view.u16", 200, "application/octet-stream"),
    ("GET", "/?refresh=1", 200, "text/html; charset=utf-8"),
    ("GET", "/monitor/view.u16?max=15", 400, None),
    ("GET", "/monitor/view.u16?max=4097", 400, None),
    ("GET", "/monitor/view.u16?max=-1", 400, None),
    ("GET", "/monitor/view.u16?max=abc", 400, None),
    ("GET", "/monitor", 404, None),
    ("GET", "/monitor/", 404, None),
    ("GET", "/monitor/image.tiff/", 404, None),
    ("GET", "/index.html", 404, None),
    ("GET", "/preview.png", 404, None),
    ("GET", "/frame-000001.tif", 404, None),
    ("POST", "/", 405, None),
    ("PUT", "/monitor/status.json", 405, None),
    ("DELETE", "/monitor/image.tiff", 405, None),
    ("OPTIONS", "/", 405, None),
    ("PATCH", "/monitor/image.png", 405, None),
]

# Requests meant to hurt, and the answers they may get besides a closed connection: never a
# file's content, and the server answers normally afterwards. libsoup takes a few leniently (a
# negative length as none); 505 is HTTP's own answer to a version it does not speak.
BAD = range(400, 500)
HOSTILE = [
    ("dot dot", b"GET /monitor/../../../../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("dot dot escaped", b"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("dot dot to a route", b"GET /x/../monitor/../../out.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("absolute file uri", b"GET file:///etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("long path", b"GET /" + b"a" * 200000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("long query", b"GET /monitor/view.u16?max=" + b"9" * 100000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("many headers", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-A: b\r\n" * 20000 + b"\r\n", BAD),
    ("huge header", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: " + b"b" * 1000000 + b"\r\n\r\n", BAD),
    ("garbage", b"\x00\xff\xfe GARBAGE \x01\r\n\r\n", BAD),
    ("no version", b"GET /\r\n\r\n", BAD),
    ("bad version", b"GET / HTTP/9.9\r\nHost: 127.0.0.1\r\n\r\n", [*BAD, 505]),
    ("nul in path", b"GET /monitor/status.json\x00.png HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("bad escape", b"GET /%zz%00%ff HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", BAD),
    ("post with body", b"POST /monitor/status.json HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello", [405]),
    ("negative length", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: -5\r\n\r\n", [*BAD, 200]),
    ("bad chunks", b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nxx\r\n", [*BAD]),
    ("connect", b"CONNECT 127.0.0.1:22 HTTP/1.1\r\nHost: 127.0.0.1:22\r\n\r\n", BAD),
    # A page elsewhere whose own name was pointed at 127.0.0.1 (DNS rebinding), or no name at all.
    ("rebound name", b"GET /monitor/image.tiff HTTP/1.1\r\nHost: frames.example:8080\r\n\r\n", [403]),
    ("name ending in a loopback", b"GET / HTTP/1.1\r\nHost: 127.0.0.1.example\r\n\r\n", [403]),
    ("no host", b"GET /monitor/status.json HTTP/1.0\r\n\r\n", [403]),
]


def status(port):
    code, headers, body = get(port, "/monitor/status.json")
    assert code == 200, (code, body)
    return json.loads(body)


def wait_for(condition, bound=BOUND):
    deadline = time.monotonic() + bound
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


class Served(unittest.TestCase):
    """One recording for the whole table: files written, a live view open."""

    @classmethod
    def setUpClass(cls):
        cls.path = tempfile.mkdtemp()
        cls.folder = os.path.join(cls.path, "scan")
        cls.recorder = Recorder(cls.path, EXPOSURE, "--duration", "600", "--output", cls.folder,
                                simulator=SIMULATOR)
        cls.port = cls.recorder.port
        assert wait_for(lambda: status(cls.port)["frame"] >= 2), cls.recorder.errors()

    @classmethod
    def tearDownClass(cls):
        cls.recorder.stop()
        subprocess.run(["rm", "-rf", cls.path], check=False)

    def test_routes(self):
        for method, path, expected, content_type in ROUTES:
            with self.subTest(method=method, path=path):
                code, headers, body = get(self.port, path, method)
                self.assertEqual(code, expected, body[:200])
                self.assertEqual(headers.get("cache-control"), "no-store")
                if content_type:
                    self.assertEqual(headers.get("content-type"), content_type)
                if expected == 405:
                    self.assertEqual(headers.get("allow"), "GET")

    def test_hostile_requests_harm_nothing(self):
        for name, raw, allowed in HOSTILE:
            with self.subTest(name):
                code, _, body = exchange(self.port, raw)
                self.assertTrue(code is None or code in allowed, (code, body[:200]))
                self.assertNotIn(b"root:", body)
                self.assertNotIn(b"Records frames", body)  # the recorder's own report
                self.assertEqual(status(self.port)["state"], "recording")
        self.assertIsNone(self.recorder.process.poll())

    def test_slow_clients_hold_nobody_up(self):
        # Connected and silent, half a request line, and a request whose answer is never read.
        silent = socket.create_connection(("127.0.0.1", self.port), timeout=BOUND)
        partial = socket.create_connection(("127.0.0.1", self.port), timeout=BOUND)
        partial.sendall(b"GET /monitor/ima")
        unread = socket.create_connection(("127.0.0.1", self.port), timeout=BOUND)
        unread.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        unread.sendall(b"GET /monitor/image.tiff HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 50)
        try:
            first = status(self.port)["frame"]
            for path in ("/", "/monitor/image.png", "/monitor/image.tiff"):
                self.assertEqual(get(self.port, path)[0], 200, path)
            self.assertTrue(wait_for(lambda: status(self.port)["frame"] > first))
        finally:
            for connection in (silent, partial, unread):
                connection.close()

    def test_status_tells_the_figures_and_settings(self):
        before = status(self.port)
        self.assertTrue(wait_for(lambda: status(self.port)["frame"] > before["frame"] + 2))
        after = status(self.port)
        self.assertEqual(after["state"], "recording")
        self.assertEqual((after["width"], after["height"], after["bits"]), (WIDTH, HEIGHT, 16))
        self.assertGreaterEqual(after["frame"], after["written"])
        self.assertGreater(after["written"], 0)
        self.assertEqual((after["dropped"], after["skipped"]), (0, 0))
        self.assertIsNone(after["sent"])  # no stream
        self.assertTrue(0 < after["rate_hz"] < 1000, after)
        settings = after["settings"]
        self.assertAlmostEqual(settings["exposure_s"], 0.02, places=3)
        self.assertEqual(settings["roi"], [0, 0, WIDTH, HEIGHT])
        self.assertEqual((settings["mode"], settings["format"]), ("continuous", "tiff"))
        self.assertEqual(settings["calibration"]["corrections"], "none")

    def test_images_are_frames_that_follow(self):
        numbers = []
        for _ in range(3):
            code, headers, body = get(self.port, "/monitor/image.tiff")
            self.assertEqual(code, 200)
            numbers.append(int(headers["x-frame"]))
            self.assertTrue(wait_for(lambda: status(self.port)["frame"] > numbers[-1]))
        self.assertEqual(numbers, sorted(set(numbers)), "each answer a newer frame")
        code, headers, body = get(self.port, "/monitor/image.png")
        number = int(headers["x-frame"])
        self.assertGreaterEqual(number, numbers[-1])
        gray = read_png(body)[:, :, 0]
        self.assertEqual(gray.shape, (HEIGHT, WIDTH))
        # The preview of that very frame: its values mapped in order onto the whole 8-bit range.
        name = os.path.join(self.folder, f"frame-{number:06d}.tif")
        self.assertTrue(wait_for(lambda: os.path.exists(name)), name)
        raw = tifffile.imread(name).ravel()
        order = np.argsort(raw, kind="stable")
        self.assertTrue((np.diff(gray.ravel()[order].astype(int)) >= 0).all())
        self.assertEqual((gray.min(), gray.max()), (0, 255))
        code, headers, body = get(self.port, "/monitor/view.u16?max=64")
        width, height = int(headers["x-width"]), int(headers["x-height"])
        self.assertEqual((width, height), (64, 32))
        self.assertEqual(len(body), width * height * 2)

    def test_tiff_is_the_frame_written(self):
        code, headers, body = get(self.port, "/monitor/image.tiff")
        self.assertEqual(code, 200)
        number = int(headers["x-frame"])
        served = tifffile.imread(__import__("io").BytesIO(body))
        self.assertEqual(served.dtype, np.uint16)
        self.assertTrue(is_pattern(served))
        name = os.path.join(self.folder, f"frame-{number:06d}.tif")
        self.assertTrue(wait_for(lambda: os.path.exists(name)), name)
        np.testing.assert_array_equal(served, tifffile.imread(name))


class Ends(unittest.TestCase):
    def setUp(self):
        self.path = self.enterContext(tempfile.TemporaryDirectory())

    def test_a_watching_page_learns_the_end(self):
        recorder = Recorder(self.path, EXPOSURE, "--duration", "600", simulator=SIMULATOR)
        seen, stop = [], threading.Event()

        def watch():  # as the page does, five times a second until the recorder is gone
            while not stop.is_set():
                try:
                    seen.append(status(recorder.port))
                except (OSError, AssertionError):
                    return
                time.sleep(0.2)

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        self.assertTrue(wait_for(lambda: len(seen) >= 2 and seen[-1]["frame"] > 0))
        self.assertEqual(recorder.stop(), 128 + 2)
        stop.set()
        watcher.join(BOUND)
        self.assertEqual(seen[-1]["state"], "ended", seen[-1])
        self.assertTrue(seen[-1]["outcome"])
        self.assertIsNone(seen[-1]["written"])  # no files

    def test_refusals_come_before_the_camera(self):
        taken = socket.socket()
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        folder = os.path.join(self.path, "scan")
        rows = [
            (str(port), "Cannot serve the live view"),
            (f"127.0.0.1:{port}", "Cannot serve the live view"),
            ("70000", "is not [ADDRESS:]PORT"),
            ("http", "is not [ADDRESS:]PORT"),
            ("example.org:8080", "is not [ADDRESS:]PORT"),
            ("::1:8080", "is not [ADDRESS:]PORT"),
            ("[::1", "is not [ADDRESS:]PORT"),
            ("127.0.0.1:", "is not [ADDRESS:]PORT"),
            ("", "is not [ADDRESS:]PORT"),
        ]
        for where, message in rows:
            with self.subTest(where=where):
                # No detector: had the camera come first, its error would be the one told.
                result = subprocess.run([RECORD, "tessaravolt", "--monitor", where, "--output", folder],
                                        capture_output=True, text=True, timeout=BOUND,
                                        env=dict(os.environ, XISL_SIM="sensors=none"))
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Cannot open camera", result.stderr)
                self.assertFalse(os.path.exists(folder))


if __name__ == "__main__":
    unittest.main()
