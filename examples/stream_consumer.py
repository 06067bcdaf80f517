#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Receives a live frame stream (ZeroMQ PUSH/PULL, one CBOR message per event, as uca-record's
--stream and other detectors' Stream V2 sources publish it) and checks it for missing frames.

    /usr/bin/python3 examples/stream_consumer.py tcp://HOST:31001
    /usr/bin/python3 examples/stream_consumer.py ipc:///tmp/frames --hdf5 scan.h5 --series 2

It prints a line per frame and channel (image_id, mean, min, max) and a summary per series.
Only the keys every source sends are required; several channels, and data compressed with lz4
or bslz4, are handled. With --hdf5 the first series it sees goes into a Data Exchange file laid
out as uca-record's own (/exchange/data, /exchange/timestamps): image k at index k, so frames
that never arrived leave their index empty; they are listed in /exchange/missing_image_ids and
counted in the data's missing_frames attribute. Other channels go beside it as
/exchange/data_CHANNEL. A consumer that missed the start message (it restarted, or joined late)
sizes the file from the first image it receives.

Exit status: 0 when every series ended and no frame was missing; 1 when frames were missing
(a gap in image_id, fewer than the series announced or the source published, or frames lost
with a consumer that left); 2 for bad arguments; 3 when --timeout passed without a message; 4
when --hdf5 was given but no image arrived to write; 130 on Ctrl-C.

