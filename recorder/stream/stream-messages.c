/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See stream-messages.h. Times are Rationals of nanoseconds, the time base constant as the
 * convention wants it. */

#include "stream-messages.h"
#include "stream-compress.h"
#include "platform/sync.h"

#include <string.h>

enum {
    NS_PER_S = 1000000000
};

/* An image's pixels as a typed array: tag 69 is little-endian, so a big-endian host says so. */
static guint
pixel_tag (const FrameGeometry *geometry)
{
    if (geometry->bytes_per_pixel == 1)
        return CBOR_TAG_UINT8_ARRAY;

    return G_BYTE_ORDER == G_LITTLE_ENDIAN ? CBOR_TAG_UINT16_LE_ARRAY : CBOR_TAG_UINT16_BE_ARRAY;
}

static void
put_series (CborWriter *writer, const gchar *type, const StreamSeries *series)
{
    cbor_writer_put_text (writer, "type");
    cbor_writer_put_text (writer, type);
    cbor_writer_put_key_uint (writer, "series_id", series->series_id);
    cbor_writer_put_text (writer, "series_unique_id");
    cbor_writer_put_text (writer, series->unique_id);
}

/* Image maps: the series' four pairs, image_id, three times and data. */
enum {
    IMAGE_PAIRS = 9
};

void
stream_series_init (StreamSeries *series, guint64 series_id, const CameraInfo *info, guint64 n_images)
{
    /* A camera may report any exposure up to G_MAXDOUBLE seconds: beyond what 63 bits of
     * nanoseconds count (292 years), the most they do. */
    const gdouble exposure_ns = info->exposure_s * NS_PER_S;
    CborWriter writer;

    memset (series, 0, sizeof *series);
    series->series_id = series_id;
    series->unique_id = g_uuid_string_random ();
    series->date = g_date_time_new_now_utc ();
    series->start_ns = record_monotonic_ns ();
    series->exposure_ns = exposure_ns < (gdouble) G_MAXINT64 ? (gint64) exposure_ns : G_MAXINT64;
    series->n_images = n_images;

    cbor_writer_init (&writer, series->image_prefix, sizeof series->image_prefix);
    cbor_writer_put_tag (&writer, CBOR_TAG_SELF_DESCRIBED);
    cbor_writer_put_map (&writer, IMAGE_PAIRS);
    put_series (&writer, "image", series);
    cbor_writer_put_text (&writer, "series_date");
    cbor_writer_put_date_time (&writer, series->date);
    g_assert (!writer.overflow);
    series->image_prefix_length = writer.length;
}

void
stream_series_clear (StreamSeries *series)
{
    g_clear_pointer (&series->unique_id, g_free);
    g_clear_pointer (&series->date, g_date_time_unref);
}

/* `algorithm` NULL: the pixels as they are; else `data_bytes` of them compressed so. */
static gsize
encode_image_header (const StreamSeries *series, const FrameGeometry *geometry, guint64 index, gint64 arrival_ns,
                     const gchar *algorithm, gsize data_bytes, guint8 *pixels)
{
    guint8 header[STREAM_IMAGE_HEADER_ROOM];
    const guint64 stop = (guint64) MAX (arrival_ns - series->start_ns, 0);
    const guint64 exposure = (guint64) MAX (series->exposure_ns, 0);
    CborWriter writer;

    cbor_writer_init (&writer, header, sizeof header);
    cbor_writer_put_encoded (&writer, series->image_prefix, series->image_prefix_length);
    cbor_writer_put_key_uint (&writer, "image_id", index);
    /* When the recorder received the frame, and its exposure before that. */
    cbor_writer_put_text (&writer, "start_time");
    cbor_writer_put_rational (&writer, stop - MIN (stop, exposure), NS_PER_S);
    cbor_writer_put_text (&writer, "stop_time");
    cbor_writer_put_rational (&writer, stop, NS_PER_S);
    cbor_writer_put_text (&writer, "real_time");
    cbor_writer_put_rational (&writer, exposure, NS_PER_S);
    cbor_writer_put_text (&writer, "data");
    cbor_writer_put_map (&writer, 1);
    cbor_writer_put_text (&writer, STREAM_CHANNEL);
    cbor_writer_put_tag (&writer, CBOR_TAG_MULTI_DIM_ARRAY);
    cbor_writer_put_array (&writer, 2);
    cbor_writer_put_array (&writer, 2);
    cbor_writer_put_uint (&writer, geometry->height);
    cbor_writer_put_uint (&writer, geometry->width);
    cbor_writer_put_tag (&writer, pixel_tag (geometry));

    /* Compressed bytes stand where the byte string would; the modifier is bslz4's element size. */
    if (algorithm != NULL) {
        cbor_writer_put_tag (&writer, CBOR_TAG_COMPRESSED);
        cbor_writer_put_array (&writer, 3);
        cbor_writer_put_text (&writer, algorithm);
        cbor_writer_put_uint (&writer, strcmp (algorithm, "bslz4") == 0 ? geometry->bytes_per_pixel : 0);
    }

    cbor_writer_put_bytes_head (&writer, algorithm != NULL ? data_bytes : geometry->frame_bytes);
    g_assert (!writer.overflow);

    memcpy (pixels - writer.length, header, writer.length);
    return writer.length;
}

