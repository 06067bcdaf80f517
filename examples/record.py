#!/usr/bin/python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""Records frames from a libuca camera into NumPy arrays, once in each synchronous mode.

    /usr/bin/python3 examples/record.py --frames 10 --roi 128 64 256 256 --output stack.npz

Each mode fills its own array of shape (frames, roi height, roi width); libuca writes every
frame straight into its row of the array. The script prints the mean and standard deviation
of every frame and saves the arrays, one per mode, with numpy.savez, into the output file (named
with .npz added where it lacks it). Arguments and the output file are checked before anything is
recorded. Ctrl-C finishes the frame being grabbed and saves what was recorded; a second Ctrl-C
quits at once.

Environment: GI_TYPELIB_PATH must name the folder of Uca-2.0.typelib and UCA_CAMERA_PATH the
folder of the camera plug-in, unless both are installed where GObject introspection and
libuca look by default. Run from a source tree built into `build/`, the script finds both there.

Asynchronous transfer (libuca calling a Python function for every frame) is left out on
purpose. libuca keeps the grab callback with no function to release it, which the Python
bindings of Debian 12 (PyGObject 3.42) cannot represent: they would either free the callback
after its first frame or complain on every frame. Even where they can, each frame would wait
for Python's global interpreter lock on the camera's own thread, so a busy Python program
would stall the stream. Buffered mode gives the same decoupling soundly: libuca's thread keeps
taking frames into a ring while Python works, and grab() hands them over. (libuca 2.4's own
buffered mode may hand out an older frame after a newer one once the camera laps a slow reader.)
"""

import argparse
import os
import signal
import sys
import tempfile

DEBIAN_PYTHON = "/usr/bin/python3"

try:
    import gi
    import numpy as np
except ImportError as missing:
    # Another interpreter (a virtual environment, pyenv) cannot see Debian's packages.
    if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON) and os.path.exists(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    sys.exit(f"{missing}: this needs Debian's python3-gi and python3-numpy, run by {DEBIAN_PYTHON}")

SOURCE_BUILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build")


def load_uca():
    """Imports the Uca namespace, falling back to this source tree's build."""
    gi.require_version("GIRepository", "2.0")
    try:
        gi.require_version("Uca", "2.0")
    except ValueError:
        from gi.repository import GIRepository
        GIRepository.Repository.prepend_search_path(os.path.join(SOURCE_BUILD, "libuca", "girepository-1.0"))
        try:
            gi.require_version("Uca", "2.0")
        except ValueError:
            sys.exit("Uca-2.0.typelib not found: set GI_TYPELIB_PATH to its folder "
                     "(`pkg-config --variable=typelibdir libuca`, or build/libuca/girepository-1.0)")
    from gi.repository import Uca
    return Uca


def frame_dtype(camera):
    # libuca's own rule for the size of a pixel.
    return np.uint8 if camera.props.sensor_bitdepth <= 8 else np.uint16


def frame_shape(camera):
    return (camera.props.roi_height, camera.props.roi_width)


def check_frame_buffer(camera, frame):
    """Refuses any array that grab() could overrun or fill wrongly.

    grab() receives a bare address and writes one whole frame there: it cannot see the
    array, so this check is the only thing between a wrong size and corrupted memory."""
    if not isinstance(frame, np.ndarray):
        raise TypeError("frames are grabbed into NumPy arrays")
    if frame.dtype != frame_dtype(camera) or frame.shape != frame_shape(camera):
        raise ValueError(f"a frame needs a {frame_shape(camera)} array of {np.dtype(frame_dtype(camera)).name}, "
                         f"not {frame.shape} of {frame.dtype.name}")
    if not frame.flags.c_contiguous or not frame.flags.writeable:
        raise ValueError("a frame needs a contiguous, writeable array")


def grab_into(camera, frame):
    """Grabs the next frame into `frame`, which must fit it exactly."""
    check_frame_buffer(camera, frame)
    if not camera.grab(frame.ctypes.data):
        raise RuntimeError("the camera returned no frame")


class StopRequest:
    """Ctrl-C asks to stop: the frame being grabbed is finished, and what was recorded is kept.
    A second Ctrl-C interrupts at once."""

    def __init__(self):
        self.requested = False
        signal.signal(signal.SIGINT, self._on_signal)

    def _on_signal(self, number, frame):
        self.requested = True
        signal.signal(signal.SIGINT, signal.default_int_handler)
        print("\nstopping after the current frame; Ctrl-C again to quit at once", file=sys.stderr, flush=True)


def record(camera, n_frames, stop, **mode):
    """Records up to n_frames in the mode given by camera properties (e.g. buffered=True); fewer
    when a stop is requested. Returns the frames recorded."""
    for name, value in mode.items():
        camera.set_property(name.replace("_", "-"), value)
    stack = np.zeros((n_frames,) + frame_shape(camera), dtype=frame_dtype(camera))
    done = 0
    camera.start_recording()
    try:
        while done < n_frames and not stop.requested:
            grab_into(camera, stack[done])
            done += 1
    finally:
        camera.stop_recording()
        camera.props.buffered = False
    return stack[:done]


