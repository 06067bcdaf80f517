/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See options.h. Numbers arrive as text, so that "-3", "many" or "1.5" for a frame
 * count get a message of the recorder's own instead of being cut or wrapped by GOption. */

#include "options.h"
#include "formats.h"
#include "platform/platform.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

const gchar *const record_mode_names[4] = { "continuous", "single", "async", "buffered" };
const gchar *const record_series_names[3] = { "data", "dark", "flat" };
static const gchar *const counter_names[] = { "none", "sim-pattern" };
static const gchar *const stream_policy_names[] = { "block", "drop" };

static const guint64 default_buffer_bytes = G_GUINT64_CONSTANT (1) << 30;

static gboolean
usage_error (GError **error, const gchar *option, const gchar *text, const gchar *expected)
{
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Bad value for %s: `%s' is not %s", option, text, expected);
    return FALSE;
}

/* One of `names`, by its index. */
static gboolean
parse_name (const gchar *option, const gchar *text, const gchar *const *names, guint n_names, guint *index,
            GError **error)
{
    GString *expected = g_string_new (NULL);

    for (guint i = 0; i < n_names; i++) {
        if (g_strcmp0 (text, names[i]) == 0) {
            *index = i;
            g_string_free (expected, TRUE);
            return TRUE;
        }

        g_string_append_printf (expected, "%s%s", i > 0 ? ", " : "", names[i]);
    }

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Unknown %s `%s' (expected %s)", option, text, expected->str);
    g_string_free (expected, TRUE);
    return FALSE;
}

static gboolean
parse_seconds (const gchar *option, const gchar *text, gboolean zero_allowed, gdouble *seconds, GError **error)
{
    gchar *end = NULL;
    gdouble value;

    errno = 0;
    value = g_ascii_strtod (text, &end);

    if (*text == '\0' || *end != '\0' || errno != 0 || !isfinite (value) || value < 0 || (value == 0 && !zero_allowed))
        return usage_error (error, option, text,
                            zero_allowed ? "zero or a positive number of seconds" : "a positive number of seconds");

    *seconds = value;
    return TRUE;
}

/* A byte count with an optional binary unit: 1073741824, 1G, 1GiB, 512M, 64k. */
static gboolean
parse_size (const gchar *text, guint64 *bytes, GError **error)
{
    static const gchar units[] = "KMGT";
    gchar *end = NULL;
    guint64 value;
    guint shift = 0;
    const gchar *unit;

    errno = 0;
    value = g_ascii_isdigit (text[0]) ? g_ascii_strtoull (text, &end, 10) : 0;

    if (end != NULL && *end != '\0' && (unit = strchr (units, g_ascii_toupper (*end))) != NULL) {
        shift = 10 * (guint) (unit - units + 1);
        end++;

        if (g_ascii_strcasecmp (end, "iB") == 0 || g_ascii_strcasecmp (end, "B") == 0)
            end += strlen (end);
    }

    if (end == NULL || *end != '\0' || errno != 0 || value == 0 || value > (G_MAXUINT64 >> shift))
        return usage_error (error, "--buffer", text, "a size such as 1G, 512M or 4096");

    *bytes = value << shift;
    return TRUE;
}

static gboolean
parse_count (const gchar *text, guint64 *count, GError **error)
{
    if (!g_ascii_string_to_unsigned (text, 10, 0, G_MAXUINT64, count, NULL))
        return usage_error (error, "--frames", text, "zero or a positive whole number");

    return TRUE;
}

/* GOption's conversion error names no option: the first argument that is not text in the
 * locale's encoding, or the option before it, is named instead. */
static void
name_unconvertible_option (gint argc, gchar **argv, GError **error)
{
    for (gint i = 1; i < argc; i++) {
        gchar *converted = g_locale_to_utf8 (argv[i], -1, NULL, NULL, NULL);
        const gchar *option = argv[i][0] == '-' || i == 1 ? argv[i] : argv[i - 1];
        const gchar *charset;
        gchar *name, *escaped;

        g_free (converted);

        if (converted != NULL)
            continue;

        g_get_charset (&charset);
        name = g_strndup (option, strcspn (option, "="));
        escaped = g_strescape (name, NULL);
        g_clear_error (error);
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Bad value for %s: not text in this system's encoding (%s)", escaped, charset);
        g_free (escaped);
        g_free (name);
        return;
    }
}

typedef struct {
    gchar *frames;
    gchar *duration;
    gchar *buffer;
    gchar *mode;
    gchar *format;
    gchar *series;
    gchar *counter;
    gchar *timeout;
    gchar *stream_policy;
    gchar *stream_compression;
    gchar *format_names; /* "tiff, multitiff, hdf5" */
    gchar *format_help;
} OptionTexts;

