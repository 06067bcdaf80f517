/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See stream-compress.h. */

#include "stream-compress.h"

#include <lz4.h>
#include <string.h>

enum {
    HEADER_BYTES = 12,
    SIZE_BYTES = 4,
    BSLZ4_BLOCK_BYTES = 8192,
    LZ4_BLOCK_BYTES = 1 << 30,
};

static void
put_big_endian (guint8 *out, guint64 value, guint n_bytes)
{
    for (guint i = 0; i < n_bytes; i++)
        out[i] = (guint8) (value >> (8 * (n_bytes - 1 - i)));
}

gsize
stream_compress_bound (StreamCompression compression, gsize size)
{
    const gsize block = compression == STREAM_COMPRESSION_LZ4 ? LZ4_BLOCK_BYTES : BSLZ4_BLOCK_BYTES;
    const gsize n_blocks = size / block + 1;

    return HEADER_BYTES + n_blocks * (SIZE_BYTES + (gsize) LZ4_compressBound ((int) MIN (size, block)));
}

/* An 8x8 matrix of bits transposed: bit 8 r + c becomes bit 8 c + r. */
static inline guint64
transpose_8x8 (guint64 x)
{
    guint64 t;

    t = (x ^ (x >> 7)) & G_GUINT64_CONSTANT (0x00AA00AA00AA00AA);
    x = x ^ t ^ (t << 7);
    t = (x ^ (x >> 14)) & G_GUINT64_CONSTANT (0x0000CCCC0000CCCC);
    x = x ^ t ^ (t << 14);
    t = (x ^ (x >> 28)) & G_GUINT64_CONSTANT (0x00000000F0F0F0F0);
    return x ^ t ^ (t << 28);
}

void
stream_bitshuffle (const guint8 *data, gsize n_elements, guint element_size, guint8 *out)
{
    const gsize row = n_elements / 8; /* the bytes of one bit's row */

    /* Byte j of eight elements at a time: their bits b of that byte become one byte of row 8 j + b. */
    for (guint j = 0; j < element_size; j++) {
        for (gsize group = 0; group < row; group++) {
            const guint8 *first = data + group * 8 * element_size + j;
            guint64 x = 0;

            for (guint r = 0; r < 8; r++)
                x |= (guint64) first[r * element_size] << (8 * r);

            x = transpose_8x8 (x);

            for (guint b = 0; b < 8; b++)
                out[(8 * j + b) * row + group] = (guint8) (x >> (8 * b));
        }
    }
}

/* One block LZ4-compressed behind its size; `raw_if_larger`: stored as it is when that is no
 * larger. */
static gsize
put_block (const guint8 *block, gsize size, guint8 *out, gboolean raw_if_larger)
{
    const int bound = LZ4_compressBound ((int) size);
    int written = LZ4_compress_default ((const char *) block, (char *) out + SIZE_BYTES, (int) size, bound);

    if (raw_if_larger && (written <= 0 || (gsize) written >= size)) {
        memcpy (out + SIZE_BYTES, block, size);
        written = (int) size;
    }

    put_big_endian (out, (guint64) written, SIZE_BYTES);
    return SIZE_BYTES + (gsize) written;
}

gsize
stream_compress (StreamCompression compression, const guint8 *data, gsize size, guint element_size, guint8 *out)
{
    const gsize block_elements = BSLZ4_BLOCK_BYTES / element_size;
    const gsize block =
        compression == STREAM_COMPRESSION_LZ4 ? MIN (size, LZ4_BLOCK_BYTES) : block_elements * element_size;
    gsize length = HEADER_BYTES, done = 0;
    guint8 shuffled[BSLZ4_BLOCK_BYTES];

    g_return_val_if_fail (compression != STREAM_COMPRESSION_NONE, 0);

    put_big_endian (out, size, 8);
    put_big_endian (out + 8, block, SIZE_BYTES);

    if (compression == STREAM_COMPRESSION_LZ4) {
        for (; done < size; done += MIN (block, size - done))
            length += put_block (data + done, MIN (block, size - done), out + length, TRUE);

        return length;
    }

    /* Whole blocks, then what is left in multiples of 8 elements, then the rest as it is. */
    while (size - done >= element_size * 8) {
        const gsize n_elements = MIN (block_elements, (size - done) / element_size / 8 * 8);

        stream_bitshuffle (data + done, n_elements, element_size, shuffled);
        length += put_block (shuffled, n_elements * element_size, out + length, FALSE);
        done += n_elements * element_size;
    }

    memcpy (out + length, data + done, size - done);
    return length + size - done;
}
