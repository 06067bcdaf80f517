/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See folder.h; the file names and the record are in folder-record.c. */

#include "folder-private.h"
#include "platform/platform.h"

#include <errno.h>
#include <string.h>

#include <glib/gstdio.h>
static const gchar lock_name[] = ".uca-record.lock";

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
    gchar *list = folder_list_names (folder->earlier, record, folder->dir);
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
    return folder->ops->check_addition (folder->base, folder->series, overwrite, &folder->replaced_frames, error);
}

/* The earlier recording's one file holds series added by runs of their own (darks and flats
 * among them, perhaps), and this recording, in another format, would replace it whole: not even
 * --overwrite removes that, since what it would remove is more than one recording. */
static gboolean
refuse_replacing_series (const RecordFolder *folder, const EarlierRecord *record, GError **error)
{
    const RecordFormat *earlier = record->format;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                 "Folder `%s' holds %s, whose series (darks, flats or data, each added by a run of its own) "
                 "--overwrite would remove whole to record in %s. To replace one series, record with --format %s "
                 "--series NAME --overwrite; to record in %s, choose another folder, or move %s away",
                 folder->dir, earlier->file_name, folder->format->name, earlier->name, folder->format->name,
                 earlier->file_name);
    return FALSE;
}

static gboolean
replaces_series (const RecordFolder *folder, const EarlierRecord *record)
{
    return record != NULL && record->ended && record_format_holds_series (record->format) &&
           record->format != folder->format &&
           g_ptr_array_find_with_equal_func (folder->earlier, record->format->file_name, g_str_equal, NULL);
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

        if (folder_accounts_for (record, name))
            g_ptr_array_add (folder->earlier, g_strdup (name));
        else if (folder_is_recording_name (name) || folder_split_temporary (name, &base, &token))
            g_ptr_array_add (unaccounted, (gpointer) name);

        g_free (base);
        g_free (token);
    }

    if (unaccounted->len > 0) {
        list = folder_list_names (unaccounted, NULL, NULL);
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' holds files named as recordings that no record of uca-record accounts for: "
                     "%s. uca-record removes only what it wrote itself: move them away, or choose another folder",
                     folder->dir, list);
        usable = FALSE;
    }
    else if (adds_to_earlier (folder, record)) {
        usable = check_addition (folder, record, overwrite, error);
    }
    else if (overwrite && replaces_series (folder, record)) {
        usable = refuse_replacing_series (folder, record, error);
    }
    else if (folder->earlier->len > 0 && !overwrite && record->ended) {
        list = folder_list_names (folder->earlier, NULL, NULL);
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
record_folder_open (const gchar *dir, const RecordFormat *format, const RecordFormatOps *ops, RecordSeries series,
                    gboolean overwrite, gboolean quiet, GError **error)
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
    folder->ops = ops;
    folder->series = series;
    folder->quiet = quiet;
    folder->earlier = g_ptr_array_new_with_free_func (g_free);
    folder->record = -1;
    folder->replaced_frames = -1;
    started = record_utc_text (g_get_real_time ());
    folder->owner = g_strdup_printf ("process %d on %s, started %s", record_process_id (), g_get_host_name (), started);
    g_free (started);

    usable = take_lock (folder, error);

    if (usable) {
        record = folder_read_record (dir);
        folder->series_id = (record != NULL ? record->series_id : 0) + 1;
        names = list_folder (dir, error);
        usable = names != NULL;
    }

    if (usable && record != NULL && !record->ended)
        folder_count_cut_short_frames (record, names);

    usable = usable && check_contents (folder, record, names, overwrite, error);
    choose_token (folder, record);

    if (usable && folder->earlier->len > 0) {
        const gboolean chained = record->replacing_format == record->format;

        folder->replacing_format = record->format;
        folder->replacing_last = chained ? MAX (record->last, record->replacing_last) : record->last;
    }

    folder_earlier_record_free (record);

    if (names != NULL)
        g_ptr_array_free (names, TRUE);

    if (!usable) {
        record_folder_close (folder, 0);
        return NULL;
    }

    return folder;
}

/* ---- Recording -------------------------------------------------------------------------- */

/* Whether the first frame fits beside what is to go: until it is written, all of it stays. */
static gboolean
room_beside_earlier (const RecordFolder *folder, guint64 first_frame_bytes, GError **error)
{
    guint64 free_bytes;
    gchar *needed, *free_text;

    /* Where the system cannot say, the write finds out. */
    if (folder->earlier->len == 0 || record_disk_free_bytes (folder->dir, &free_bytes) != 0 ||
        free_bytes >= first_frame_bytes)
        return TRUE;

    needed = g_format_size (first_frame_bytes);
    free_text = g_format_size (free_bytes);
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT,
                 "Cannot write the first frame into `%s' beside %s, which stays until it is written: it needs %s "
                 "and the disk has %s free. %s is kept as it was",
                 folder->dir, folder->base != NULL ? "what a run cut short left" : "the earlier recording", needed,
                 free_text, folder->base != NULL ? "What the run left" : "The earlier recording");
    g_free (free_text);
    g_free (needed);
    return FALSE;
}

gboolean
record_folder_begin (RecordFolder *folder, guint64 first_frame_bytes, GError **error)
{
    gchar *list;

    /* The record first: a kill while the earlier files go leaves those that remain as what a run
     * cut short left, not as a whole earlier recording. */
    if (!room_beside_earlier (folder, first_frame_bytes, error) || !folder_start_record (folder, error))
        return FALSE;

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

    folder->replacing_format = NULL;

    if (folder->earlier->len > 0 && !folder->quiet) {
        list = folder_list_names (folder->earlier, NULL, NULL);
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

    return TRUE;
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

    if (success && folder->replaced_frames >= 0 && strcmp (final_name, folder->format->file_name) == 0 &&
        !folder->quiet)
        g_printerr ("uca-record: replaced the earlier %s series of `%s' (%" G_GINT64_FORMAT " frames)\n",
                    record_series_names[folder->series], final, folder->replaced_frames);

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
        folder_end_record (folder, frames);

    if (folder->lock >= 0)
        record_lock_release (folder->lock, folder->lock_path);

    g_ptr_array_free (folder->earlier, TRUE);
    g_free (folder->base);
    g_free (folder->lock_path);
    g_free (folder->owner);
    g_free (folder->dir);
    g_free (folder);
}
