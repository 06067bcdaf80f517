/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A small CBOR encoder (RFC 8949) for the stream's message headers: it writes into a buffer the
 * caller owns and allocates nothing, so that an image's header can go straight in front of its
 * pixels, whose byte string it announces but never copies. */
#ifndef UCA_RECORD_CBOR_H
#define UCA_RECORD_CBOR_H

#include <glib.h>

typedef struct {
    guint8 *data;
    gsize size;
    gsize length;
    gboolean overflow; /* something did not fit: the encoding is unusable */
} CborWriter;

enum {
    CBOR_TAG_DATE_TIME = 0,
    CBOR_TAG_POSITIVE_BIGNUM = 2,
    CBOR_TAG_NEGATIVE_BIGNUM = 3,
    CBOR_TAG_UINT8_ARRAY = 64,
    CBOR_TAG_UINT16_BE_ARRAY = 65,
    CBOR_TAG_UINT16_LE_ARRAY = 69,
    CBOR_TAG_UINT32_LE_ARRAY = 70,
    CBOR_TAG_FLOAT32_LE_ARRAY = 85,
    CBOR_TAG_MULTI_DIM_ARRAY = 40,
    CBOR_TAG_SELF_DESCRIBED = 55799,
    CBOR_TAG_COMPRESSED = 56500, /* the frame-stream convention's: [algorithm, modifier, bytes] */
};

void cbor_writer_init (CborWriter *writer, guint8 *data, gsize size);
void cbor_writer_put_uint (CborWriter *writer, guint64 value);
void cbor_writer_put_int (CborWriter *writer, gint64 value);
/* The negative integer -1 - `value`: all 64 bits of it, beyond what a gint64 holds. */
void cbor_writer_put_negative (CborWriter *writer, guint64 value);
void cbor_writer_put_double (CborWriter *writer, gdouble value);
void cbor_writer_put_bool (CborWriter *writer, gboolean value);
void cbor_writer_put_null (CborWriter *writer);
/* Text that is not UTF-8 is written with U+FFFD for each byte that is not. */
void cbor_writer_put_text (CborWriter *writer, const gchar *text);
void cbor_writer_put_bytes (CborWriter *writer, const guint8 *bytes, gsize length);
/* Items encoded before, as they are. */
void cbor_writer_put_encoded (CborWriter *writer, const guint8 *items, gsize length);
/* Only the head of a byte string of `length` bytes: its content follows elsewhere. */
void cbor_writer_put_bytes_head (CborWriter *writer, guint64 length);
/* Only the head of a text string of `length` bytes of UTF-8, which follow. */
void cbor_writer_put_text_head (CborWriter *writer, guint64 length);
void cbor_writer_put_array (CborWriter *writer, guint64 n_items);
void cbor_writer_put_map (CborWriter *writer, guint64 n_pairs);
void cbor_writer_put_tag (CborWriter *writer, guint64 tag);
/* A DateTime: tag 0 on RFC 3339 text, in UTC. */
void cbor_writer_put_date_time (CborWriter *writer, GDateTime *time);
/* A Rational: [numerator, denominator]. */
void cbor_writer_put_rational (CborWriter *writer, guint64 numerator, guint64 denominator);
/* A map key and an unsigned value, the commonest pair. */
void cbor_writer_put_key_uint (CborWriter *writer, const gchar *key, guint64 value);

#endif