/* `path` absolute, with the links of the part that exists followed: what is yet to be made lies
 * where its nearest existing ancestor really is. */
static gchar *
resolved_path (const gchar *path)
{
    gchar *absolute = g_canonicalize_filename (path, NULL);
    gchar *real = record_real_path (absolute), *parent, *name, *resolved;

    if (real != NULL || g_path_skip_root (absolute) == NULL || *g_path_skip_root (absolute) == '\0') {
        resolved = g_strdup (real != NULL ? real : absolute);
        free (real);
        g_free (absolute);
        return resolved;
    }

    parent = g_path_get_dirname (absolute);
    name = g_path_get_basename (absolute);
    real = resolved_path (parent);
    resolved = g_build_filename (real, name, NULL);
    g_free (real);
    g_free (name);
    g_free (parent);
    g_free (absolute);
    return resolved;
}

/* An ipc socket bound in the output folder would stand among the recording's files, or in the
 * folder's own place, and block the folder; links are followed, for the folder and for the
 * socket's. */
static gboolean
check_stream_paths (const Options *options, GError **error)
{
    gchar *folder, *inside;
    gboolean usable = TRUE;

    if (options->output_dir == NULL || options->stream.endpoints == NULL)
        return TRUE;

    folder = resolved_path (options->output_dir);
    inside = g_build_filename (folder, "/", NULL);

    for (gchar **endpoint = options->stream.endpoints; usable && *endpoint != NULL; endpoint++) {
        gchar *path =
            g_str_has_prefix (*endpoint, "ipc://") && (*endpoint)[6] != '@' ? resolved_path (*endpoint + 6) : NULL;

        if (path != NULL && (strcmp (path, folder) == 0 || g_str_has_prefix (path, inside))) {
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                         "Cannot publish on `%s' (--stream): its socket would be %s the output folder `%s'; give "
                         "a path outside it",
                         *endpoint, strcmp (path, folder) == 0 ? "in the place of" : "inside", options->output_dir);
            usable = FALSE;
        }

        g_free (path);
    }

    g_free (inside);
    g_free (folder);
    return usable;
}

/* A series goes into a file that holds several: the format that does is the default then, and
 * the others are refused. */
static gboolean
check_series (const OptionTexts *texts, Options *options, GError **error)
{
    const RecordFormat *holder = NULL;
    guint index;

    if (!parse_name ("series", texts->series, record_series_names, G_N_ELEMENTS (record_series_names), &index, error))
        return FALSE;

    options->series = (RecordSeries) index;

    for (guint i = 0; i < record_n_formats && holder == NULL; i++) {
        if (record_format_holds_series (&record_formats[i]))
            holder = &record_formats[i];
    }

    if (texts->format == NULL) {
        options->format = holder;
        return TRUE;
    }

    if (record_format_holds_series (options->format))
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                 "--series needs --format %s: only its one file holds darks, flats and projections side by side, "
                 "not --format %s",
                 holder->name, options->format->name);
    return FALSE;
}

