# SPDX-License-Identifier: LGPL-2.1-or-later
"""The simulator's documented test pattern, written out again independently of the simulator:
pixel (x, y) of frame n is (x ^ (y << 6)) + 17 n, modulo 2^16."""

import numpy as np

INVERSE_OF_17 = pow(17, -1, 1 << 16)


def pattern_frame(x0, y0, width, height, n):
    y, x = np.mgrid[y0:y0 + height, x0:x0 + width].astype(np.uint32)
    return ((x ^ (y << 6)) + 17 * n).astype(np.uint16)


def frame_number(frame, x0, y0):
    """The frame number, modulo 2^16, that the frame's first pixel belongs to."""
    return ((int(frame[0, 0]) - int(pattern_frame(x0, y0, 1, 1, 0)[0, 0])) * INVERSE_OF_17) % (1 << 16)
