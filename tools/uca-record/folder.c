/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See folder.h. */

#include "folder.h"
#include "output.h"
#include "platform.h"

#include <errno.h>
#include <string.h>

#include <glib/gstdio.h>

static const gchar record_name[] = ".uca-record";
static const gchar lock_name[] = ".uca-record.lock";
static const gchar group[] = "recording";

enum {
    TOKEN_LENGTH = 6,
    LISTED_NAMES = 10, /* a refusal names at most this many files */
    OWNER_BYTES = 256,
};

struct RecordFolder {
    gchar *dir;
    const RecordFormat *format;
    RecordSeries series;
    gboolean quiet;
    gchar token[TOKEN_LENGTH + 1];
    gchar *lock_path;
    gint lock;
    gchar *owner;       /* "process N on HOST, started TIME" */
    GPtrArray *earlier; /* the earlier recording's files, to remove once the new one begins */
    gchar *base;        /* the earlier recording's file the new run adds its series to, which stays
                         * until a copy with the series replaces it; NULL when not adding */
    guint64 series_id;  /* the stream's series number for this recording: one past the earlier one's */
    gint record;        /* the new record, once the recording has begun; the writer's until it
                         * ends, then the main thread's */
};

/* What the record of an earlier recording says. */
typedef struct {
    const RecordFormat *format;
    gchar *token;
    gchar *owner;
    gboolean ended;  /* else it was cut short: killed, or the machine stopped */
    gboolean adding; /* it added a series to the format's file, which it left as it was if cut short */
    guint64 frames;  /* in its files, once it ended */
    guint64 last;    /* the last frame file it accounts for */
    guint64 series_id;
} EarlierRecord;

/* ---- Names ------------------------------------------------------------------------------ */

static gboolean
is_recording_name (const gchar *name)
{
    for (guint i = 0; i < record_n_formats; i++) {
        if (record_format_is_file (&record_formats[i], name, NULL))
            return TRUE;
    }

    return strcmp (name, record_preview_name) == 0;
}

/* ".NAME.TOKEN", a file of a recording under its temporary name (NAME a recording's, or a
 * format's file with the reserve's suffix): the name and the token, or FALSE. */
static gboolean
split_temporary (const gchar *name, gchar **base, gchar **token)
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

    found = is_recording_name (candidate);
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

    if (!split_temporary (name, &base, &token))
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
static gchar *
list_names (GPtrArray *names, const EarlierRecord *hints_for, const gchar *dir)
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

static void
earlier_record_free (EarlierRecord *record)
{
    if (record == NULL)
        return;

    g_free (record->token);
    g_free (record->owner);
    g_free (record);
}

/* The record in `dir`, or NULL when there is none that this version understands: its files are
 * then accounted for by no record. */
