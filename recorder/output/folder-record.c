/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The names of recording files and the folder's record of its recordings. See folder-private.h. */

#include "folder-private.h"
#include "platform/platform.h"

#include <errno.h>
#include <string.h>

#include <glib/gstdio.h>

const gchar record_preview_name[] = "preview.png";
const gchar record_reserve_suffix[] = ".reserve";

static const gchar record_name[] = ".uca-record";
static const gchar group[] = "recording";

/* ---- Names ------------------------------------------------------------------------------ */

gboolean
folder_is_recording_name (const gchar *name)
{
    for (guint i = 0; i < record_n_formats; i++) {
        if (record_format_is_file (&record_formats[i], name, NULL))
            return TRUE;
    }

    return strcmp (name, record_preview_name) == 0;
}

/* ".NAME.TOKEN", a file of a recording under its temporary name (NAME a recording's, or a
 * format's file with the reserve's suffix): the name and the token, or FALSE. */
gboolean
folder_split_temporary (const gchar *name, gchar **base, gchar **token)
{
    const gsize length = strlen (name);
    gchar *candidate;
    gboolean found;

    if (name[0] != '.' || length < TOKEN_LENGTH + 3 || name[length - TOKEN_LENGTH - 1] != '.')
        return FALSE;

    for (gsize i = length - TOKEN_LENGTH; i < length; i++) {
        if (!g_ascii_isalnum (name[i]))
            return FALSE;
    }

    candidate = g_strndup (name + 1, length - TOKEN_LENGTH - 2);

    if (g_str_has_suffix (candidate, record_reserve_suffix))
        candidate[strlen (candidate) - strlen (record_reserve_suffix)] = '\0';

    found = folder_is_recording_name (candidate);
    g_free (candidate);

    if (found) {
        *base = g_strndup (name + 1, length - TOKEN_LENGTH - 2);
        *token = g_strdup (name + length - TOKEN_LENGTH);
    }

    return found;
}

static gint
compare_names (gconstpointer a, gconstpointer b)
{
    return strcmp (*(const gchar *const *) a, *(const gchar *const *) b);
}

/* How readers open a format's file that its writer left open, or "". */
static gchar *
opening_hint (const RecordFormat *format, const gchar *dir, const gchar *name)
{
    gchar *path, *hint;

    if (format->after_kill == NULL)
        return g_strdup ("");

    path = g_build_filename (dir, name, NULL);
    hint = g_strdup_printf ("; its writer did not close it, so ordinary readers open it only after `%s %s' (%s)",
                            format->after_kill, path, format->after_kill_package);
    g_free (path);
    return hint;
}

/* What a file a recording cut short left holds, and how to read it; NULL for a complete file. */
static gchar *
leftover_hint (const EarlierRecord *record, const gchar *dir, const gchar *name)
{
    const RecordFormat *format = record->format;
    gchar *base = NULL, *token = NULL, *opening = opening_hint (format, dir, name), *hint;

    if (!folder_split_temporary (name, &base, &token))
        hint = strcmp (name, format->file_name) == 0 ? g_strconcat ("the frames written before the end", opening, NULL)
                                                     : NULL;
    else if (g_str_has_suffix (base, record_reserve_suffix))
        hint = g_strdup ("space held in reserve, no frames");
    else if (strcmp (base, format->file_name) == 0 && record->adding)
        hint = g_strdup_printf ("the copy of %s a series was being added to, as far as it got%s", base, opening);
    else if (strcmp (base, format->file_name) == 0)
        hint = g_strdup_printf ("the frames written before the end; rename it to %s to read it%s", base, opening);
    else
        hint = g_strdup ("unfinished");

    g_free (opening);
    g_free (base);
    g_free (token);
    return hint;
}

/* The frame number of a series' file, or 0. */
static guint64
series_number (const gchar *name)
{
    guint64 number = 0;

    for (guint i = 0; i < record_n_formats && number == 0; i++)
        record_format_is_file (&record_formats[i], name, &number);

    return number;
}