static gboolean
check_options (const OptionTexts *texts, Options *options, GError **error)
{
    guint index;

    if (texts->duration != NULL && !parse_seconds ("--duration", texts->duration, TRUE, &options->duration_s, error))
        return FALSE;

    /* A duration alone records for that long; a count alone stops after ten frames. */
    if (texts->frames != NULL) {
        if (!parse_count (texts->frames, &options->n_frames, error))
            return FALSE;
    }
    else {
        options->n_frames = options->duration_s > 0 ? 0 : 10;
    }

    if (texts->buffer != NULL && !parse_size (texts->buffer, &options->buffer_bytes, error))
        return FALSE;

    if (texts->timeout != NULL && !parse_seconds ("--timeout", texts->timeout, FALSE, &options->timeout_s, error))
        return FALSE;

    if (texts->mode != NULL) {
        if (!parse_name ("mode", texts->mode, record_mode_names, G_N_ELEMENTS (record_mode_names), &index, error))
            return FALSE;
        options->mode = (RecordMode) index;
    }

    if (texts->format != NULL && (options->format = record_format_find (texts->format)) == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Unknown format `%s' (expected %s)", texts->format,
                     texts->format_names);
        return FALSE;
    }

    if (texts->series != NULL && !check_series (texts, options, error))
        return FALSE;

    /* Without a folder frames are only counted: a format asked for would be silently ignored. */
    if ((texts->format != NULL || texts->series != NULL) && options->output_dir == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "--%s %s writes files: give --output DIR as well (without it frames are only counted)",
                     texts->format != NULL ? "format" : "series",
                     texts->format != NULL ? texts->format : texts->series);
        return FALSE;
    }

    if (!check_stream_paths (options, error))
        return FALSE;

    if (texts->counter != NULL) {
        if (!parse_name ("frame counter", texts->counter, counter_names, G_N_ELEMENTS (counter_names), &index, error))
            return FALSE;
        options->counter = (RecordCounter) index;
    }

    if (texts->stream_policy != NULL) {
        if (!parse_name ("stream policy", texts->stream_policy, stream_policy_names, G_N_ELEMENTS (stream_policy_names),
                         &index, error))
            return FALSE;
        options->stream.drop = index == 1;
    }

    if (texts->stream_compression != NULL) {
        if (!parse_name ("stream compression", texts->stream_compression, stream_compression_names,
                         G_N_ELEMENTS (stream_compression_names), &index, error))
            return FALSE;
        options->stream.compression = (StreamCompression) index;
    }

    return TRUE;
}

static void
option_texts_clear (OptionTexts *texts)
{
    g_free (texts->frames);
    g_free (texts->duration);
    g_free (texts->buffer);
    g_free (texts->mode);
    g_free (texts->format);
    g_free (texts->series);
    g_free (texts->counter);
    g_free (texts->timeout);
    g_free (texts->stream_policy);
    g_free (texts->stream_compression);
    g_free (texts->format_names);
    g_free (texts->format_help);
}

/* From the table of formats: "tiff, multitiff, hdf5", or with `summaries` the --format help. */
static gchar *
list_formats (gboolean summaries)
{
    GString *text = g_string_new (NULL);

    for (guint i = 0; i < record_n_formats; i++) {
        const RecordFormat *format = &record_formats[i];

        const gchar *separator = i == 0 ? "" : ", ";

        if (!summaries)
            g_string_append_printf (text, "%s%s", separator, format->name);
        else
            g_string_append_printf (text, "%s%s (%s%s)", i > 0 && i + 1 == record_n_formats ? " or " : separator,
                                    format->name, format->summary, i == 0 ? ", default" : "");
    }

    return g_string_free (text, FALSE);
}

gboolean
record_parse_options (int *argc, char ***argv, Options *options, GError **error)
{
    OptionTexts texts = { .format_names = list_formats (FALSE), .format_help = list_formats (TRUE) };
    GOptionEntry entries[] = {
        { "frames", 'n', 0, G_OPTION_ARG_STRING, &texts.frames,
          "Frames to record; 0 for no limit (default 10, or no limit with --duration)", "N" },
        { "duration", 'd', 0, G_OPTION_ARG_STRING, &texts.duration,
          "Keep the frames that arrive within this many seconds, in every mode", "SECONDS" },
        { "mode", 'm', 0, G_OPTION_ARG_STRING, &texts.mode, "continuous (default), single, async or buffered", "MODE" },
        { "output", 'o', 0, G_OPTION_ARG_FILENAME, &options->output_dir, "Write the frames and preview.png into DIR",
          "DIR" },
        { "format", 'f', 0, G_OPTION_ARG_STRING, &texts.format, texts.format_help, "FORMAT" },
        { "series", 0, 0, G_OPTION_ARG_STRING, &texts.series,
          "Add a series to the HDF5 file in DIR: data (projections, the default), dark or flat", "SERIES" },
        { "overwrite", 0, 0, G_OPTION_ARG_NONE, &options->overwrite,
          "Replace a recording already in DIR; with HDF5, the series alone", NULL },
        { "buffer", 'b', 0, G_OPTION_ARG_STRING, &texts.buffer, "Memory for frames waiting to be written (default 1G)",
          "SIZE" },
        { "timeout", 't', 0, G_OPTION_ARG_STRING, &texts.timeout,
          "Give up when no frame arrives for this long (default: two exposure times + 10 s)", "SECONDS" },
        { "frame-counter", 0, 0, G_OPTION_ARG_STRING, &texts.counter,
          "Where frame numbers can be read to find frames out of order: none (default) or "
          "sim-pattern (the simulated detector's test pattern)",
          "KIND" },
        { "quiet", 'q', 0, G_OPTION_ARG_NONE, &options->quiet, "Print only warnings and errors, the camera's included",
          NULL },
        { "stream", 0, 0, G_OPTION_ARG_STRING_ARRAY, &options->stream.endpoints,
          "Publish every frame on this ZeroMQ endpoint, e.g. tcp://*:31001 or ipc:///tmp/frames; repeatable, "
          "each gets every frame. tcp://*:PORT serves anyone who reaches the port",
          "ENDPOINT" },
        { "stream-policy", 0, 0, G_OPTION_ARG_STRING, &texts.stream_policy,
          "block (default: wait for consumers, as for a slow disk) or drop (never wait; count what they miss)",
          "POLICY" },
        { "stream-compression", 0, 0, G_OPTION_ARG_STRING, &texts.stream_compression,
          "none (default), lz4 or bslz4 (bitshuffled LZ4): for networks slower than the camera", "NAME" },
        { "stream-user-data", 0, 0, G_OPTION_ARG_STRING, &options->stream.user_data,
          "JSON for the start message's user_data", "JSON" },
        { "stream-curve-secret", 0, 0, G_OPTION_ARG_FILENAME, &options->stream.curve_secret,
          "Encrypt the stream with CURVE, the server's key pair in FILE (see --stream-keygen)", "FILE" },
        { "stream-curve-clients", 0, 0, G_OPTION_ARG_FILENAME, &options->stream.curve_clients,
          "With CURVE, admit only the public keys in FILE, one a line", "FILE" },
        { "stream-keygen", 0, 0, G_OPTION_ARG_NONE, &options->stream.keygen, "Print a new CURVE key pair and exit",
          NULL },
        { "monitor", 0, 0, G_OPTION_ARG_STRING, &options->monitor,
          "Serve a live view of the recording to a browser at http://ADDRESS:PORT/ (ADDRESS 127.0.0.1 unless "
          "given; another address shows the frames to anyone who reaches the port)",
          "[ADDRESS:]PORT" },
        { NULL, 0, 0, 0, NULL, NULL, NULL }
    };
    GOptionContext *context = g_option_context_new ("CAMERA [PROPERTY=VALUE ...]");
    gboolean success;

    memset (options, 0, sizeof *options);
    options->buffer_bytes = default_buffer_bytes;
    options->format = &record_formats[0];
    g_option_context_add_main_entries (context, entries, NULL);
    g_option_context_set_summary (
        context, "Records frames from a libuca camera, reports frame rate, data rate, grab time and\n"
                 "repeated frames, and streams the frames to disk as 16-bit grayscale TIFF files, one\n"
                 "BigTIFF or one HDF5 file, with an 8-bit PNG preview of the last one. Memory use does\n"
                 "not grow with the number of frames. The first Ctrl-C (or SIGTERM, SIGHUP) finishes the\n"
                 "current frame and writes every frame received; a second one ends at once. With\n"
                 "--stream, the same frames go live to ZeroMQ consumers as well.\n\n"
                 "Modes: continuous and single grab synchronously (single sets the camera's\n"
                 "grab-from-continuous to false where it has it), async takes frames from the camera's\n"
                 "callback, buffered grabs through libuca's ring buffer.");

    success = g_option_context_parse (context, argc, argv, error);

    if (!success && g_error_matches (*error, G_CONVERT_ERROR, G_CONVERT_ERROR_ILLEGAL_SEQUENCE))
        name_unconvertible_option (*argc, *argv, error);

    if (success && *argc < 2 && !options->stream.keygen) {
        g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_USAGE, "No camera named");
        success = FALSE;
    }

    success = success && check_options (&texts, options, error);
    option_texts_clear (&texts);
    g_option_context_free (context);
    return success;
}

void
record_options_clear (Options *options)
{
    g_clear_pointer (&options->output_dir, g_free);
    g_clear_pointer (&options->stream.endpoints, g_strfreev);
    g_clear_pointer (&options->stream.user_data, g_free);
    g_clear_pointer (&options->stream.curve_secret, g_free);
    g_clear_pointer (&options->stream.curve_clients, g_free);
    g_clear_pointer (&options->monitor, g_free);
}

gboolean
record_ring_slots (const Options *options, const FrameGeometry *geometry, guint *n_slots, GError **error)
{
    guint64 slots = options->buffer_bytes / geometry->frame_bytes;

    if (slots == 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "--buffer of %" G_GUINT64_FORMAT " bytes holds no frame of %" G_GSIZE_FORMAT " bytes",
                     options->buffer_bytes, geometry->frame_bytes);
        return FALSE;
    }

    /* Without files or a stream only the previous frame is needed, to tell repeated ones. */
    if (options->output_dir == NULL && options->stream.endpoints == NULL)
        slots = MIN (slots, 2);

    if (options->n_frames > 0)
        slots = MIN (slots, options->n_frames);

    /* Tiny frames would make the per-slot bookkeeping outweigh the frames. */
    *n_slots = (guint) MIN (slots, 1 << 16);
    return TRUE;
}
