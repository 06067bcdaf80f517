/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See cbor.h. */

#include "cbor.h"

#include <string.h>

enum {
    MAJOR_UNSIGNED = 0,
    MAJOR_NEGATIVE = 1,
    MAJOR_BYTES = 2,
    MAJOR_TEXT = 3,
    MAJOR_ARRAY = 4,
    MAJOR_MAP = 5,
    MAJOR_TAG = 6,
    MAJOR_SIMPLE = 7,
};

void
cbor_writer_init (CborWriter *writer, guint8 *data, gsize size)
{
    *writer = (CborWriter){ .data = data, .size = size };
}

static void
put_raw (CborWriter *writer, const void *bytes, gsize length)
{
    if (writer->overflow || length > writer->size - writer->length) {
        writer->overflow = TRUE;
        return;
    }

    memcpy (writer->data + writer->length, bytes, length);
    writer->length += length;
}

/* The shortest head that holds `value`, big-endian as CBOR wants it. */
static void
put_head (CborWriter *writer, guint major, guint64 value)
{
    guint8 head[9];
    guint extra = value < 24 ? 0 : value <= G_MAXUINT8 ? 1 : value <= G_MAXUINT16 ? 2 : value <= G_MAXUINT32 ? 4 : 8;

    head[0] = (guint8) (major << 5 | (extra == 0 ? value : extra == 1 ? 24 : extra == 2 ? 25 : extra == 4 ? 26 : 27));

    for (guint i = 0; i < extra; i++)
        head[1 + i] = (guint8) (value >> (8 * (extra - 1 - i)));

    put_raw (writer, head, 1 + extra);
}

void
cbor_writer_put_uint (CborWriter *writer, guint64 value)
{
    put_head (writer, MAJOR_UNSIGNED, value);
}

void
cbor_writer_put_int (CborWriter *writer, gint64 value)
{
    if (value >= 0)
        put_head (writer, MAJOR_UNSIGNED, (guint64) value);
    else
        put_head (writer, MAJOR_NEGATIVE, (guint64) (-(value + 1)));
}

void
cbor_writer_put_negative (CborWriter *writer, guint64 value)
{
    put_head (writer, MAJOR_NEGATIVE, value);
}

void
cbor_writer_put_double (CborWriter *writer, gdouble value)
{
    guint64 bits;
    guint8 item[9] = { MAJOR_SIMPLE << 5 | 27 };

    memcpy (&bits, &value, sizeof bits);

    for (guint i = 0; i < 8; i++)
        item[1 + i] = (guint8) (bits >> (8 * (7 - i)));

    put_raw (writer, item, sizeof item);
}

void
cbor_writer_put_bool (CborWriter *writer, gboolean value)
{
    const guint8 item = MAJOR_SIMPLE << 5 | (value ? 21 : 20);

    put_raw (writer, &item, 1);
}

void
cbor_writer_put_null (CborWriter *writer)
{
    const guint8 item = MAJOR_SIMPLE << 5 | 22;

    put_raw (writer, &item, 1);
}

void
cbor_writer_put_text (CborWriter *writer, const gchar *text)
{
    gsize length;

    /* CBOR text is UTF-8, or decoders refuse the whole message: other bytes (a camera's name may
     * hold any) go out as U+FFFD each. */
    if (!g_utf8_validate (text, -1, NULL)) {
        gchar *valid = g_utf8_make_valid (text, -1);

        cbor_writer_put_text (writer, valid);
        g_free (valid);
        return;
    }

    length = strlen (text);

    put_head (writer, MAJOR_TEXT, length);
    put_raw (writer, text, length);
}

void
cbor_writer_put_bytes (CborWriter *writer, const guint8 *bytes, gsize length)
{
    put_head (writer, MAJOR_BYTES, length);
    put_raw (writer, bytes, length);
}

void
cbor_writer_put_encoded (CborWriter *writer, const guint8 *items, gsize length)
{
    put_raw (writer, items, length);
}

void
cbor_writer_put_bytes_head (CborWriter *writer, guint64 length)
{
    put_head (writer, MAJOR_BYTES, length);
}

void
cbor_writer_put_text_head (CborWriter *writer, guint64 length)
{
    put_head (writer, MAJOR_TEXT, length);
}

void
cbor_writer_put_array (CborWriter *writer, guint64 n_items)
{
    put_head (writer, MAJOR_ARRAY, n_items);
}

void
cbor_writer_put_map (CborWriter *writer, guint64 n_pairs)
{
    put_head (writer, MAJOR_MAP, n_pairs);
}

void
cbor_writer_put_tag (CborWriter *writer, guint64 tag)
{
    put_head (writer, MAJOR_TAG, tag);
}

void
cbor_writer_put_date_time (CborWriter *writer, GDateTime *time)
{
    GDateTime *utc = g_date_time_to_utc (time);
    gchar *text = g_date_time_format_iso8601 (utc);

    cbor_writer_put_tag (writer, CBOR_TAG_DATE_TIME);
    cbor_writer_put_text (writer, text);
    g_free (text);
    g_date_time_unref (utc);
}

void
cbor_writer_put_rational (CborWriter *writer, guint64 numerator, guint64 denominator)
{
    cbor_writer_put_array (writer, 2);
    cbor_writer_put_uint (writer, numerator);
    cbor_writer_put_uint (writer, denominator);
}

void
cbor_writer_put_key_uint (CborWriter *writer, const gchar *key, guint64 value)
{
    cbor_writer_put_text (writer, key);
    cbor_writer_put_uint (writer, value);
}
