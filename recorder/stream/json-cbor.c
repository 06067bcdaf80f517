/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See json-cbor.h. A recursive descent over RFC 8259's grammar; each container's items are
 * encoded first, since a CBOR head gives their count. */

#include "json-cbor.h"
#include "cbor.h"
#include "core/uca-record.h"

#include <string.h>

enum {
    MAX_DEPTH = 512, /* deeper nesting is refused rather than overflowing the stack */
    HEAD_BYTES = 9,
};

typedef struct {
    const gchar *text;
    gsize at;
    guint depth;
    GError **error;
} Parser;

static gboolean parse_value (Parser *parser, GByteArray *out);

static gboolean
fail (Parser *parser, const gchar *what)
{
    g_set_error (parser->error, RECORD_ERROR, RECORD_ERROR_USAGE, "--stream-user-data is not JSON: %s at character %zu",
                 what, parser->at + 1);
    return FALSE;
}

static void
append_head (GByteArray *out, void (*put) (CborWriter *, guint64), guint64 value)
{
    guint8 head[HEAD_BYTES];
    CborWriter writer;

    cbor_writer_init (&writer, head, sizeof head);
    put (&writer, value);
    g_byte_array_append (out, head, (guint) writer.length);
}

static void
skip_space (Parser *parser)
{
    while (strchr (" \t\n\r", parser->text[parser->at]) != NULL && parser->text[parser->at] != '\0')
        parser->at++;
}

static gint
hex_digits (const gchar *text)
{
    gint value = 0;

    for (guint i = 0; i < 4; i++) {
        const gint digit = g_ascii_xdigit_value (text[i]);

        if (digit < 0)
            return -1;

        value = value << 4 | digit;
    }

    return value;
}

/* A string's characters as UTF-8, NUL included; `parser` at its opening quote. */
static gboolean
parse_string (Parser *parser, GString *string)
{
    static const gchar escaped[] = "\"\\/bfnrt", meant[] = "\"\\/\b\f\n\r\t";

    parser->at++;

    for (;;) {
        const gchar c = parser->text[parser->at];
        const gchar *escape;
        gint unit, low;

        if (c == '\0')
            return fail (parser, "a string without its closing quote");

        if (c == '"') {
            parser->at++;
            return TRUE;
        }

        if ((guchar) c < 0x20)
            return fail (parser, "a control character in a string");

        if (c != '\\') {
            g_string_append_c (string, c);
            parser->at++;
            continue;
        }

        escape = parser->text[parser->at + 1] != '\0' ? strchr (escaped, parser->text[parser->at + 1]) : NULL;

        if (escape != NULL) {
            g_string_append_c (string, meant[escape - escaped]);
            parser->at += 2;
            continue;
        }

        if (parser->text[parser->at + 1] != 'u' || (unit = hex_digits (parser->text + parser->at + 2)) < 0)
            return fail (parser, "a bad escape");

        parser->at += 6;

        /* A surrogate pair is one character; a surrogate alone none that UTF-8 can hold. */
        if (unit >= 0xD800 && unit <= 0xDBFF && parser->text[parser->at] == '\\' &&
            parser->text[parser->at + 1] == 'u' && (low = hex_digits (parser->text + parser->at + 2)) >= 0xDC00 &&
            low <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            parser->at += 6;
        }
        else if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;

        g_string_append_unichar (string, (gunichar) unit);
    }
}

static void
append_text (GByteArray *out, const GString *string)
{
    append_head (out, cbor_writer_put_text_head, string->len);
    g_byte_array_append (out, (const guint8 *) string->str, (guint) string->len);
}

static gsize
count_digits (const gchar *text)
{
    gsize n = 0;

    while (g_ascii_isdigit (text[n]))
        n++;

    return n;
}

/* An integer of any size: within 64 bits as CBOR's own, beyond as a bignum (tag 2 for n, tag 3
 * for -1 - n) with its magnitude's bytes, big-endian. */