gsize
stream_encode_image_header (const StreamSeries *series, const FrameGeometry *geometry, guint64 index, gint64 arrival_ns,
                            guint8 *pixels)
{
    return encode_image_header (series, geometry, index, arrival_ns, NULL, 0, pixels);
}

gsize
stream_encode_compressed_header (const StreamSeries *series, const FrameGeometry *geometry, guint64 index,
                                 gint64 arrival_ns, const gchar *algorithm, gsize data_bytes, guint8 *data)
{
    return encode_image_header (series, geometry, index, arrival_ns, algorithm, data_bytes, data);
}

/* A key of a map whose pairs are counted as they are written. */
static void
put_key (CborWriter *writer, guint *n_pairs, const gchar *key)
{
    cbor_writer_put_text (writer, key);
    (*n_pairs)++;
}

static void
put_key_double (CborWriter *writer, guint *n_pairs, const gchar *key, gdouble value)
{
    put_key (writer, n_pairs, key);
    cbor_writer_put_double (writer, value);
}

static void
put_key_uint (CborWriter *writer, guint *n_pairs, const gchar *key, guint64 value)
{
    put_key (writer, n_pairs, key);
    cbor_writer_put_uint (writer, value);
}

enum {
    /* A map's head with its count in the byte that follows: CBOR's form for 24 to 255 pairs, and
     * valid for fewer. The start message has up to 24, the count known only at its end. */
    MAP_WITH_COUNT_BYTE = 5 << 5 | 24
};

/* A calibration map as an image's data is: {channel: tag 40 [[rows, columns], typed array]},
 * with words of 4 bytes. Large (256 MiB at 8192 x 8192), so compressed like the images. */
static void
put_map (CborWriter *writer, guint *n_pairs, const gchar *key, const FrameGeometry *geometry, guint typed_tag,
         GBytes *map, StreamCompression compression)
{
    gsize size;
    const guint8 *words = g_bytes_get_data (map, &size);

    put_key (writer, n_pairs, key);
    cbor_writer_put_map (writer, 1);
    cbor_writer_put_text (writer, STREAM_CHANNEL);
    cbor_writer_put_tag (writer, CBOR_TAG_MULTI_DIM_ARRAY);
    cbor_writer_put_array (writer, 2);
    cbor_writer_put_array (writer, 2);
    cbor_writer_put_uint (writer, geometry->height);
    cbor_writer_put_uint (writer, geometry->width);
    cbor_writer_put_tag (writer, typed_tag);

    if (compression == STREAM_COMPRESSION_NONE) {
        cbor_writer_put_bytes (writer, words, size);
    }
    else {
        guint8 *packed = g_malloc (stream_compress_bound (compression, size));
        const gsize packed_size = stream_compress (compression, words, size, 4, packed);

        cbor_writer_put_tag (writer, CBOR_TAG_COMPRESSED);
        cbor_writer_put_array (writer, 3);
        cbor_writer_put_text (writer, stream_compression_names[compression]);
        cbor_writer_put_uint (writer, compression == STREAM_COMPRESSION_BSLZ4 ? 4 : 0);
        cbor_writer_put_bytes (writer, packed, packed_size);
        g_free (packed);
    }
}