/* "frame-000001.tif to frame-000100.tif, b (hint), c and 12 more": runs of a series in one item;
 * hints for the files of `hints_for` (may be NULL) in `dir`. */
gchar *
folder_list_names (GPtrArray *names, const EarlierRecord *hints_for, const gchar *dir)
{
    GString *text = g_string_new (NULL);
    guint items = 0, i = 0;

    g_ptr_array_sort (names, compare_names);

    while (i < names->len) {
        const gchar *name = g_ptr_array_index (names, i);
        gchar *hint = hints_for != NULL ? leftover_hint (hints_for, dir, name) : NULL;
        const guint64 first = series_number (name);
        guint run = 1;

        while (first > 0 && i + run < names->len && series_number (g_ptr_array_index (names, i + run)) == first + run)
            run++;

        if (items++ < LISTED_NAMES) {
            g_string_append_printf (text, "%s%s", items > 1 ? ", " : "", name);

            if (run > 1)
                g_string_append_printf (text, " to %s (%u frames)",
                                        (const gchar *) g_ptr_array_index (names, i + run - 1), run);

            if (hint != NULL)
                g_string_append_printf (text, " (%s)", hint);
        }

        g_free (hint);
        i += run;
    }

    if (items > LISTED_NAMES)
        g_string_append_printf (text, " and %u more", items - LISTED_NAMES);

    return g_string_free (text, FALSE);
}

/* ---- The record ------------------------------------------------------------------------- */

void
folder_earlier_record_free (EarlierRecord *record)
{
    if (record == NULL)
        return;

    g_free (record->token);
    g_free (record->owner);
    g_free (record);
}

/* The record in `dir`, or NULL when there is none that this version understands: its files are
 * then accounted for by no record. */
EarlierRecord *
folder_read_record (const gchar *dir)
{
    gchar *path = g_build_filename (dir, record_name, NULL);
    GKeyFile *file = g_key_file_new ();
    EarlierRecord *record = NULL;

    if (g_key_file_load_from_file (file, path, G_KEY_FILE_NONE, NULL)) {
        gchar *format = g_key_file_get_string (file, group, "format", NULL);
        gchar *state = g_key_file_get_string (file, group, "state", NULL);
        gchar *token = g_key_file_get_string (file, group, "token", NULL);
        gchar *replacing = NULL;

        if (record_format_find (format) != NULL && token != NULL && strlen (token) == TOKEN_LENGTH) {
            record = g_new0 (EarlierRecord, 1);
            record->format = record_format_find (format);
            record->token = g_steal_pointer (&token);
            record->owner = g_key_file_get_string (file, group, "owner", NULL);
            record->ended = g_strcmp0 (state, "ended") == 0;
            record->frames = record->last = g_key_file_get_uint64 (file, group, "frames", NULL);
            record->adding = g_key_file_get_boolean (file, group, "adding", NULL);
            record->series_id = g_key_file_get_uint64 (file, group, "series_id", NULL);
            replacing = g_key_file_get_string (file, group, "replacing_format", NULL);
            record->replacing_format = record_format_find (replacing);
            record->replacing_last = g_key_file_get_uint64 (file, group, "replacing_last", NULL);
        }

        g_free (format);
        g_free (state);
        g_free (token);
        g_free (replacing);
    }

    g_key_file_free (file);
    g_free (path);
    return record;
}