static void
append_integer (GByteArray *out, gboolean negative, const gchar *digits, gsize n_digits)
{
    GByteArray *magnitude = g_byte_array_new (); /* little-endian while it is built */
    guint length;

    for (gsize i = 0; i < n_digits; i++) {
        guint carry = (guint) (digits[i] - '0');

        for (guint j = 0; j < magnitude->len; j++) {
            const guint value = magnitude->data[j] * 10u + carry;

            magnitude->data[j] = (guint8) value;
            carry = value >> 8;
        }

        if (carry > 0)
            g_byte_array_append (magnitude, &(guint8){ (guint8) carry }, 1);
    }

    /* -0 is 0; a negative n is written as -1 - n. */
    negative = negative && magnitude->len > 0;

    for (guint j = 0; negative && j < magnitude->len && magnitude->data[j]-- == 0; j++)
        ;

    length = magnitude->len;

    while (length > 0 && magnitude->data[length - 1] == 0)
        length--;

    if (length <= 8) {
        guint64 value = 0;

        for (guint j = length; j > 0; j--)
            value = value << 8 | magnitude->data[j - 1];

        append_head (out, negative ? cbor_writer_put_negative : cbor_writer_put_uint, value);
    }
    else {
        append_head (out, cbor_writer_put_tag, negative ? CBOR_TAG_NEGATIVE_BIGNUM : CBOR_TAG_POSITIVE_BIGNUM);
        append_head (out, cbor_writer_put_bytes_head, length);

        for (guint j = length; j > 0; j--)
            g_byte_array_append (out, &magnitude->data[j - 1], 1);
    }

    g_byte_array_free (magnitude, TRUE);
}

static gboolean
parse_number (Parser *parser, GByteArray *out)
{
    const gchar *start = parser->text + parser->at;
    const gboolean negative = *start == '-';
    const gchar *digits = start + negative;
    const gsize n_digits = count_digits (digits);
    const gchar *end = digits + n_digits;
    gboolean whole = TRUE;

    if (n_digits == 0 || (digits[0] == '0' && n_digits > 1))
        return fail (parser, "a malformed number");

    if (*end == '.') {
        whole = FALSE;

        if (count_digits (end + 1) == 0)
            return fail (parser, "a malformed number");

        end += 1 + count_digits (end + 1);
    }

    if (*end == 'e' || *end == 'E') {
        const gchar *exponent = end + 1 + (end[1] == '+' || end[1] == '-');

        whole = FALSE;

        if (count_digits (exponent) == 0)
            return fail (parser, "a malformed number");

        end = exponent + count_digits (exponent);
    }

    if (whole)
        append_integer (out, negative, digits, n_digits);
    else {
        gchar *token = g_strndup (start, (gsize) (end - start));
        guint8 item[HEAD_BYTES];
        CborWriter writer;

        cbor_writer_init (&writer, item, sizeof item);
        cbor_writer_put_double (&writer, g_ascii_strtod (token, NULL));
        g_byte_array_append (out, item, (guint) writer.length);
        g_free (token);
    }

    parser->at += (gsize) (end - start);
    return TRUE;
}

static gboolean
parse_array (Parser *parser, GByteArray *out)
{
    GByteArray *items = g_byte_array_new ();
    guint64 n_items = 0;
    gboolean success = TRUE;

    parser->at++;
    skip_space (parser);

    if (parser->text[parser->at] == ']')
        parser->at++;
    else {
        for (;;) {
            success = parse_value (parser, items);

            if (!success)
                break;

            n_items++;
            skip_space (parser);

            if (parser->text[parser->at] == ']') {
                parser->at++;
                break;
            }

            if (parser->text[parser->at] != ',') {
                success = fail (parser, "neither , nor ] after an array's item");
                break;
            }

            parser->at++;
        }
    }

    if (success) {
        append_head (out, cbor_writer_put_array, n_items);
        g_byte_array_append (out, items->data, items->len);
    }

    g_byte_array_free (items, TRUE);
    return success;
}

static void
free_string (gpointer string)
{
    g_string_free (string, TRUE);
}

