/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Times as the files and the folder's lock state them (uca-record.h). */

#include "uca-record.h"

gchar *
record_utc_text (gint64 unix_us)
{
    GDateTime *second = g_date_time_new_from_unix_utc (unix_us / G_USEC_PER_SEC);
    GDateTime *moment = g_date_time_add (second, unix_us % G_USEC_PER_SEC);
    gchar *text = g_date_time_format (moment, "%Y-%m-%dT%H:%M:%S.%fZ");

    g_date_time_unref (moment);
    g_date_time_unref (second);
    return text;
}
