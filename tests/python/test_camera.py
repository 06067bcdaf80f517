# SPDX-License-Identifier: LGPL-2.1-or-later
"""The camera through GObject introspection, as a Python client sees it."""

import os
import subprocess
import sys
import unittest

# Read by the simulator at its first call, which comes after this.
SENSOR_WIDTH, SENSOR_HEIGHT = 48, 32
os.environ["XISL_SIM"] = f"sensors={SENSOR_WIDTH}x{SENSOR_HEIGHT};readout_ns_per_pixel=0"

import gi
import numpy as np

gi.require_version("Uca", "2.0")
from gi.repository import GLib, Uca

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples"))
import record  # noqa: E402


class CapturedWarnings:
    """Collects the GLib warnings of the default log domain (""), which the camera warns in."""

    def __enter__(self):
        self.messages = []
        self.handler = GLib.log_set_handler("", GLib.LogLevelFlags.LEVEL_WARNING,
                                            lambda domain, level, message, data: self.messages.append(message), None)
        return self

    def __exit__(self, *exception):
        GLib.log_remove_handler("", self.handler)


class CameraTest(unittest.TestCase):
    def setUp(self):
        self.manager = Uca.PluginManager()
        self.camera = self.manager.get_camerav("tessaravolt", [])

    def tearDown(self):
        if self.camera.props.is_recording:
            self.camera.stop_recording()

    def test_manager_lists_the_camera_by_name(self):
        self.assertIn("tessaravolt", self.manager.get_available_cameras())

    def test_properties_read_back_what_was_written(self):
        camera = self.camera
        self.assertEqual((camera.props.sensor_width, camera.props.sensor_height), (SENSOR_WIDTH, SENSOR_HEIGHT))
        self.assertEqual((camera.props.roi_width, camera.props.roi_height), (SENSOR_WIDTH, SENSOR_HEIGHT))
        camera.set_properties(roi_x0=4, roi_y0=2, roi_width=16, roi_height=8)
        camera.props.exposure_time = 0.0125
        camera.props.gain = 3
        camera.props.trigger_source = Uca.CameraTriggerSource.SOFTWARE
        camera.props.grab_from_continuous = False
        self.assertEqual([camera.get_property(name) for name in ("roi-x0", "roi-y0", "roi-width", "roi-height")],
                         [4, 2, 16, 8])
        self.assertEqual(camera.props.exposure_time, 0.0125)
        self.assertEqual(camera.props.gain, 3)
        # An instance of the namespace's own enum: the typelib ties Uca.CameraTriggerSource to its GType.
        self.assertIsInstance(camera.props.trigger_source, Uca.CameraTriggerSource)
        self.assertEqual(camera.props.trigger_source, Uca.CameraTriggerSource.SOFTWARE)
        self.assertFalse(camera.props.grab_from_continuous)
        with self.assertRaises(TypeError):
            camera.props.sensor_width = 8

    def test_get_camerah_sets_construction_properties_from_a_dict(self):
        camera = self.manager.get_camerah("tessaravolt", {"exposure-time": 0.03, "roi-width": 16})
        self.assertEqual((camera.props.exposure_time, camera.props.roi_width), (0.03, 16))

    def test_writes_while_recording_are_refused_except_exposure_time(self):
        camera = self.camera
        camera.props.roi_width = 16
        camera.start_recording()
        self.assertTrue(camera.props.is_recording)
        with CapturedWarnings() as warnings:
            camera.props.roi_width = 8
            camera.props.exposure_time = 0.004
        self.assertEqual(camera.props.roi_width, 16)
        self.assertEqual(camera.props.exposure_time, 0.004)
        self.assertEqual(len(warnings.messages), 1, warnings.messages)
        self.assertIn("roi-width", warnings.messages[0])
        camera.stop_recording()
        self.assertFalse(camera.props.is_recording)
        camera.props.roi_width = 8
        self.assertEqual(camera.props.roi_width, 8)

    def test_grab_refuses_any_array_but_one_frame(self):
        class GrabCounter:
            """The camera's properties, with grab() only counted."""

            def __init__(self, camera):
                self.props = camera.props
                self.grabs = 0

            def grab(self, address):
                self.grabs += 1
                return True

        self.camera.set_properties(roi_width=16, roi_height=8)
        counter = GrabCounter(self.camera)
        wrong = {
            "too small": np.zeros((7, 16), np.uint16),
            "too large": np.zeros((8, 17), np.uint16),
            "transposed": np.zeros((16, 8), np.uint16),
            "wrong pixel size": np.zeros((8, 16), np.uint8),
            "not contiguous": np.zeros((8, 32), np.uint16)[:, ::2],
            "read-only": np.zeros((8, 16), np.uint16).copy(),
            "not an array": bytearray(8 * 16 * 2),
        }
        wrong["read-only"].flags.writeable = False
        for case, array in wrong.items():
            with self.subTest(case=case), self.assertRaises((ValueError, TypeError)):
                record.grab_into(counter, array)
        self.assertEqual(counter.grabs, 0)
        record.grab_into(counter, np.zeros((8, 16), np.uint16))
        self.assertEqual(counter.grabs, 1)

    def test_unknown_camera_is_a_glib_error(self):
        with self.assertRaises(GLib.Error) as raised:
            self.manager.get_camerav("nosuchcamera", [])
        self.assertEqual(raised.exception.domain, "uca-plugin-manager-error-quark")


# Creates the camera with no detector attached twice, then carries on.
NO_DETECTOR_CLIENT = """
import gi
gi.require_version("Uca", "2.0")
from gi.repository import GLib, Uca
manager = Uca.PluginManager()
for attempt in range(2):
    try:
        manager.get_camerav("tessaravolt", [])
    except GLib.Error as error:
        print(error.domain, error.code, error.matches(Uca.CameraError.quark(), Uca.CameraError.NOT_FOUND),
              error.message, sep="|")
# Real libuca lists a camera once per folder it is found in, and the plug-in may be installed too.
print("carried on", "tessaravolt" in manager.get_available_cameras())
"""


class NoDetectorTest(unittest.TestCase):
    def test_failed_creation_is_a_camera_error_and_the_process_goes_on(self):
        run = subprocess.run([sys.executable, "-c", NO_DETECTOR_CLIENT], env=dict(os.environ, XISL_SIM="sensors=none"),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = [line for line in run.stdout.splitlines() if "|" in line or line.startswith("carried on")]
        expected = "uca-camera-error-quark|0|True|Unable to get next sensor"
        self.assertEqual(lines, [expected, expected, "carried on True"], run.stdout)


if __name__ == "__main__":
    unittest.main()