static void
put_start (CborWriter *writer, const StreamSeries *series, const CameraInfo *info, const FrameGeometry *geometry,
           const AppliedMaps *maps, StreamCompression compression, GBytes *user_data)
{
    gsize head;
    guint n_pairs = 4; /* the series' and arm_date */

    cbor_writer_put_tag (writer, CBOR_TAG_SELF_DESCRIBED);
    head = writer->length;
    cbor_writer_put_map (writer, 24); /* two bytes, the count filled in at the end */
    put_series (writer, "start", series);
    cbor_writer_put_text (writer, "arm_date");
    cbor_writer_put_date_time (writer, series->date);
    put_key (writer, &n_pairs, "detector_description");
    cbor_writer_put_text (writer, info->camera_name);
    put_key_uint (writer, &n_pairs, "image_size_x", geometry->width);
    put_key_uint (writer, &n_pairs, "image_size_y", geometry->height);

    if (series->n_images > 0)
        put_key_uint (writer, &n_pairs, "number_of_images", series->n_images);

    put_key (writer, &n_pairs, "detector_serial_number");
    cbor_writer_put_text (writer, info->serial_number != NULL ? info->serial_number : "");
    put_key_double (writer, &n_pairs, "count_time", info->exposure_s);
    put_key_double (writer, &n_pairs, "frame_time", info->exposure_s);

    /* An image's pixel, which binning makes larger than the sensor's. */
    if (info->pixel_size[0] > 0 && info->pixel_size[1] > 0) {
        put_key_double (writer, &n_pairs, "pixel_size_x", info->pixel_size[0] * MAX (info->binning[0], 1));
        put_key_double (writer, &n_pairs, "pixel_size_y", info->pixel_size[1] * MAX (info->binning[1], 1));
    }

    put_key_uint (writer, &n_pairs, "saturation_value", (G_GUINT64_CONSTANT (1) << geometry->bits) - 1);
    put_key (writer, &n_pairs, "channels");
    cbor_writer_put_array (writer, 1);
    cbor_writer_put_text (writer, STREAM_CHANNEL);

    /* The recorder's own keys: what its files say beyond the common ones. */
    put_key (writer, &n_pairs, "roi");
    cbor_writer_put_array (writer, 4);

    for (guint i = 0; i < 4; i++)
        cbor_writer_put_uint (writer, info->roi[i]);

    if (info->binning[0] > 0 && info->binning[1] > 0) {
        put_key (writer, &n_pairs, "binning");
        cbor_writer_put_array (writer, 2);
        cbor_writer_put_uint (writer, info->binning[0]);
        cbor_writer_put_uint (writer, info->binning[1]);
    }

    put_key (writer, &n_pairs, "image_dtype");
    cbor_writer_put_text (writer, geometry->bytes_per_pixel == 1 ? "uint8" : "uint16");
    put_key_uint (writer, &n_pairs, "bit_depth_image", geometry->bits);
    /* Offset correction changes the frames too, and no common key says so. */
    put_key (writer, &n_pairs, "corrections");
    cbor_writer_put_text (writer, info->corrections != NULL ? info->corrections : "none");
    put_key (writer, &n_pairs, "flatfield_enabled");
    cbor_writer_put_bool (writer, info->gain_corrected);
    put_key (writer, &n_pairs, "pixel_mask_enabled");
    cbor_writer_put_bool (writer, info->defects_corrected);

    /* Only those in force: a map the camera did not tell is not sent, and its switch says false. */
    if (maps != NULL && maps->flatfield != NULL && info->gain_corrected)
        put_map (writer, &n_pairs, "flatfield", geometry, CBOR_TAG_FLOAT32_LE_ARRAY, maps->flatfield, compression);

    if (maps != NULL && maps->pixel_mask != NULL && info->defects_corrected)
        put_map (writer, &n_pairs, "pixel_mask", geometry, CBOR_TAG_UINT32_LE_ARRAY, maps->pixel_mask, compression);

    if (user_data != NULL) {
        gsize size;
        const guint8 *item = g_bytes_get_data (user_data, &size);

        put_key (writer, &n_pairs, "user_data");
        cbor_writer_put_encoded (writer, item, size);
    }

    g_assert (n_pairs <= G_MAXUINT8);

    if (!writer->overflow) {
        writer->data[head] = MAP_WITH_COUNT_BYTE;
        writer->data[head + 1] = (guint8) n_pairs;
    }
}

GBytes *
stream_encode_start (const StreamSeries *series, const CameraInfo *info, const FrameGeometry *geometry,
                     const AppliedMaps *maps, StreamCompression compression, GBytes *user_data)
{
    /* Room for the maps at their largest, so that the loop below runs once for them. */
    gsize size = 1024;

    for (guint i = 0; maps != NULL && i < 2; i++) {
        GBytes *map = i == 0 ? maps->flatfield : maps->pixel_mask;

        if (map != NULL)
            size += 64 + stream_compress_bound (compression, g_bytes_get_size (map));
    }

    if (user_data != NULL)
        size += g_bytes_get_size (user_data);

    /* Should the estimate fall short: grow until it fits. */
    for (;;) {
        guint8 *data = g_malloc (size);
        CborWriter writer;

        cbor_writer_init (&writer, data, size);
        put_start (&writer, series, info, geometry, maps, compression, user_data);

        if (!writer.overflow)
            return g_bytes_new_take (g_realloc (data, writer.length), writer.length);

        g_free (data);
        size *= 4;
    }
}

GBytes *
stream_encode_end (const StreamSeries *series, guint64 sent, guint64 dropped, guint64 possibly_lost)
{
    guint8 data[256];
    CborWriter writer;

    cbor_writer_init (&writer, data, sizeof data);
    cbor_writer_put_tag (&writer, CBOR_TAG_SELF_DESCRIBED);
    cbor_writer_put_map (&writer, 6);
    put_series (&writer, "end", series);
    cbor_writer_put_key_uint (&writer, "frames_sent", sent);
    cbor_writer_put_key_uint (&writer, "frames_dropped", dropped);
    cbor_writer_put_key_uint (&writer, "frames_possibly_lost", possibly_lost);
    g_assert (!writer.overflow);
    return g_bytes_new (data, writer.length);
}
