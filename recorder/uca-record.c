/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record: records frames from any libuca camera, measures how fast they come, and streams
 * them to disk as 16-bit grayscale TIFF files, one BigTIFF or one HDF5 file, with an 8-bit PNG
 * preview of the last one.
 *
 * Frames go into a ring of slots and a writer thread writes them while recording goes on, so
 * memory does not grow with the number of frames and the acquisition path allocates nothing per
 * frame; the ring takes memory as frames wait in it, not before recording. Parts, one file pair
 * each: the command line (options), the camera (camera), the ring (ring) and its threads
 * (sync), one recording (session), the output folder with its lock and record (folder), the
 * files (output; the table of formats in formats.c with a file per format), what is printed
 * (report) and the calls into the operating system (platform). Only sync and platform differ
 * between POSIX and Windows. */

#include "core/camera.h"
#include "output/folder.h"
#include "monitor/monitor.h"
#include "core/options.h"
#include "platform/platform.h"
#include "session/session.h"
#include "core/signals.h"
#include "stream/stream.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

/* ---- Standard output -------------------------------------------------------------------- */

/* The report's own standard output while cameras print to theirs. */
static FILE *report_stream = NULL;

static void
print_to_report (const gchar *text)
{
    fputs (text, report_stream);
}

/* A camera may print to standard output (the tessaravolt driver logs there), which would mix
 * with the report: from here on, the process's standard output is standard error, and g_print
 * writes to a copy of the real standard output. */
static void
divert_stdout (void)
{
    report_stream = record_divert_stdout ();

    if (report_stream != NULL)
        g_set_print_handler (print_to_report);
}

static void
restore_stdout (void)
{
    if (report_stream == NULL)
        return;

    g_set_print_handler (NULL);
    record_restore_stdout (report_stream);
    report_stream = NULL;
}

/* ---- Main ------------------------------------------------------------------------------- */

/* Everything the camera needs before recording, then the recording. Usage errors (exit status
 * 2) come before the camera records anything and before any file is touched. */
static gboolean
configure_and_record (UcaCamera *camera, const Options *options, RecordStream *stream, RecordMonitor *monitor,
                      const gchar *name, RecordFolder *folder, RecordResult *result, GError **error)
{
    FrameGeometry geometry;
    CameraInfo info;
    RecordOutput *output = NULL;
    guint n_slots;
    gboolean success = FALSE;

    if (!record_apply_properties (camera, options->properties, options->n_properties, error) ||
        !record_check_trigger_source (camera, error))
        return FALSE;

    record_configure_mode (camera, options->mode);

    if (!record_check_settings (camera, options->mode, error))
        return FALSE;

    record_read_camera (camera, name, &geometry, &info);

    /* Opening a camera may take long: a stop requested meanwhile comes before recording. */
    if (record_ring_slots (options, &geometry, &n_slots, error) && record_check_stop (error)) {
        if (folder != NULL)
            output = record_output_new (options->format, record_format_ops (options->format), folder, &geometry,
                                        options->series);

        success =
            record_session_run (camera, options, &geometry, &info, n_slots, output, stream, monitor, result, error);

        if (result->started)
            record_print_report (options, &result->info, result->differences, &geometry, &result->stats,
                                 &result->written);

        if (result->started && stream != NULL)
            record_stream_print_report (stream, options->quiet);
    }

    record_camera_info_clear (&info);
    return success;
}