static EarlierRecord *
read_record (const gchar *dir)
{
    gchar *path = g_build_filename (dir, record_name, NULL);
    GKeyFile *file = g_key_file_new ();
    EarlierRecord *record = NULL;

    if (g_key_file_load_from_file (file, path, G_KEY_FILE_NONE, NULL)) {
        gchar *format = g_key_file_get_string (file, group, "format", NULL);
        gchar *state = g_key_file_get_string (file, group, "state", NULL);
        gchar *token = g_key_file_get_string (file, group, "token", NULL);

        if (record_format_find (format) != NULL && token != NULL && strlen (token) == TOKEN_LENGTH) {
            record = g_new0 (EarlierRecord, 1);
            record->format = record_format_find (format);
            record->token = g_steal_pointer (&token);
            record->owner = g_key_file_get_string (file, group, "owner", NULL);
            record->ended = g_strcmp0 (state, "ended") == 0;
            record->frames = record->last = g_key_file_get_uint64 (file, group, "frames", NULL);
            record->adding = g_key_file_get_boolean (file, group, "adding", NULL);
            record->series_id = g_key_file_get_uint64 (file, group, "series_id", NULL);
        }

        g_free (format);
        g_free (state);
        g_free (token);
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

    text = g_key_file_to_data (file, length, NULL);
    g_key_file_free (file);
    return text;
}

/* The new record replaces the earlier one whole, and stays open: at the end it is rewritten in
 * place, which needs no more room on a disk that has filled up meanwhile. */
static gboolean
start_record (RecordFolder *folder, GError **error)
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

static void
end_record (RecordFolder *folder, guint64 frames)
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
static void
count_cut_short_frames (EarlierRecord *record, GPtrArray *names)
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

static gboolean
accounts_for (const EarlierRecord *record, const gchar *name)
{
    gchar *base = NULL, *token = NULL;
    guint64 number;
    gboolean covered;

    if (record == NULL)
        return FALSE;

    if (split_temporary (name, &base, &token)) {
        covered = strcmp (token, record->token) == 0;
        g_free (base);
        g_free (token);
        return covered;
    }

    if (strcmp (name, record_preview_name) == 0)
        return TRUE;

    return record_format_is_file (record->format, name, &number) && number <= record->last;
}

/* ---- Opening ---------------------------------------------------------------------------- */

static gboolean
take_lock (RecordFolder *folder, GError **error)
{
    gchar found[OWNER_BYTES];

    folder->lock_path = g_build_filename (folder->dir, lock_name, NULL);
    folder->lock = record_lock_take (folder->lock_path, folder->owner, found, sizeof found);

    if (folder->lock < 0 && errno == EWOULDBLOCK) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' is in use by another recording (uca-record %s); one folder holds one "
                     "recording at a time",
                     folder->dir, found[0] != '\0' ? found : "of a process that has not said which");
        return FALSE;
    }

    if (folder->lock < 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Cannot write into folder `%s': %s", folder->dir,
                     g_strerror (errno));
        return FALSE;
    }

    if (found[0] != '\0' && !folder->quiet)
        g_printerr ("uca-record: taking over the lock of `%s' that uca-record %s left: it ended without "
                    "letting go of it\n",
                    folder->dir, found);

    return TRUE;
}

static GPtrArray *
list_folder (const gchar *dir, GError **error)
{
    GDir *listing = g_dir_open (dir, 0, error);
    GPtrArray *names;
    const gchar *name;

    if (listing == NULL)
        return NULL;

    names = g_ptr_array_new_with_free_func (g_free);

    while ((name = g_dir_read_name (listing)) != NULL)
        g_ptr_array_add (names, g_strdup (name));

    g_dir_close (listing);
    return names;
}

static gboolean
refuse_cut_short (const RecordFolder *folder, const EarlierRecord *record, GError **error)
{
    gchar *list = list_names (folder->earlier, record, folder->dir);
    const gchar *owner = record->owner != NULL ? record->owner : "of an unknown process";

    if (record->adding)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' holds what a run adding a series to %s left when it was cut short (uca-record "
                     "%s): %s. %s is as it was before that run. To keep what it left, move these files away; to "
                     "discard it, give --overwrite",
                     folder->dir, record->format->file_name, owner, list, record->format->file_name);
    else
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' holds what a recording cut short left (uca-record %s): %s. To keep it, "
                     "choose another folder, or move these files and .uca-record away; to discard it, "
                     "give --overwrite",
                     folder->dir, owner, list);

    g_free (list);
    return FALSE;
}

static void
forget_name (GPtrArray *names, const gchar *name)
{
    guint index;

    if (g_ptr_array_find_with_equal_func (names, name, g_str_equal, &index))
        g_ptr_array_remove_index (names, index);
}

/* A format whose file holds several series adds to the earlier recording's file while that is
 * complete: the recording ended, or a run that was adding to it was cut short, which leaves the
 * file as it was. The file stays, and the preview until this run writes its own; only what a run
 * cut short left beside them goes. */
static gboolean
check_addition (RecordFolder *folder, const EarlierRecord *record, gboolean overwrite, GError **error)
{
    forget_name (folder->earlier, folder->format->file_name);
    forget_name (folder->earlier, record_preview_name);

    if (folder->earlier->len > 0 && !overwrite)
        return refuse_cut_short (folder, record, error);

    folder->base = g_build_filename (folder->dir, folder->format->file_name, NULL);
    return record_format_ops (folder->format)->check_addition (folder->base, folder->series, overwrite, error);
}