static gchar *
record_text (const RecordFolder *folder, gboolean ended, guint64 frames, gsize *length)
{
    GKeyFile *file = g_key_file_new ();
    gchar *text;

    g_key_file_set_comment (file, NULL, NULL, " What uca-record wrote into this folder; see its README.", NULL);
    g_key_file_set_string (file, group, "format", folder->format->name);
    g_key_file_set_string (file, group, "token", folder->token);
    g_key_file_set_string (file, group, "owner", folder->owner);
    g_key_file_set_string (file, group, "state", ended ? "ended" : "running");
    g_key_file_set_uint64 (file, group, "frames", frames);
    g_key_file_set_uint64 (file, group, "series_id", folder->series_id);

    if (folder->base != NULL)
        g_key_file_set_boolean (file, group, "adding", TRUE);

    /* While the earlier recording's files go, a kill or a failure leaves the rest as this run's. */
    if (folder->replacing_format != NULL) {
        g_key_file_set_string (file, group, "replacing_format", folder->replacing_format->name);
        g_key_file_set_uint64 (file, group, "replacing_last", folder->replacing_last);
    }

    text = g_key_file_to_data (file, length, NULL);
    g_key_file_free (file);
    return text;
}

/* The new record replaces the earlier one whole, and stays open: at the end it is rewritten in
 * place, which needs no more room on a disk that has filled up meanwhile. */
gboolean
folder_start_record (RecordFolder *folder, GError **error)
{
    gchar *path = g_build_filename (folder->dir, record_name, NULL);
    gchar *temporary = record_folder_temporary_path (folder, record_name + 1); /* ".uca-record.TOKEN" */
    gsize length;
    gchar *text = record_text (folder, FALSE, 0, &length);
    gint fd = record_file_create_new (temporary);
    gint error_number = errno;

    if (fd >= 0 && (record_file_write_at (fd, text, length, 0) != 0 || g_rename (temporary, path) != 0)) {
        error_number = errno != 0 ? errno : EIO;
        record_file_close (fd);
        record_folder_discard (folder, temporary);
        fd = -1;
    }

    if (fd < 0)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot write `%s': %s", path,
                     g_strerror (error_number));

    folder->record = fd;
    g_free (text);
    g_free (temporary);
    g_free (path);
    return fd >= 0;
}

void
folder_end_record (RecordFolder *folder, guint64 frames)
{
    gsize length;
    gchar *text = record_text (folder, TRUE, frames, &length);

    if (record_file_truncate (folder->record, 0) != 0 || record_file_write_at (folder->record, text, length, 0) != 0)
        g_printerr ("uca-record: warning: cannot record in `%s' that the recording ended: %s\n", folder->dir,
                    g_strerror (errno != 0 ? errno : EIO));

    record_file_close (folder->record);
    g_free (text);
}

static gint
compare_numbers (gconstpointer a, gconstpointer b)
{
    const guint64 x = *(const guint64 *) a, y = *(const guint64 *) b;

    return x < y ? -1 : x > y;
}

/* A series cut short accounts for its frame files from the first to the first gap. */
void
folder_count_cut_short_frames (EarlierRecord *record, GPtrArray *names)
{
    GArray *numbers = g_array_new (FALSE, FALSE, sizeof (guint64));

    for (guint i = 0; i < names->len; i++) {
        guint64 number;

        if (record_format_is_file (record->format, g_ptr_array_index (names, i), &number) && number > 0)
            g_array_append_val (numbers, number);
    }

    g_array_sort (numbers, compare_numbers);
    record->last = 0;

    for (guint i = 0; i < numbers->len && g_array_index (numbers, guint64, i) == record->last + 1; i++)
        record->last++;

    g_array_free (numbers, TRUE);
}

gboolean
folder_accounts_for (const EarlierRecord *record, const gchar *name)
{
    gchar *base = NULL, *token = NULL;
    guint64 number;
    gboolean covered;

    if (record == NULL)
        return FALSE;

    if (folder_split_temporary (name, &base, &token)) {
        covered = strcmp (token, record->token) == 0;
        g_free (base);
        g_free (token);
        return covered;
    }

    if (strcmp (name, record_preview_name) == 0)
        return TRUE;

    return (record_format_is_file (record->format, name, &number) && number <= record->last) ||
           (record->replacing_format != NULL && record_format_is_file (record->replacing_format, name, &number) &&
            number <= record->replacing_last);
}