static gboolean
run (const Options *options, gchar *camera_name, RecordResult *result, GError **error)
{
    UcaPluginManager *manager;
    UcaCamera *camera;
    RecordStream *stream = NULL;
    RecordMonitor *monitor = NULL;
    RecordFolder *folder = NULL;
    gboolean success = FALSE;

    if (!record_check_stop (error))
        return FALSE;

    /* The stream's endpoints are bound, and the folder checked and locked, before the camera is
     * opened: bad input and a refusal come at once. */
    stream = record_stream_open (&options->stream, options->quiet, error);

    if (options->stream.endpoints != NULL && stream == NULL)
        return FALSE;

    /* So is the live view's port. */
    if (options->monitor != NULL && (monitor = record_monitor_open (options->monitor, options->quiet, error)) == NULL) {
        record_stream_free (stream);
        return FALSE;
    }

    if (options->output_dir != NULL &&
        (folder = record_folder_open (options->output_dir, options->format, record_format_ops (options->format),
                                      options->series, options->overwrite, options->quiet, error)) == NULL) {
        record_monitor_close (monitor);
        record_stream_free (stream);
        return FALSE;
    }

    if (stream != NULL && folder != NULL)
        record_stream_set_series_id (stream, record_folder_series_id (folder));

    manager = uca_plugin_manager_new ();
    camera = record_open_camera (manager, camera_name, error);

    if (camera != NULL)
        success = configure_and_record (camera, options, stream, monitor, camera_name, folder, result, error);

    if (monitor != NULL) {
        record_monitor_end (monitor, error != NULL ? *error : NULL);
        record_monitor_close (monitor);
    }

    record_stream_free (stream);

    if (folder != NULL)
        record_folder_close (folder, result->written.frames);

    /* A camera stuck in a grab cannot be freed; the process ends without it. */
    if (!result->camera_stuck) {
        g_clear_object (&camera);
        g_object_unref (manager);
    }

    return success;
}

static int
exit_status (gboolean success, const GError *error, const RecordResult *result)
{
    if (result->signal_number != 0)
        return 128 + result->signal_number;

    if (g_error_matches (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED))
        return 128 + record_stop_signal ();

    if (g_error_matches (error, RECORD_ERROR, RECORD_ERROR_USAGE) ||
        g_error_matches (error, RECORD_ERROR, RECORD_ERROR_PROPERTY))
        return 2;

    return success ? 0 : 1;
}

/* --quiet: a camera's information lines go too, whether it logs through GLib or spdlog; its
 * warnings and errors stay. */
static void
drop_information (const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer data)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        g_log_default_handler (domain, level, message, data);
}

static void
quieten_cameras (void)
{
    g_log_set_default_handler (drop_information, NULL);
    g_setenv ("SPDLOG_LEVEL", "warn", TRUE);
}

int
main (int argc, char **argv)
{
    Options options;
    RecordResult result = { 0 };
    GError *error = NULL;
    gboolean success;
    int status;

    /* First: a shell that starts it in the background has it ignore SIGINT until then, and a stop
     * requested meanwhile would be lost. The handlers need nothing set up before them. */
    record_install_signal_handlers ();

    /* Without a locale GLib prints every character outside ASCII, its own quotes included, as
     * "?". Numbers keep the decimal point that scripts reading the report expect. */
    setlocale (LC_ALL, "");
    setlocale (LC_NUMERIC, "C");

    if (!record_parse_options (&argc, &argv, &options, &error)) {
        g_printerr ("uca-record: %s\nTry `uca-record --help'.\n", error->message);
        g_error_free (error);
        record_options_clear (&options);
        return 2;
    }

    if (options.stream.keygen) {
        status = record_stream_print_keygen () ? 0 : 1;
        record_options_clear (&options);
        return status;
    }

    options.properties = argv + 2;
    options.n_properties = (guint) argc - 2;

    if (options.quiet)
        quieten_cameras ();

    divert_stdout ();
    success = run (&options, argv[1], &result, &error);

    if (error != NULL)
        g_printerr ("uca-record: %s\n", error->message);

    if (g_error_matches (error, RECORD_ERROR, RECORD_ERROR_USAGE))
        g_printerr ("Try `uca-record --help'.\n");

    status = exit_status (success, error, &result);
    restore_stdout ();
    g_clear_error (&error);
    g_free (result.differences);
    record_options_clear (&options);

    /* Leaving normally would run the camera's destructors under its stuck grab. */
    if (result.camera_stuck) {
        fflush (NULL);
        _Exit (status);
    }

    return status;
}