static gboolean
adds_to_earlier (const RecordFolder *folder, const EarlierRecord *record)
{
    return record_format_holds_series (folder->format) && record != NULL && record->format == folder->format &&
           (record->ended || record->adding) &&
           g_ptr_array_find_with_equal_func (folder->earlier, folder->format->file_name, g_str_equal, NULL);
}

/* Sorts the folder's recording files into those the earlier record accounts for (`earlier`) and
 * the others, and refuses the folder when it must. */
static gboolean
check_contents (RecordFolder *folder, const EarlierRecord *record, GPtrArray *names, gboolean overwrite, GError **error)
{
    GPtrArray *unaccounted = g_ptr_array_new ();
    gchar *list = NULL;
    gboolean usable = TRUE;

    for (guint i = 0; i < names->len; i++) {
        const gchar *name = g_ptr_array_index (names, i);
        gchar *base = NULL, *token = NULL;

        if (accounts_for (record, name))
            g_ptr_array_add (folder->earlier, g_strdup (name));
        else if (is_recording_name (name) || split_temporary (name, &base, &token))
            g_ptr_array_add (unaccounted, (gpointer) name);

        g_free (base);
        g_free (token);
    }

    if (unaccounted->len > 0) {
        list = list_names (unaccounted, NULL, NULL);
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' holds files named as recordings that no record of uca-record accounts for: "
                     "%s. uca-record removes only what it wrote itself: move them away, or choose another folder",
                     folder->dir, list);
        usable = FALSE;
    }
    else if (adds_to_earlier (folder, record)) {
        usable = check_addition (folder, record, overwrite, error);
    }
    else if (folder->earlier->len > 0 && !overwrite && record->ended) {
        list = list_names (folder->earlier, NULL, NULL);
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' already holds a recording (%s: %" G_GUINT64_FORMAT
                     " frames); choose another folder, or give --overwrite to replace it",
                     folder->dir, list, record->frames);
        usable = FALSE;
    }
    else if (folder->earlier->len > 0 && !overwrite) {
        usable = refuse_cut_short (folder, record, error);
    }

    g_free (list);
    g_ptr_array_free (unaccounted, TRUE);
    return usable;
}

static void
choose_token (RecordFolder *folder, const EarlierRecord *record)
{
    static const gchar letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

    do {
        for (guint i = 0; i < TOKEN_LENGTH; i++)
            folder->token[i] = letters[g_random_int_range (0, sizeof letters - 1)];
    } while (record != NULL && strcmp (folder->token, record->token) == 0);
}

RecordFolder *
record_folder_open (const gchar *dir, const RecordFormat *format, RecordSeries series, gboolean overwrite,
                    gboolean quiet, GError **error)
{
    RecordFolder *folder;
    EarlierRecord *record = NULL;
    GPtrArray *names = NULL;
    gchar *started;
    gboolean usable;

    if (g_mkdir_with_parents (dir, 0777) != 0 || !g_file_test (dir, G_FILE_TEST_IS_DIR)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Cannot create folder `%s': %s", dir,
                     g_strerror (errno != 0 ? errno : ENOTDIR));
        return NULL;
    }

    folder = g_new0 (RecordFolder, 1);
    folder->dir = g_strdup (dir);
    folder->format = format;
    folder->series = series;
    folder->quiet = quiet;
    folder->earlier = g_ptr_array_new_with_free_func (g_free);
    folder->record = -1;
    started = record_utc_text (g_get_real_time ());
    folder->owner = g_strdup_printf ("process %d on %s, started %s", record_process_id (), g_get_host_name (), started);
    g_free (started);

    usable = take_lock (folder, error);

    if (usable) {
        record = read_record (dir);
        folder->series_id = (record != NULL ? record->series_id : 0) + 1;
        names = list_folder (dir, error);
        usable = names != NULL;
    }

    if (usable && record != NULL && !record->ended)
        count_cut_short_frames (record, names);

    usable = usable && check_contents (folder, record, names, overwrite, error);
    choose_token (folder, record);
    earlier_record_free (record);

    if (names != NULL)
        g_ptr_array_free (names, TRUE);

    if (!usable) {
        record_folder_close (folder, 0);
        return NULL;
    }

    return folder;
}

/* ---- Recording -------------------------------------------------------------------------- */

gboolean
record_folder_begin (RecordFolder *folder, GError **error)
{
    gchar *list;

    for (guint i = 0; i < folder->earlier->len; i++) {
        gchar *path = g_build_filename (folder->dir, g_ptr_array_index (folder->earlier, i), NULL);

        if (g_unlink (path) != 0 && errno != ENOENT) {
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot remove `%s' of the earlier recording: %s",
                         path, g_strerror (errno));
            g_free (path);
            return FALSE;
        }

        g_free (path);
    }

    if (folder->earlier->len > 0 && !folder->quiet) {
        list = list_names (folder->earlier, NULL, NULL);
        g_printerr ("uca-record: removed %s: %s\n",
                    folder->base != NULL ? "what a run cut short left" : "the earlier recording", list);
        g_free (list);
    }

    if (folder->base != NULL && !folder->quiet) {
        gchar *copy = record_folder_temporary_path (folder, folder->format->file_name);

        g_printerr ("uca-record: adding the %s series to `%s' in a copy, `%s', readable while it grows; it "
                    "replaces %s once complete\n",
                    record_series_names[folder->series], folder->base, copy, folder->format->file_name);
        g_free (copy);
    }

    return start_record (folder, error);
}

