/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the live view serves of a frame: the frame as a TIFF (its pixels as they are), an 8-bit
 * PNG preview, and a reduced copy for the page to draw. Pure functions of the frame, for the
 * monitor's thread. */
#ifndef UCA_RECORD_MONITOR_IMAGE_H
#define UCA_RECORD_MONITOR_IMAGE_H

#include "core/uca-record.h"

/* An uncompressed grayscale TIFF in the machine's byte order, one strip; NULL for a frame too
 * large for a classic TIFF. */
GBytes *monitor_encode_tiff (const guint8 *pixels, const FrameGeometry *geometry);

/* The preview.png mapping, as a PNG; NULL with an error. */
GBytes *monitor_encode_png (const guint8 *pixels, const FrameGeometry *geometry, GError **error);

/* The frame reduced by a whole factor until neither side exceeds `max_side`: each pixel the mean
 * of its block, or `saturation` where any pixel of the block reaches it, so that scaling never
 * hides a saturated pixel. Little-endian 16-bit values, `width` x `height` of them. */
GBytes *monitor_encode_view (const guint8 *pixels, const FrameGeometry *geometry, guint max_side, guint saturation,
                             guint *width, guint *height);

#endif
