/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* --stream-user-data: JSON text as the equivalent CBOR item, value for value. A general JSON
 * library would not do: json-glib reads integers into 64 bits (2^64 became -1) and its strings
 * end at the first NUL (a "\u0000" cut the rest off). Here integers of any size stay exact
 * (beyond 64 bits as CBOR bignums, tags 2 and 3), strings keep every character, NUL included,
 * objects become maps (a repeated key: the last value, in the first one's place), numbers with
 * a fraction or an exponent doubles. A lone surrogate escape ("\ud800"), which UTF-8 cannot
 * hold, becomes U+FFFD. */
#ifndef UCA_RECORD_JSON_CBOR_H
#define UCA_RECORD_JSON_CBOR_H

#include <glib.h>

/* The encoded item, or NULL with the reason and where it was found. */
GBytes *json_cbor_encode (const gchar *text, GError **error);

#endif
