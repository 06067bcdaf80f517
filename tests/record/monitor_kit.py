# SPDX-License-Identifier: LGPL-2.1-or-later
# What the live view's tests share: a recorder serving --monitor on a free loopback port, raw
# HTTP over a socket (so that malformed requests go out as written) and a PNG reader.

import os, re, signal, socket, struct, subprocess, time, zlib

import numpy as np

RECORD = os.environ["UCA_RECORD"]
BOUND = 150  # seconds: any one wait; the sanitizers run the recorder many times slower


class Recorder:
    """uca-record with --monitor on a port of its own choosing, read from its standard error."""

    def __init__(self, folder, *arguments, simulator):
        self.folder = folder
        self.err_path = os.path.join(folder, "err.txt")
        with open(os.path.join(folder, "out.txt"), "w") as out, open(self.err_path, "w") as err:
            self.process = subprocess.Popen([RECORD, "tessaravolt", "--monitor", "0", *arguments], stdout=out,
                                            stderr=err, env=dict(os.environ, XISL_SIM=simulator))
        deadline = time.monotonic() + BOUND
        self.port = None
        while self.port is None and time.monotonic() < deadline and self.process.poll() is None:
            found = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", self.errors())
            self.port = int(found.group(1)) if found else None
            time.sleep(0.02)
        assert self.port, self.errors()

    def errors(self):
        with open(self.err_path) as err:
            return err.read()

    def stop(self):
        """Ends the recording as Ctrl-C does; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(BOUND)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


def exchange(port, raw, timeout=BOUND):
    """Sends `raw` and reads one answer, or until the server closes: (status or None when it
    closed without one, headers, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        try:
            connection.sendall(raw)
        except OSError:
            pass  # the server may refuse before reading everything
        answer = b""
        try:
            while not complete(answer) and (chunk := connection.recv(1 << 16)):
                answer += chunk
        except ConnectionResetError:
            pass
    if not answer:
        return None, {}, b""
    status, headers, body = split(answer)
    return status, headers, body


def split(answer):
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


def complete(answer):
    # Headers and as many bytes as they announce: the server may keep the connection open.
    if b"\r\n\r\n" not in answer:
        return False
    _, headers, body = split(answer)
    return len(body) >= int(headers.get("content-length", 1 << 62))


def get(port, path, method="GET"):
    return exchange(port, f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())


def read_png(data):
    """The pixels of an 8-bit, non-interlaced PNG as an array (height, width, channels)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", data[:8]
    at, chunks, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        content = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", content)
        elif kind == b"IDAT":
            chunks += content
        at += 12 + length
    width, height, depth, color, _, _, interlace = header
    assert depth == 8 and interlace == 0, header
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[color]
    raw = np.frombuffer(zlib.decompress(chunks), np.uint8).reshape(height, 1 + width * channels)
    pixels = np.zeros((height, width * channels), np.int32)
    for y in range(height):
        kind, line = raw[y, 0], raw[y, 1:].astype(np.int32)
        above = pixels[y - 1] if y > 0 else np.zeros_like(line)
        if kind in (0, 2):
            pixels[y] = (line + (above if kind == 2 else 0)) & 0xFF
            continue
        row = np.zeros_like(line)
        for x in range(len(line)):  # Sub, Average and Paeth depend on the pixel to the left
            left = row[x - channels] if x >= channels else 0
            corner = above[x - channels] if x >= channels else 0
            if kind == 1:
                guess = left
            elif kind == 3:
                guess = (left + above[x]) // 2
            else:
                p = left + above[x] - corner
                guess = min((abs(p - left), 0, left), (abs(p - above[x]), 1, above[x]),
                            (abs(p - corner), 2, corner))[2]
            row[x] = (line[x] + guess) & 0xFF
        pixels[y] = row
    return pixels.reshape(height, width, channels).astype(np.uint8)