Needs Debian's python3-zmq, python3-cbor2 and python3-numpy; python3-lz4 and bitshuffle for
compressed data, python3-h5py for --hdf5. Several clients on one endpoint share its messages
round robin, start and end included: a client that needs every frame must be the only one.
"""

import argparse
import os
import signal
import struct
import sys

DEBIAN_PYTHON = "/usr/bin/python3"

try:
    import cbor2
    import numpy as np
    import zmq
except ImportError as missing:
    # Another interpreter (a virtual environment, pyenv) cannot see Debian's packages.
    if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and os.path.exists(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    sys.exit(f"{missing}: this needs Debian's python3-zmq, python3-cbor2 and python3-numpy, run by {DEBIAN_PYTHON}")

MULTI_DIM_ARRAY = 40
COMPRESSED = 56500
# RFC 8746 typed arrays: tag 64 + 8*signed + 4*little-endian + log2(bytes), floats from 80.
TYPED_ARRAYS = {64: "u1", 65: ">u2", 66: ">u4", 67: ">u8", 68: "u1", 69: "<u2", 70: "<u4", 71: "<u8",
                72: "i1", 73: ">i2", 74: ">i4", 75: ">i8", 77: "<i2", 78: "<i4", 79: "<i8",
                80: ">f2", 81: ">f4", 82: ">f8", 84: "<f2", 85: "<f4", 86: "<f8"}
NS_PER_S = 10**9


def decompress(algorithm, modifier, data):
    """The bytes of tag 56500 in the HDF5 filters' framing: an 8-byte total size, a 4-byte
    block size, then blocks, each after its 4-byte compressed size (all big-endian)."""
    total, block_size = struct.unpack_from(">QI", data)
    if algorithm == "bslz4":
        import bitshuffle
        element = int(modifier)
        blocks = np.frombuffer(data, np.uint8, offset=12)
        return bitshuffle.decompress_lz4(blocks, (total // element,), np.dtype(f"u{element}"),
                                         block_size // element).tobytes()
    if algorithm != "lz4":
        raise ValueError(f"unknown compression `{algorithm}'")
    import lz4.block
    out, offset = bytearray(), 12
    while len(out) < total:
        (size,) = struct.unpack_from(">I", data, offset)
        offset += 4
        expected = min(block_size, total - len(out))
        chunk = data[offset:offset + size]
        # A block that did not shrink is stored as it is.
        out += chunk if size == expected else lz4.block.decompress(chunk, uncompressed_size=expected)
        offset += size
    return bytes(out)


def tag_hook(decoder, tag):
    if tag.tag in TYPED_ARRAYS:
        return np.frombuffer(tag.value, TYPED_ARRAYS[tag.tag])
    if tag.tag == COMPRESSED:
        return decompress(*tag.value)
    if tag.tag == MULTI_DIM_ARRAY:
        dimensions, elements = tag.value
        return np.asarray(elements).reshape(dimensions)
    return tag


def seconds(rational):
    return rational[0] / rational[1] if rational and rational[1] else None


class Series:
    """What one series brought so far."""

    def __init__(self, series_id, start=None):
        self.series_id = series_id
        self.start = start
        self.received = set()
        self.missing = []
        self.announced = (start or {}).get("number_of_images") or None
        self.writer = None

    def image(self, image_id):
        if self.start is None and not self.received:
            # A consumer that restarted, or joined late: the frames before this one are missing.
            print(f"series {self.series_id}: no start message; joined at image {image_id}", file=sys.stderr)
        expected = max(self.received, default=-1) + 1
        if image_id > expected:
            print(f"series {self.series_id}: images {expected} to {image_id - 1} missing", file=sys.stderr)
        self.received.add(image_id)

    def gaps(self, published=0):
        """The images before the last received, or before `published`, that did not arrive."""
        last = max(published, max(self.received, default=-1) + 1)
        return [i for i in range(last) if i not in self.received]

    def end(self, message):
        # uca-record's end says how many it published; other sources announce a number at start.
        published = self.announced or 0
        if "frames_sent" in message and "frames_dropped" in message:
            published = message["frames_sent"] + message["frames_dropped"]
        self.missing = self.gaps(published)
        if self.missing:
            print(f"series {self.series_id}: {len(self.missing)} images missing, the first {self.missing[0]}",
                  file=sys.stderr)
        dropped, lost = message.get("frames_dropped"), message.get("frames_possibly_lost")
        print(f"series {self.series_id}: {len(self.received)} images received, {len(self.missing)} missing"
              + (f" ({dropped} dropped by the source)" if dropped is not None else "")
              + (f" ({lost} possibly lost with a consumer that left)" if lost else ""))


class Hdf5Writer:
    """The series as uca-record writes it: /exchange/data and /exchange/timestamps, frame k at
    index k whatever arrived before it; the images that never arrived are listed in
    /exchange/missing_image_ids and counted in the data's `missing_frames` attribute."""

    def __init__(self, path, start, channels):
        import h5py
        self.file = h5py.File(path, "w")
        self.file.attrs["implements"] = "exchange"
        self.exchange = self.file.create_group("exchange")
        self.start = start or {}
        self.channels = channels
        self.length = self.start.get("number_of_images") or 0
        self.data = {}
        self.timestamps = self.exchange.create_dataset("timestamps", (self.length,), "i8", maxshape=(None,),
                                                       chunks=(4096,))
        self.timestamps.attrs["units"] = "ns"

    def dataset(self, channel, frame):
        if channel not in self.data:
            name = "data" if channel == self.channels[0] else f"data_{channel}"
            # Sized from the start message when there was one, else from this first image.
            data = self.exchange.create_dataset(name, (self.length,) + frame.shape, frame.dtype,
                                                maxshape=(None,) + frame.shape, chunks=(1,) + frame.shape)
            start = self.start
            width = start.get("image_size_x", frame.shape[-1])
            height = start.get("image_size_y", frame.shape[0])
            data.attrs["camera"] = np.bytes_(start.get("detector_description", "").encode())
            data.attrs["exposure_time"] = float(start.get("count_time", 0.0))
            data.attrs["roi"] = np.array(start.get("roi", [0, 0, width, height]), np.uint32)
            data.attrs["binning"] = np.array(start.get("binning", [0, 0]), np.uint32)
            data.attrs["pixel_size"] = np.array([start.get("pixel_size_x", 0.0), start.get("pixel_size_y", 0.0)])
            data.attrs["complete"] = np.uint8(0)
            self.data[channel] = data
        return self.data[channel]

    def grow(self, length):
        if length > self.length:
            self.length = length
            for dataset in (*self.data.values(), self.timestamps):
                dataset.resize(length, axis=0)

    def write(self, message, frames):
        image_id = message["image_id"]
        for channel, frame in frames.items():
            self.dataset(channel, frame)
        self.grow(image_id + 1)
        for channel, frame in frames.items():
            self.data[channel][image_id] = frame
        stop = seconds(message.get("stop_time"))
        self.timestamps[image_id] = int(round(stop * NS_PER_S)) if stop is not None else 0

    def close(self, missing, complete):
        self.grow(max(missing, default=-1) + 1)
        self.exchange.create_dataset("missing_image_ids", data=np.array(missing, np.uint64))
        for data in self.data.values():
            data.attrs["complete"] = np.uint8(complete)
            data.attrs["missing_frames"] = np.uint64(len(missing))
        self.file.close()


def read_key(path, label):
    """A line "LABEL: KEY" of a key file as uca-record --stream-keygen prints it, or a bare key."""
    with open(path) as keys:
        for line in keys:
            line = line.strip()
            if line.startswith(label + ":"):
                return line[len(label) + 1:].strip()
            if label == "public" and len(line) == 40 and ":" not in line[:7]:
                return line
    sys.exit(f"{path}: no `{label}:' line")


