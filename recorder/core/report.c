/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See report.h. */

#include "report.h"
#include "platform/platform.h"
#include "platform/sync.h"

#include <stdio.h>
#include <string.h>

/* Bin b < 64 holds b ns; above, bins count 64 steps per power of two. */
static guint
bin_of (gint64 ns)
{
    guint64 value = ns > 0 ? (guint64) ns : 0;
    guint octave;

    if (value < 64)
        return (guint) value;

    octave = 63 - (guint) __builtin_clzll (value);
    return MIN ((octave - 5) * 64 + (guint) ((value >> (octave - 6)) & 63), GRAB_TIME_BINS - 1);
}

/* The middle of a bin. */
static gdouble
value_of (guint bin)
{
    guint octave = bin / 64 + 5;

    if (bin < 64)
        return bin;

    return ((64 + bin % 64) + 0.5) * (gdouble) (G_GUINT64_CONSTANT (1) << (octave - 6));
}

void
grab_times_add (GrabTimes *times, gint64 ns)
{
    times->counts[bin_of (ns)]++;
    times->total++;
}

/* Nearest rank. */
static gdouble
percentile_ns (const GrabTimes *times, guint percent)
{
    guint64 rank = MAX ((times->total * percent + 99) / 100, 1);
    guint64 seen = 0;

    for (guint bin = 0; bin < GRAB_TIME_BINS; bin++) {
        seen += times->counts[bin];

        if (seen >= rank)
            return value_of (bin);
    }

    return 0;
}

void
progress_init (Progress *progress, gboolean quiet)
{
    progress->enabled = !quiet && record_stderr_is_terminal ();
    progress->start_ns = record_monotonic_ns ();
    progress->last_draw_ns = 0;
}

void
progress_draw (Progress *progress, guint64 frames, guint64 total, guint64 bytes_written, guint fill, guint n_slots,
               const gchar *more, gboolean force)
{
    enum {
        BAR_WIDTH = 30
    };
    gchar bar[BAR_WIDTH + 1];
    gint64 now = record_monotonic_ns ();
    gdouble seconds = (now - progress->start_ns) / 1e9;
    guint filled;

    if (!progress->enabled || (!force && now - progress->last_draw_ns < 100000000))
        return;

    progress->last_draw_ns = now;
    /* Without a frame count the bar shows how full the buffer is. */
    filled = total > 0 ? (guint) (MIN (frames, total) * BAR_WIDTH / total)
                       : (guint) ((guint64) fill * BAR_WIDTH / MAX (n_slots, 1));
    memset (bar, '#', filled);
    memset (bar + filled, '.', BAR_WIDTH - filled);
    bar[BAR_WIDTH] = '\0';
    fprintf (stderr, "\r[%s] %" G_GUINT64_FORMAT, bar, frames);

    if (total > 0)
        fprintf (stderr, "/%" G_GUINT64_FORMAT, total);

    fprintf (stderr, " frames, %.1f frames/s, %.1f MB written, buffer %u/%u%s  ", seconds > 0 ? frames / seconds : 0.0,
             bytes_written / 1e6, fill, n_slots, more != NULL ? more : "");
    fflush (stderr);
}

void
progress_end (Progress *progress)
{
    if (progress->enabled && progress->last_draw_ns != 0)
        fputc ('\n', stderr);
}

static void
print_order (const Options *options, const FrameStats *stats)
{
    if (options->counter == COUNTER_NONE)
        g_print ("order:      not checked (no frame counter; see --frame-counter)\n");
    else
        g_print ("order:      %" G_GUINT64_FORMAT " out of order (not written), %" G_GUINT64_FORMAT
                 " skipped by the camera\n",
                 stats->out_of_order, stats->skipped);
}

static void
print_dropped (const Options *options, const FrameStats *stats)
{
    /* A stream that blocks holds frames as a slow disk does. */
    const gboolean blocking_stream = options->stream.endpoints != NULL && !options->stream.drop;
    /* The buffer grows as it is needed; a burst may outrun that, which is not the writer's fault. */
    gchar *unprepared = stats->unprepared == 0 ? g_strdup ("")
                                               : g_strdup_printf ("; %" G_GUINT64_FORMAT " of them while memory "
                                                                  "was still being prepared",
                                                                  stats->unprepared);

    if (options->mode == MODE_ASYNC)
        g_print ("dropped:    %" G_GUINT64_FORMAT "%s%s\n", stats->dropped,
                 stats->dropped == 0 ? ""
                 : blocking_stream   ? ", writer or stream consumers too slow"
                                     : ", writer too slow",
                 unprepared);
    else if (stats->waits > 0)
        g_print ("dropped:    0 (%" G_GUINT64_FORMAT " grabs waited for the writer%s%s)\n", stats->waits,
                 blocking_stream ? " or stream consumers" : ", writer too slow", unprepared);
    else
        g_print ("dropped:    0\n");

    g_free (unprepared);
}