/* ".NAME.TOKEN" in the folder, with this recording's token. */
static gboolean
is_own_temporary (const RecordFolder *folder, const gchar *path)
{
    gchar *name = g_path_get_basename (path);
    gchar *suffix = g_strconcat (".", folder->token, NULL);
    gchar *in_folder = g_build_filename (folder->dir, name, NULL);
    const gboolean own = name[0] == '.' && strlen (name) > strlen (suffix) + 1 && g_str_has_suffix (name, suffix) &&
                         strcmp (in_folder, path) == 0;

    g_free (in_folder);
    g_free (suffix);
    g_free (name);
    return own;
}

/* The earlier recording's files that this run replaces by name, instead of removing them as it
 * begins: the file it adds its series to, and the preview. */
static gboolean
replaces_by_name (const RecordFolder *folder, const gchar *final_name)
{
    return folder->base != NULL &&
           (strcmp (final_name, folder->format->file_name) == 0 || strcmp (final_name, record_preview_name) == 0);
}

void
record_folder_discard (const RecordFolder *folder, const gchar *temporary)
{
    g_return_if_fail (is_own_temporary (folder, temporary));
    g_unlink (temporary);
}

gboolean
record_folder_publish (const RecordFolder *folder, const gchar *temporary, const gchar *final_name, GError **error)
{
    gchar *final;
    gboolean success;

    g_return_val_if_fail (is_own_temporary (folder, temporary), FALSE);
    final = g_build_filename (folder->dir, final_name, NULL);
    success = (replaces_by_name (folder, final_name) ? g_rename (temporary, final)
                                                     : record_file_rename_new (temporary, final)) == 0;

    if (!success) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot rename `%s' to `%s': %s", temporary, final,
                     errno == EEXIST ? "something that is not this recording's appeared there meanwhile"
                                     : g_strerror (errno));
        record_folder_discard (folder, temporary);
    }

    g_free (final);
    return success;
}

gchar *
record_folder_temporary_path (const RecordFolder *folder, const gchar *final_name)
{
    gchar *name = g_strdup_printf (".%s.%s", final_name, folder->token);
    gchar *path = g_build_filename (folder->dir, name, NULL);

    g_free (name);
    return path;
}

const gchar *
record_folder_path (const RecordFolder *folder)
{
    return folder->dir;
}

guint64
record_folder_series_id (const RecordFolder *folder)
{
    return folder->series_id;
}

const gchar *
record_folder_addition_base (const RecordFolder *folder)
{
    return folder->base;
}

void
record_folder_close (RecordFolder *folder, guint64 frames)
{
    if (folder->record >= 0)
        end_record (folder, frames);

    if (folder->lock >= 0)
        record_lock_release (folder->lock, folder->lock_path);

    g_ptr_array_free (folder->earlier, TRUE);
    g_free (folder->base);
    g_free (folder->lock_path);
    g_free (folder->owner);
    g_free (folder->dir);
    g_free (folder);
}
