# SPDX-License-Identifier: LGPL-2.1-or-later
"""The simulated detector's test pattern as the recorder's Python tests check it, written out
independently of the simulator (xisl/xisl-sim-pattern.h defines it for C and C++): pixel (x, y)
of frame n is (x ^ (y << 6)) + 17 n, modulo 2^16."""

import numpy as np


def is_pattern(frame):
    """Whether `frame` is one whole frame of the pattern at the origin."""
    y, x = np.indices(frame.shape, dtype=np.uint32)
    offsets = frame - ((x ^ (y << 6)) & 0xFFFF).astype(np.uint16)
    return bool((offsets == offsets.flat[0]).all())
