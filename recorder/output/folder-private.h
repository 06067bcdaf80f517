/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the output folder's two halves share: folder.c (opening, checking and beginning a
 * recording, removing and publishing its files) and folder-record.c (the names of recording
 * files and the folder's record, .uca-record, of the earlier and the new recording). */
#ifndef UCA_RECORD_FOLDER_PRIVATE_H
#define UCA_RECORD_FOLDER_PRIVATE_H

#include "folder.h"

enum {
    TOKEN_LENGTH = 6,
    LISTED_NAMES = 10, /* a refusal names at most this many files */
    OWNER_BYTES = 256,
};

struct RecordFolder {
    gchar *dir;
    const RecordFormat *format;
    const RecordFormatOps *ops;
    RecordSeries series;
    gboolean quiet;
    gchar token[TOKEN_LENGTH + 1];
    gchar *lock_path;
    gint lock;
    gchar *owner;       /* "process N on HOST, started TIME" */
    GPtrArray *earlier; /* the earlier recording's files, to remove once the new one begins */
    gchar *base;        /* the earlier recording's file the new run adds its series to, which stays
                         * until a copy with the series replaces it; NULL when not adding */
    gint64 replaced_frames;               /* of the series in `base` that this run replaces, or -1 */
    const RecordFormat *replacing_format; /* with `replacing_last`, the earlier recording's files */
    guint64 replacing_last;               /* while they go as this one begins; else NULL */
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
    /* A recording of its own it was replacing: cut short while removing those files, the rest are
     * its leftovers too. NULL when none. */
    const RecordFormat *replacing_format;
    guint64 replacing_last;
} EarlierRecord;

gboolean folder_is_recording_name (const gchar *name);
gboolean folder_split_temporary (const gchar *name, gchar **base, gchar **token);
gchar *folder_list_names (GPtrArray *names, const EarlierRecord *hints_for, const gchar *dir);
void folder_earlier_record_free (EarlierRecord *record);
EarlierRecord *folder_read_record (const gchar *dir);
gboolean folder_start_record (RecordFolder *folder, GError **error);
void folder_end_record (RecordFolder *folder, guint64 frames);
void folder_count_cut_short_frames (EarlierRecord *record, GPtrArray *names);
gboolean folder_accounts_for (const EarlierRecord *record, const gchar *name);

#endif
