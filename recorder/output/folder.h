/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The output folder: one recording in it at a time, and a record of what each recording wrote.
 *
 * A recording holds the folder's lock (.uca-record.lock) for its whole run, so a second one is
 * refused at once, with or without --overwrite. The system lets go of the lock when its holder
 * ends, however it ends; a lock file left by a holder that was killed is recognised and taken
 * over. Each recording leaves a record (.uca-record): its format, the frames written, whether it
 * ended or was cut short, the stream's series number, and the token that names its temporary
 * files (".NAME.TOKEN"). From the
 * record, a later recording knows exactly which files the earlier one wrote: --overwrite removes
 * those and no others, and only once the new recording has its first frame in hand. Files named
 * as recordings are named but accounted for by no record are never touched: the folder is
 * refused, listing them.
 *
 * A format whose one file holds several series (HDF5) adds each run's series to the earlier
 * recording's file instead of replacing it: the file stays as it is until a copy holding the new
 * series replaces it whole, so the record goes on naming it and a run cut short leaves it as it
 * was, beside the copy.
 *
 * This is the one part that removes or replaces files: the earlier recording's as the new one
 * begins, and the recording's own temporary files (record_folder_discard, record_folder_publish).
 * The lock file goes with record_folder_close. */
#ifndef UCA_RECORD_FOLDER_H
#define UCA_RECORD_FOLDER_H

#include "core/formats.h"

typedef struct RecordFolder RecordFolder;

/* The names of a recording's files beside its format's, which the folder knows as a recording's:
 * the preview, and, beside a format's file under its temporary name, disk space held for the
 * format's last records. */
extern const gchar record_preview_name[];
extern const gchar record_reserve_suffix[];

/* Makes the folder if needed, takes its lock and checks what it holds. Refused (usage errors):
 * another recording holds it; files of recordings no record accounts for; an earlier recording,
 * or what a recording cut short left, unless `overwrite`; an earlier file that already holds
 * `series` (for a format holding several), unless `overwrite`. `ops` are the format's
 * (record_format_ops ()), handed in by the caller so that the folder needs no format's code. */
RecordFolder *record_folder_open (const gchar *dir, const RecordFormat *format, const RecordFormatOps *ops,
                                  RecordSeries series, gboolean overwrite, gboolean quiet, GError **error);
/* The new recording goes ahead (its first frame, taken before any request to stop, is in hand):
 * removes the earlier recording's files and records the new one as running. On the writer
 * thread. Refused, with nothing removed, when the disk has less than `first_frame_bytes` free
 * beside them: the first frame must be written before they go. */
gboolean record_folder_begin (RecordFolder *folder, guint64 first_frame_bytes, GError **error);
/* The path a file of this recording is written under until complete. */
gchar *record_folder_temporary_path (const RecordFolder *folder, const gchar *final_name);
/* Every file the recording removes or renames into place goes through these two, so that nothing
 * it did not write, or does not replace, can go. Removes a file of this recording under its
 * temporary name; any other path stays. */
void record_folder_discard (const RecordFolder *folder, const gchar *temporary);
/* Renames a complete temporary file of this recording to `final_name`, which replaces what is there
 * only when that is the earlier recording's file this run adds its series to, or its preview;
 * anything else there stays, and the rename fails. On failure the temporary file goes. */
gboolean record_folder_publish (const RecordFolder *folder, const gchar *temporary, const gchar *final_name,
                                GError **error);
const gchar *record_folder_path (const RecordFolder *folder);
/* The stream's series number for this recording, one past the earlier recording's; the record
 * keeps it, so it grows across runs. */
guint64 record_folder_series_id (const RecordFolder *folder);
/* The earlier recording's file this run adds its series to, or NULL. */
const gchar *record_folder_addition_base (const RecordFolder *folder);
/* Records that the recording ended with `frames` frames in its files (if it began), lets go of
 * the lock and frees the folder. */
void record_folder_close (RecordFolder *folder, guint64 frames);

#endif