static void
print_buffer (const FrameGeometry *geometry, const FrameStats *stats)
{
    const guint64 size_bytes = (guint64) stats->n_slots * geometry->frame_bytes;

    /* Memory comes in whole pages, which may add a little. */
    g_print ("buffer:     %" G_GUINT64_FORMAT " of %u frames at most waiting to be written, %.1f of %.1f MB "
             "prepared\n",
             stats->peak_waiting, stats->n_slots, MIN (stats->prepared_bytes, size_bytes) / 1e6, size_bytes / 1e6);
}

static void
print_written (const Options *options, const WriteStats *written)
{
    gdouble seconds = written->busy_ns / 1e9;

    g_print ("written:    %" G_GUINT64_FORMAT " frames, %.1f MB", written->frames, written->bytes / 1e6);

    if (seconds > 0)
        g_print (" at %.1f MB/s", written->bytes / 1e6 / seconds);

    g_print (", in %s%s%s", options->output_dir, written->frames > 0 ? "/" : "",
             written->frames > 0 ? written->name : "");

    if (written->frames > 0 && written->part != NULL)
        g_print (" (%s)", written->part);

    g_print ("\n");

    if (written->added)
        g_print ("copied:     %.1f MB of the earlier %s beside them in %.2f s\n", written->copied_bytes / 1e6,
                 written->name, written->copy_ns / 1e9);

    if (written->preview)
        g_print ("preview:    %s/preview.png\n", options->output_dir);
}

/* One part of the discarded line: `count` frames, and why. */
static void
add_discarded (GPtrArray *parts, guint64 count, const gchar *why)
{
    if (count > 0)
        g_ptr_array_add (parts, g_strdup_printf ("%" G_GUINT64_FORMAT " %s", count, why));
}

static void
print_discarded (const FrameStats *stats)
{
    const guint64 total = stats->after_stop + (stats->discarded ? 1 : 0) + stats->unwritten;
    GPtrArray *parts = g_ptr_array_new_with_free_func (g_free);

    add_discarded (parts, stats->after_stop, "arrived after the stop, before any frame was kept");
    add_discarded (parts, stats->discarded ? 1 : 0, "not complete when the recording stopped");
    add_discarded (parts, stats->unwritten, "received but not written (the files were given up at the stop)");

    /* A single reason needs no count of its own. */
    if (parts->len == 1)
        g_print ("discarded:  %" G_GUINT64_FORMAT " frame%s, %s\n", total, total == 1 ? "" : "s",
                 strchr (g_ptr_array_index (parts, 0), ' ') + 1);
    else if (parts->len > 1) {
        gchar *reasons;

        g_ptr_array_add (parts, NULL);
        reasons = g_strjoinv ("; ", (gchar **) parts->pdata);
        g_print ("discarded:  %" G_GUINT64_FORMAT " frames: %s\n", total, reasons);
        g_free (reasons);
    }

    g_ptr_array_unref (parts);
}

void
record_print_report (const Options *options, const CameraInfo *info, const gchar *differences,
                     const FrameGeometry *geometry, const FrameStats *stats, const WriteStats *written)
{
    /* From the first frame to the last: the start-up of the stream is not the camera's rate. */
    gdouble seconds = (stats->last_ns - stats->first_ns) / 1e9;

    if (options->quiet)
        return;

    g_print ("camera:     %s\n", info->camera_name);
    g_print ("settings:   %s%s\n", differences != NULL ? "not as asked: " : "as asked",
             differences != NULL ? differences : "");
    g_print ("mode:       %s\n", record_mode_names[options->mode]);
    g_print ("frames:     %" G_GUINT64_FORMAT " of %u x %u pixels, %u bits\n", stats->accepted, geometry->width,
             geometry->height, geometry->bits);

    if (stats->accepted > 1 && seconds > 0) {
        gdouble fps = (stats->accepted - 1) / seconds;

        g_print ("rate:       %.1f frames/s, %.1f MB/s\n", fps, fps * geometry->frame_bytes / 1e6);
    }
    else {
        g_print ("rate:       n/a (needs two frames)\n");
    }

    /* How long a grab call takes; in asynchronous mode nobody calls one. */
    if (stats->grab_times.total == 0)
        g_print ("grab time:  n/a (%s)\n", options->mode == MODE_ASYNC ? "asynchronous delivery" : "no frame");
    else
        g_print ("grab time:  median %.3f ms, 99th percentile %.3f ms\n", percentile_ns (&stats->grab_times, 50) / 1e6,
                 percentile_ns (&stats->grab_times, 99) / 1e6);

    g_print ("repeated:   %" G_GUINT64_FORMAT " (frames identical to the previous one)\n", stats->repeated);
    print_order (options, stats);
    print_dropped (options, stats);
    print_buffer (geometry, stats);
    /* A generic libuca camera does not say whether it dropped frames. */
    g_print ("lost:       n/a (the camera does not report it)\n");

    print_discarded (stats);

    if (written->name != NULL)
        print_written (options, written);

    /* A failed write or a quit ends the files early: what they lack is said, not left to subtract. */
    if (written->name != NULL && written->frames + stats->unwritten < stats->accepted)
        g_print ("unwritten:  %" G_GUINT64_FORMAT " frames received but not in the files, which ended early (a "
                 "failure said above, or a quit)\n",
                 stats->accepted - stats->unwritten - written->frames);
}
