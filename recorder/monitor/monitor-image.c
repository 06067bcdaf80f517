/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See monitor-image.h. */

#include "monitor-image.h"
#include "output/output.h"

#include <png.h>
#include <string.h>

/* ---- TIFF ------------------------------------------------------------------------------- */

enum {
    TIFF_SHORT = 3,
    TIFF_LONG = 4,
    TIFF_ENTRIES = 10,
    TIFF_HEADER_BYTES = 8,
    TIFF_IFD_BYTES = 2 + 12 * TIFF_ENTRIES + 4,
};

static void
put16 (guint8 *at, guint16 value)
{
    memcpy (at, &value, sizeof value);
}

static void
put32 (guint8 *at, guint32 value)
{
    memcpy (at, &value, sizeof value);
}

static guint8 *
put_entry (guint8 *at, guint16 tag, guint16 type, guint32 value)
{
    put16 (at, tag);
    put16 (at + 2, type);
    put32 (at + 4, 1);
    /* A SHORT sits in the first two bytes of the value field. */
    if (type == TIFF_SHORT) {
        put16 (at + 8, (guint16) value);
        put16 (at + 10, 0);
    }
    else {
        put32 (at + 8, value);
    }

    return at + 12;
}

/* Written in the machine's own byte order, which TIFF allows: the pixels go out as they are. */
GBytes *
monitor_encode_tiff (const guint8 *pixels, const FrameGeometry *geometry)
{
    const gsize offset = TIFF_HEADER_BYTES + TIFF_IFD_BYTES;
    guint8 *file, *at;

    if (geometry->frame_bytes > G_MAXUINT32 - offset)
        return NULL;

    file = g_malloc (offset + geometry->frame_bytes);
    memcpy (file, G_BYTE_ORDER == G_LITTLE_ENDIAN ? "II" : "MM", 2);
    put16 (file + 2, 42);
    put32 (file + 4, TIFF_HEADER_BYTES);
    at = file + TIFF_HEADER_BYTES;
    put16 (at, TIFF_ENTRIES);
    at += 2;
    /* In ascending order of tags, as TIFF requires. */
    at = put_entry (at, 256, TIFF_LONG, geometry->width);
    at = put_entry (at, 257, TIFF_LONG, geometry->height);
    at = put_entry (at, 258, TIFF_SHORT, 8 * geometry->bytes_per_pixel);
    at = put_entry (at, 259, TIFF_SHORT, 1); /* no compression */
    at = put_entry (at, 262, TIFF_SHORT, 1); /* black is zero */
    at = put_entry (at, 273, TIFF_LONG, (guint32) offset);
    at = put_entry (at, 277, TIFF_SHORT, 1); /* samples per pixel */
    at = put_entry (at, 278, TIFF_LONG, geometry->height);
    at = put_entry (at, 279, TIFF_LONG, (guint32) geometry->frame_bytes);
    at = put_entry (at, 284, TIFF_SHORT, 1); /* contiguous */
    put32 (at, 0);                           /* no further directory */
    memcpy (file + offset, pixels, geometry->frame_bytes);
    return g_bytes_new_take (file, offset + geometry->frame_bytes);
}

/* ---- PNG -------------------------------------------------------------------------------- */

GBytes *
monitor_encode_png (const guint8 *pixels, const FrameGeometry *geometry, GError **error)
{
    guint8 *gray = record_preview_pixels (pixels, geometry);
    png_alloc_size_t size = 0;
    png_image image;
    guint8 *memory = NULL;

    memset (&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = geometry->width;
    image.height = geometry->height;
    image.format = PNG_FORMAT_GRAY;

    /* The first call measures, the second writes. */
    if (png_image_write_to_memory (&image, NULL, &size, 0, gray, (png_int_32) geometry->width, NULL)) {
        memory = g_malloc (size);

        if (!png_image_write_to_memory (&image, memory, &size, 0, gray, (png_int_32) geometry->width, NULL))
            g_clear_pointer (&memory, g_free);
    }

    if (memory == NULL)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot encode the PNG: %s", image.message);

    png_image_free (&image);
    g_free (gray);
    return memory != NULL ? g_bytes_new_take (memory, size) : NULL;
}

/* ---- The page's view -------------------------------------------------------------------- */

static guint
value_at (const guint8 *pixels, const FrameGeometry *geometry, gsize index)
{
    return geometry->bytes_per_pixel == 2 ? ((const guint16 *) pixels)[index] : pixels[index];
}

GBytes *
monitor_encode_view (const guint8 *pixels, const FrameGeometry *geometry, guint max_side, guint saturation,
                     guint *width, guint *height)
{
    const guint longest = MAX (geometry->width, geometry->height);
    const guint factor = MAX (1, (longest + max_side - 1) / max_side);
    guint16 *view;

    *width = (geometry->width + factor - 1) / factor;
    *height = (geometry->height + factor - 1) / factor;
    view = g_new (guint16, (gsize) *width * *height);

    for (guint vy = 0; vy < *height; vy++) {
        for (guint vx = 0; vx < *width; vx++) {
            const guint x1 = MIN ((vx + 1) * factor, geometry->width);
            const guint y1 = MIN ((vy + 1) * factor, geometry->height);
            guint64 sum = 0;
            guint n = 0;
            gboolean saturated = FALSE;

            for (guint y = vy * factor; y < y1; y++) {
                for (guint x = vx * factor; x < x1; x++) {
                    const guint value = value_at (pixels, geometry, (gsize) y * geometry->width + x);

                    saturated = saturated || value >= saturation;
                    sum += value;
                    n++;
                }
            }

            view[(gsize) vy * *width + vx] = GUINT16_TO_LE ((guint16) (saturated ? saturation : sum / n));
        }
    }

    return g_bytes_new_take (view, (gsize) *width * *height * sizeof *view);
}