MODES = {
    "continuous": dict(grab_from_continuous=True),
    "single": dict(grab_from_continuous=False),
    "buffered": dict(grab_from_continuous=True, buffered=True),
}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Records frames from a libuca camera into NumPy arrays.")
    parser.add_argument("--camera", default="tessaravolt", help="libuca camera name (default: %(default)s)")
    parser.add_argument("--frames", type=int, default=10, help="frames per mode (default: %(default)s)")
    parser.add_argument("--exposure-time", type=float, default=0.01, help="seconds (default: %(default)s)")
    parser.add_argument("--roi", type=int, nargs=4, metavar=("X0", "Y0", "WIDTH", "HEIGHT"),
                        help="region of interest (default: the whole sensor)")
    parser.add_argument("--modes", nargs="+", choices=list(MODES), default=list(MODES))
    parser.add_argument("--output", default="frames.npz",
                        help="NumPy archive, one array per mode; .npz is added where the name lacks it")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing output file")
    arguments = parser.parse_args(argv)
    if arguments.frames < 1:
        parser.error("--frames must be at least 1")
    if not 0 <= arguments.exposure_time < float("inf"):
        parser.error("--exposure-time must be zero or a positive number of seconds")
    if arguments.roi and (min(arguments.roi[:2]) < 0 or min(arguments.roi[2:]) < 1):
        parser.error("--roi needs X0 and Y0 of at least 0, WIDTH and HEIGHT of at least 1")
    # numpy.savez adds .npz to a name without it: say the name it writes.
    if not arguments.output.endswith(".npz"):
        arguments.output += ".npz"
    if os.path.isdir(arguments.output):
        parser.error(f"--output {arguments.output} is a folder")
    # An earlier recording is replaced only when asked to.
    if os.path.lexists(arguments.output) and not arguments.overwrite:
        parser.error(f"--output {arguments.output} exists; give --overwrite to replace it")
    # A file beside the output proves now that it can be written; the frames go into it and it
    # replaces the output once complete.
    try:
        folder, name = os.path.split(os.path.abspath(arguments.output))
        arguments.saving = tempfile.NamedTemporaryFile(dir=folder, prefix=f".{name}.", delete=False)
    except OSError as error:
        parser.error(f"cannot write {arguments.output}: {error.strerror}")
    return arguments


def save(arguments, stacks):
    np.savez(arguments.saving, **stacks)
    arguments.saving.close()
    # A temporary file is its owner's alone; the output gets a new file's permissions.
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(arguments.saving.name, 0o666 & ~umask)
    os.replace(arguments.saving.name, arguments.output)
    print(f"saved {', '.join(f'{mode} {stack.shape}' for mode, stack in stacks.items())} to {arguments.output}")


def open_camera(Uca, name):
    try:
        manager = Uca.PluginManager()
    except TypeError:
        # The typelib names libuca by its soname, which the dynamic loader could not find.
        from gi.repository import GIRepository
        library = GIRepository.Repository.get_default().get_shared_library("Uca")
        sys.exit(f"cannot load {library}: set LD_LIBRARY_PATH to the folder of the libuca it belongs to")
    if "UCA_CAMERA_PATH" not in os.environ:
        manager.add_path(os.path.join(SOURCE_BUILD, "plugins"))
    return manager.get_camerav(name, [])


def main(argv=None):
    arguments = parse_arguments(argv)
    try:
        return record_and_save(arguments)
    finally:
        # Gone unless it became the output.
        arguments.saving.close()
        if os.path.exists(arguments.saving.name):
            os.unlink(arguments.saving.name)


def record_and_save(arguments):
    Uca = load_uca()
    from gi.repository import GLib

    try:
        camera = open_camera(Uca, arguments.camera)
    except GLib.Error as error:
        sys.exit(f"cannot open camera {arguments.camera}: {error.message} ({error.domain}, code {error.code})")

    camera.props.exposure_time = arguments.exposure_time
    if arguments.roi:
        x0, y0, width, height = arguments.roi
        camera.set_properties(roi_x0=x0, roi_y0=y0, roi_width=width, roi_height=height)
    print(f"{arguments.camera}: {camera.props.sensor_width}x{camera.props.sensor_height} sensor, "
          f"region {camera.props.roi_width}x{camera.props.roi_height} at "
          f"({camera.props.roi_x0}, {camera.props.roi_y0}), exposure {camera.props.exposure_time} s")

    stop = StopRequest()
    stacks = {}
    failure = None
    for mode in arguments.modes:
        print(f"{mode}: recording {arguments.frames} frames", flush=True)
        try:
            stack = stacks[mode] = record(camera, arguments.frames, stop, **MODES[mode])
        except GLib.Error as error:
            failure = f"{mode} recording failed: {error.message} ({error.domain}, code {error.code})"
            break
        for index, frame in enumerate(stack):
            print(f"{mode} frame {index}: mean {frame.mean():.2f}, std {frame.std():.2f}")
        if stop.requested:
            break
    # What was recorded is kept, whatever ended the recording.
    if stacks:
        save(arguments, stacks)
    if failure:
        sys.exit(failure)
    if stop.requested:
        print("stopped by Ctrl-C: saved what was recorded", flush=True)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