/* A repeated key keeps its first place and takes the last value, as JSON libraries do. */
static gboolean
parse_object (Parser *parser, GByteArray *out)
{
    GPtrArray *keys = g_ptr_array_new_with_free_func (free_string);
    GPtrArray *values = g_ptr_array_new_with_free_func ((GDestroyNotify) g_bytes_unref);
    GHashTable *places = g_hash_table_new ((GHashFunc) g_string_hash, (GEqualFunc) g_string_equal);
    gboolean success = TRUE;

    parser->at++;
    skip_space (parser);

    if (parser->text[parser->at] == '}')
        parser->at++;
    else {
        for (;;) {
            GString *key = g_string_new (NULL);
            GByteArray *value = g_byte_array_new ();
            gpointer place;

            if (parser->text[parser->at] != '"')
                success = fail (parser, "an object's key that is not a string");

            success = success && parse_string (parser, key);
            skip_space (parser);

            if (success && parser->text[parser->at] != ':')
                success = fail (parser, "no : after an object's key");

            if (success) {
                parser->at++;
                success = parse_value (parser, value);
            }

            if (success && g_hash_table_lookup_extended (places, key, NULL, &place)) {
                g_bytes_unref (g_ptr_array_index (values, GPOINTER_TO_UINT (place)));
                g_ptr_array_index (values, GPOINTER_TO_UINT (place)) = g_byte_array_free_to_bytes (value);
                g_string_free (key, TRUE);
            }
            else if (success) {
                g_hash_table_insert (places, key, GUINT_TO_POINTER (keys->len));
                g_ptr_array_add (keys, key);
                g_ptr_array_add (values, g_byte_array_free_to_bytes (value));
            }
            else {
                g_string_free (key, TRUE);
                g_byte_array_free (value, TRUE);
                break;
            }

            skip_space (parser);

            if (parser->text[parser->at] == '}') {
                parser->at++;
                break;
            }

            if (parser->text[parser->at] != ',') {
                success = fail (parser, "neither , nor } after an object's member");
                break;
            }

            parser->at++;
            skip_space (parser);
        }
    }

    if (success) {
        append_head (out, cbor_writer_put_map, keys->len);

        for (guint i = 0; i < keys->len; i++) {
            gsize size;
            const guint8 *data = g_bytes_get_data (g_ptr_array_index (values, i), &size);

            append_text (out, g_ptr_array_index (keys, i));
            g_byte_array_append (out, data, (guint) size);
        }
    }

    g_hash_table_unref (places);
    g_ptr_array_unref (values);
    g_ptr_array_unref (keys);
    return success;
}

static gboolean
parse_literal (Parser *parser, GByteArray *out, const gchar *word, guint8 item)
{
    if (strncmp (parser->text + parser->at, word, strlen (word)) != 0)
        return fail (parser, "an unknown word");

    parser->at += strlen (word);
    g_byte_array_append (out, &item, 1);
    return TRUE;
}

enum {
    ITEM_FALSE = 0xf4,
    ITEM_TRUE = 0xf5,
    ITEM_NULL = 0xf6,
};

static gboolean
parse_value (Parser *parser, GByteArray *out)
{
    gchar c;
    gboolean success;

    skip_space (parser);
    c = parser->text[parser->at];

    if (parser->depth >= MAX_DEPTH)
        return fail (parser, "nesting too deep");

    parser->depth++;

    if (c == '{')
        success = parse_object (parser, out);
    else if (c == '[')
        success = parse_array (parser, out);
    else if (c == '"') {
        GString *string = g_string_new (NULL);

        success = parse_string (parser, string);

        if (success)
            append_text (out, string);

        g_string_free (string, TRUE);
    }
    else if (c == '-' || g_ascii_isdigit (c))
        success = parse_number (parser, out);
    else if (c == 't')
        success = parse_literal (parser, out, "true", ITEM_TRUE);
    else if (c == 'f')
        success = parse_literal (parser, out, "false", ITEM_FALSE);
    else if (c == 'n')
        success = parse_literal (parser, out, "null", ITEM_NULL);
    else
        success = fail (parser, c == '\0' ? "nothing given" : "an unexpected character");

    parser->depth--;
    return success;
}

GBytes *
json_cbor_encode (const gchar *text, GError **error)
{
    Parser parser = { .text = text, .error = error };
    GByteArray *out = g_byte_array_new ();

    if (!g_utf8_validate (text, -1, NULL)) {
        g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_USAGE, "--stream-user-data is not JSON: not UTF-8");
        g_byte_array_free (out, TRUE);
        return NULL;
    }

    if (parse_value (&parser, out)) {
        skip_space (&parser);

        if (text[parser.at] == '\0')
            return g_byte_array_free_to_bytes (out);

        fail (&parser, "more after the value");
    }

    g_byte_array_free (out, TRUE);
    return NULL;
}
