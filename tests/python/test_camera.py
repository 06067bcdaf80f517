# SPDX-License-Identifier: LGPL-2.1-or-later
"""The camera through GObject introspection, as a Python client sees it."""

import os
import subprocess
import sys
import unittest
from types import SimpleNamespace

# Read by the simulator at its first call, which comes after this.
os.environ["XISL_SIM"] = "sensors=48x32;readout_ns_per_pixel=0"

import gi
import numpy as np

gi.require_version("Uca", "2.0")
from gi.repository import GLib, Uca

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples"))
import record  # noqa: E402

# Creates the camera with no detector attached twice, then carries on. Real libuca lists a camera
# once per folder it is found in, and the plug-in may be installed too.
NO_DETECTOR_CLIENT = """
import gi
gi.require_version("Uca", "2.0")
from gi.repository import GLib, Uca
manager = Uca.PluginManager()
for attempt in range(2):
    try:
        manager.get_camerav("tessaravolt", [])
    except GLib.Error as e:
        print(e.domain, e.code, e.matches(Uca.CameraError.quark(), Uca.CameraError.NOT_FOUND), e.message, sep="|")
print("carried on", "tessaravolt" in manager.get_available_cameras())
"""


class CameraTest(unittest.TestCase):
    def test_properties_read_back_what_was_written(self):
        manager = Uca.PluginManager()
        camera = manager.get_camerav("tessaravolt", [])
        self.assertEqual((camera.props.sensor_width, camera.props.roi_height), (48, 32))
        written = {"roi-x0": 4, "roi-y0": 2, "roi-width": 16, "roi-height": 8, "exposure-time": 0.0125, "gain": 3,
                   "trigger-source": Uca.CameraTriggerSource.SOFTWARE, "grab-from-continuous": False}
        camera.set_properties(**{name.replace("-", "_"): value for name, value in written.items()})
        self.assertEqual({name: camera.get_property(name) for name in written}, written)
        # The typelib ties Uca.CameraTriggerSource to its GType.
        self.assertIsInstance(camera.props.trigger_source, Uca.CameraTriggerSource)
        with self.assertRaises(TypeError):
            camera.props.sensor_width = 8
        camera = manager.get_camerah("tessaravolt", {"exposure-time": 0.03, "roi-width": 16})
        self.assertEqual((camera.props.exposure_time, camera.props.roi_width), (0.03, 16))

        # The example's grab refuses any array but one frame, and grabs into that one.
        grabs = []
        counter = SimpleNamespace(props=camera.props, grab=lambda address: grabs.append(address) or True)
        camera.props.roi_height = 8
        read_only = np.zeros((8, 16), np.uint16)
        read_only.flags.writeable = False
        for array in [np.zeros((7, 16), np.uint16), np.zeros((8, 17), np.uint16), np.zeros((16, 8), np.uint16),
                      np.zeros((8, 16), np.uint8), np.zeros((8, 32), np.uint16)[:, ::2], read_only,
                      bytearray(8 * 16 * 2)]:
            with self.subTest(shape=getattr(array, "shape", None)), self.assertRaises((ValueError, TypeError)):
                record.grab_into(counter, array)
        record.grab_into(counter, np.zeros((8, 16), np.uint16))
        self.assertEqual(len(grabs), 1)

    def test_failed_creation_is_a_glib_error_and_the_process_goes_on(self):
        with self.assertRaises(GLib.Error) as raised:
            Uca.PluginManager().get_camerav("nosuchcamera", [])
        self.assertEqual(raised.exception.domain, "uca-plugin-manager-error-quark")
        run = subprocess.run([sys.executable, "-c", NO_DETECTOR_CLIENT], env=dict(os.environ, XISL_SIM="sensors=none"),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = [line for line in run.stdout.splitlines() if "|" in line or line.startswith("carried on")]
        expected = "uca-camera-error-quark|0|True|Unable to get next sensor"
        self.assertEqual(lines, [expected, expected, "carried on True"], run.stdout)


if __name__ == "__main__":
    unittest.main()
