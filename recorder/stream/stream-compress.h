/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The stream's optional compression, in the framing of HDF5's LZ4 and bitshuffle filters that
 * the frame-stream convention uses (tag 56500): an 8-byte big-endian total size, a 4-byte
 * big-endian block size in bytes, then each block after its 4-byte big-endian compressed size.
 *
 * lz4: the bytes in blocks of up to 1 GiB, each LZ4-compressed, or stored as it is (its size
 * then equal to the block's) when LZ4 does not shrink it.
 *
 * bslz4: blocks of 8192 bytes' worth of elements. Each block's bits are transposed first
 * (bitshuffle): for a block of n elements, bit b of element i (b counted from the first byte's
 * least significant bit) becomes bit i % 8 of byte b * n / 8 + i / 8, so that the many equal
 * high bits of a detector's pixels line up into runs; then the block is LZ4-compressed. A last
 * block holds the whole multiples of 8 elements left; fewer than 8 elements left over follow
 * as they are, uncompressed and without a size. */
#ifndef UCA_RECORD_STREAM_COMPRESS_H
#define UCA_RECORD_STREAM_COMPRESS_H

#include "core/uca-record.h"

#include <glib.h>

/* The most bytes stream_compress writes for `size` bytes. */
gsize stream_compress_bound (StreamCompression compression, gsize size);
/* Compresses `size` bytes of elements of `element_size` bytes into `out`, which holds
 * stream_compress_bound () bytes; returns the bytes written. */
gsize stream_compress (StreamCompression compression, const guint8 *data, gsize size, guint element_size, guint8 *out);
/* The bit transposition of one block of `n_elements`, a multiple of 8. */
void stream_bitshuffle (const guint8 *data, gsize n_elements, guint element_size, guint8 *out);

#endif