def parse_arguments():
    parser = argparse.ArgumentParser(description="Receives and checks a live frame stream.")
    parser.add_argument("endpoint", help="e.g. tcp://HOST:31001 or ipc:///tmp/frames")
    parser.add_argument("--series", type=int, default=1, metavar="N",
                        help="exit after N series' end messages (default 1; 0: never)")
    parser.add_argument("--hdf5", metavar="FILE", help="write the first series into FILE")
    parser.add_argument("--curve", nargs=2, metavar=("SERVER_KEY", "CLIENT_KEYS"),
                        help="CURVE: the file with the source's public key, and the file with this "
                             "client's key pair (uca-record --stream-keygen)")
    parser.add_argument("--timeout", type=float, metavar="SECONDS",
                        help="give up when no message arrives for this long (default: wait)")
    parser.add_argument("--quiet", action="store_true", help="no line per frame")
    arguments = parser.parse_args()
    if arguments.series < 0 or (arguments.timeout is not None and arguments.timeout <= 0):
        parser.error("--series must be 0 or more, --timeout above 0")
    return arguments


def connect(arguments):
    context = zmq.Context()
    socket = context.socket(zmq.PULL)
    # A few frames queue here: a slow client slows the source (or makes it drop) instead of
    # piling frames up in memory.
    socket.setsockopt(zmq.RCVHWM, 4)
    socket.setsockopt(zmq.LINGER, 0)
    socket.setsockopt(zmq.IPV6, 1)  # else tcp://[::1]:P and other IPv6 sources are unreachable
    if arguments.curve:
        server, client = arguments.curve
        socket.curve_serverkey = read_key(server, "public").encode()
        socket.curve_publickey = read_key(client, "public").encode()
        socket.curve_secretkey = read_key(client, "secret").encode()
    socket.connect(arguments.endpoint)
    return socket


def main():
    arguments = parse_arguments()
    socket = connect(arguments)
    poller = zmq.Poller()
    poller.register(socket, zmq.POLLIN)
    series, ended, missing, writer, written = {}, 0, 0, None, False

    while arguments.series == 0 or ended < arguments.series:
        if not poller.poll(arguments.timeout * 1000 if arguments.timeout else None):
            print(f"no message for {arguments.timeout} s", file=sys.stderr)
            for current in series.values():
                if current.writer is not None:  # a series that did not end
                    current.writer.close(current.gaps(), complete=False)
            return 3
        message = cbor2.loads(socket.recv(copy=False).buffer, tag_hook=tag_hook)
        kind, series_id = message.get("type"), message.get("series_id")

        if kind == "start":
            current = series[series_id] = Series(series_id, message)
            channels = message.get("channels") or []
            print(f"series {series_id}: start, {message.get('image_size_x')} x {message.get('image_size_y')} "
                  f"pixels, channels {', '.join(channels) or 'not named'}")
            # The calibration the source's corrections apply, where it sends it: per channel, the
            # gain each pixel was multiplied with and NeXus pixel_mask bits of the pixels replaced.
            for name, gains in (message.get("flatfield") or {}).items():
                print(f"flatfield {name}: {' x '.join(map(str, np.shape(gains)))}, gain {np.min(gains):.3f} to "
                      f"{np.max(gains):.3f}")
            for name, mask in (message.get("pixel_mask") or {}).items():
                print(f"pixel_mask {name}: {np.count_nonzero(mask)} pixels masked")
        elif kind == "image":
            current = series.setdefault(series_id, Series(series_id))
            image_id = message["image_id"]
            current.image(image_id)
            frames = {name: np.asarray(frame) for name, frame in message["data"].items()}
            for name, frame in frames.items():
                if not arguments.quiet:
                    print(f"image {image_id} {name}: mean {frame.mean():.2f}, min {frame.min()}, max {frame.max()}")
            # The first series this consumer sees goes to the file, with its start or without.
            if arguments.hdf5 and writer is None:
                writer = current.writer = Hdf5Writer(arguments.hdf5, current.start,
                                                     (current.start or {}).get("channels") or list(frames))
            if current.writer is not None:
                current.writer.write(message, frames)
                written = True
        elif kind == "end":
            current = series.setdefault(series_id, Series(series_id))
            current.end(message)
            missing += len(current.missing)
            ended += 1
            if current.writer is not None:
                current.writer.close(current.missing, complete=not current.missing)
                current.writer = None
            del series[series_id]

    if arguments.hdf5 and not written:
        print(f"{arguments.hdf5}: no image arrived, nothing written", file=sys.stderr)
        return 4
    return 1 if missing else 0


if __name__ == "__main__":
    signal.signal(signal.SIGINT, lambda *_: sys.exit(130))
    sys.exit(main())
