/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* hdf5: every frame in one HDF5 file, laid out as tomography software reads it (Data Exchange),
 * projections, darks and flats side by side, each series recorded by a run of its own
 * (--series data, dark or flat):
 *   /exchange/data, data_dark, data_white
 *                         frames x height x width, unsigned 8 or 16 bits, one frame per chunk,
 *                         extended as frames arrive; attributes, as the camera uses them once
 *                         recording: "camera" (as named to uca-record), "camera_name" and
 *                         "camera_model" (where the camera tells them), "exposure_time"
 *                         (seconds), "roi" (x0, y0, width, height), "binning" (horizontal,
 *                         vertical), "pixel_size" (width, height of a sensor pixel in metres),
 *                         "gain" (where the camera has one), "trigger_source", "start_time" (when
 *                         the first frame arrived, ISO 8601 in UTC), "corrections" ("none", or
 *                         which of "offset", "gain", "defects" the camera applied, comma-separated;
 *                         when corrected, "calibration_file" and "calibration_start_time" where
 *                         the camera tells them) and "complete"
 *   /exchange/timestamps, timestamps_dark, timestamps_white
 *                         per frame of the series, when it arrived: nanoseconds after its first
 *                         frame on the monotonic clock (signed 64 bits; attribute "units" = "ns")
 * and the root attribute "implements" = "exchange". The settings' names are data-exchange.h's,
 * which the camera reads back from darks and flats as calibrations.
 *
 * A series is added to an earlier recording's file without ever writing into it: HDF5 cannot add
 * objects to a file safely in place (a crash while its metadata are rewritten can break the whole
 * file), so the file's contents are copied into a new file, less the series if it is being
 * replaced, the series is written there, and the new file replaces the earlier one by a rename
 * once HDF5 has closed it and it is on the disk. A run that fails or is cut short leaves the earlier
 * file as it was; the copy costs about as much as copying the file.
 *
 * Readable while it grows: the file is written in HDF5's single-writer/multiple-reader (SWMR)
 * mode, whose ordered flushes keep it valid for readers at every moment, so a new file is
 * published under its final name as soon as the first frame is in it (a copy that adds a series
 * is readable under its temporary name), and the writer flushes what it wrote
 * for readers several times a second (the format's sync). SWMR allows no new objects once
 * it runs, attributes included, so "complete" (unsigned 8 bits) is made at the start as 0 and
 * set to 1 last, once every frame received is flushed: a crashed or failed recording leaves a
 * file that says it is incomplete. Readers need HDF5 1.10 or later.
 *
 * Each frame is one direct chunk write, so pixels are not converted or copied on the way.
 *
 * HDF5 cannot be trusted to leave a consistent file once one of its writes has failed, so a full
 * disk must never reach it: a frame is written only while the disk has room for it and a margin,
 * and a reserve file beside the output keeps a few MiB more for HDF5's own records at close. */

#include "data-exchange.h"
#include "hdf5-copy.h"
#include "hdf5-series.h"
#include "core/signals.h"
#include "output/output.h"
#include "platform/platform.h"
#include "platform/sync.h"

#include <errno.h>
#include <hdf5.h>
#include <math.h>
#include <string.h>

#include <glib/gstdio.h>

enum {
    RESERVE_BYTES = 8 << 20,
    MARGIN_BYTES = 1 << 20,
    TIMESTAMP_CHUNK = 4096
};

/* By RecordSeries. */
static const gchar *const series_datasets[] = { DX_DATA, DX_DARK, DX_FLAT };
static const gchar *const series_times[] = { DX_DATA_TIMES, DX_DARK_TIMES, DX_FLAT_TIMES };
static const gchar *const series_time_paths[] = { DX_GROUP "/" DX_DATA_TIMES, DX_GROUP "/" DX_DARK_TIMES,
                                                  DX_GROUP "/" DX_FLAT_TIMES };

typedef struct {
    gchar *temporary;
    gchar *reserve;
    hid_t file;
    hid_t data;
    hid_t timestamps;
    gboolean published; /* under its final name: a new file from the first frame on, a copy adding
                         * a series once complete */
} Hdf5Output;

/* Whether the disk has room for the next frame and the margin. When the system cannot say, the
 * write itself finds out. */
static gboolean
room_for_frame (const RecordOutput *output)
{
    guint64 free_bytes;

    return record_disk_free_bytes (output->dir, &free_bytes) != 0 ||
           free_bytes >= output->geometry.frame_bytes + MARGIN_BYTES;
}

/* HDF5's error stacks are per thread in Debian's build: silence them on the calling one. */
static void
quiet_hdf5 (void)
{
    H5Eset_auto2 (H5E_DEFAULT, NULL, NULL);
}

static void
release_reserve (const RecordOutput *output, Hdf5Output *h5)
{
    if (h5->reserve != NULL)
        record_output_discard (output, h5->reserve);

    g_clear_pointer (&h5->reserve, g_free);
}

/* A reserve that cannot be had (a disk already nearly full) only makes recovery less certain. */
static void
take_reserve (RecordOutput *output, Hdf5Output *h5)
{
    gchar *name = g_strconcat (output->format->file_name, record_reserve_suffix, NULL);
    gint fd = record_output_create_temporary (output, name, &h5->reserve, NULL);
    gboolean reserved;

    g_free (name);

    if (fd < 0)
        return;

    /* Closed before it may be removed, which Windows prefers. */
    reserved = record_file_reserve (fd, RESERVE_BYTES) == 0;
    record_file_close (fd);

    if (!reserved)
        release_reserve (output, h5);
}

static gboolean
set_attribute (hid_t object, const gchar *name, hid_t type, hsize_t count, const void *value)
{
    hid_t space = count == 0 ? H5Screate (H5S_SCALAR) : H5Screate_simple (1, &count, NULL);
    hid_t attribute = H5Acreate2 (object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    gboolean success = attribute >= 0 && H5Awrite (attribute, type, value) >= 0;

    if (attribute >= 0)
        H5Aclose (attribute);

    H5Sclose (space);
    return success;
}

static gboolean
set_string_attribute (hid_t object, const gchar *name, const gchar *value)
{
    hid_t type = H5Tcopy (H5T_C_S1);
    gboolean success;

    H5Tset_size (type, strlen (value) + 1);
    success = set_attribute (object, name, type, 0, value);
    H5Tclose (type);
    return success;
}

static gboolean
describe_camera (hid_t data, const RecordOutput *output)
{
    const CameraInfo *info = &output->info;
    const guint8 incomplete = 0;
    gchar *start_time = record_utc_text (output->start_us);
    gboolean success =
        set_string_attribute (data, "camera", info->camera_name) &&
        (info->told_name == NULL || set_string_attribute (data, "camera_name", info->told_name)) &&
        (info->model == NULL || set_string_attribute (data, "camera_model", info->model)) &&
        set_attribute (data, "complete", H5T_NATIVE_UINT8, 0, &incomplete) &&
        set_attribute (data, DX_EXPOSURE_TIME, H5T_NATIVE_DOUBLE, 0, &info->exposure_s) &&
        set_attribute (data, DX_ROI, H5T_NATIVE_UINT, 4, info->roi) &&
        set_attribute (data, DX_BINNING, H5T_NATIVE_UINT, 2, info->binning) &&
        set_attribute (data, "pixel_size", H5T_NATIVE_DOUBLE, 2, info->pixel_size) &&
        (!info->has_gain || set_attribute (data, DX_GAIN, H5T_NATIVE_UINT, 0, &info->gain)) &&
        (info->trigger_source == NULL || set_string_attribute (data, DX_TRIGGER_SOURCE, info->trigger_source)) &&
        set_string_attribute (data, "start_time", start_time) &&
        set_string_attribute (data, "corrections", info->corrections) &&
        (info->calibration_file == NULL || set_string_attribute (data, "calibration_file", info->calibration_file)) &&
        (info->calibration_start_time == NULL ||
         set_string_attribute (data, "calibration_start_time", info->calibration_start_time));

    g_free (start_time);
    return success;
}

/* An empty dataset of `rank` dimensions, unlimited in the first, chunked as given. */
static hid_t
create_growing (hid_t group, const gchar *name, hid_t type, int rank, const hsize_t *chunk)
{
    hsize_t dims[3] = { 0, chunk[1 % rank], chunk[2 % rank] };
    hsize_t max[3] = { H5S_UNLIMITED, dims[1], dims[2] };
    hid_t space = H5Screate_simple (rank, dims, max);
    hid_t properties = H5Pcreate (H5P_DATASET_CREATE);
    hid_t dataset;

    H5Pset_chunk (properties, rank, chunk);
    /* Every chunk is written whole: filling it first would write each frame twice. */
    H5Pset_fill_time (properties, H5D_FILL_TIME_NEVER);
    dataset = H5Dcreate2 (group, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Pclose (properties);
    H5Sclose (space);
    return dataset;
}

static gboolean
create_layout (Hdf5Output *h5, const RecordOutput *output)
{
    const FrameGeometry *geometry = &output->geometry;
    const hsize_t frame_chunk[3] = { 1, geometry->height, geometry->width };
    const hsize_t time_chunk[1] = { TIMESTAMP_CHUNK };
    hid_t pixel_type = geometry->bytes_per_pixel == 1 ? H5T_NATIVE_UINT8 : H5T_NATIVE_UINT16;
    /* A copy has the group already. */
    hid_t group = H5Lexists (h5->file, DX_GROUP, H5P_DEFAULT) > 0
                      ? H5Gopen2 (h5->file, DX_GROUP, H5P_DEFAULT)
                      : H5Gcreate2 (h5->file, DX_GROUP, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    gboolean success;

    if (group < 0)
        return FALSE;

    h5->data = create_growing (group, series_datasets[output->series], pixel_type, 3, frame_chunk);
    h5->timestamps = create_growing (group, series_times[output->series], H5T_STD_I64LE, 1, time_chunk);
    success = h5->data >= 0 && h5->timestamps >= 0 &&
              (H5Aexists (h5->file, "implements") > 0 || set_string_attribute (h5->file, "implements", "exchange")) &&
              describe_camera (h5->data, output) && set_string_attribute (h5->timestamps, "units", "ns");
    H5Gclose (group);
    return success;
}

static gboolean hdf5_finish (Hdf5Output *h5);

/* In the file format SWMR needs. */
static hid_t
create_file (const gchar *path)
{
    hid_t access = H5Pcreate (H5P_FILE_ACCESS);
    hid_t file;

    H5Pset_libver_bounds (access, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    file = H5Fcreate (path, H5F_ACC_EXCL, H5P_DEFAULT, access);
    H5Pclose (access);
    return file;
}

/* The earlier file's contents but the series recorded now, which this run replaces. */
static gboolean
copy_earlier (RecordOutput *output, hid_t file)
{
    const gchar *const left_out[] = { record_hdf5_series_paths[output->series], series_time_paths[output->series],
                                      NULL };
    const gint64 start = record_monotonic_ns ();
    hid_t earlier = H5Fopen (output->base, H5F_ACC_RDONLY, H5P_DEFAULT);
    gboolean success = earlier >= 0 && record_hdf5_copy (earlier, file, left_out, &output->copied_bytes);

    if (earlier >= 0)
        success = H5Fclose (earlier) >= 0 && success;

    output->copy_ns = record_monotonic_ns () - start;
    return success;
}

static gpointer
hdf5_open (RecordOutput *output, GError **error)
{
    Hdf5Output *h5 = g_new0 (Hdf5Output, 1);
    gint fd;

    quiet_hdf5 ();
    h5->data = h5->timestamps = H5I_INVALID_HID;

    /* A fresh name; HDF5 then creates the file exclusively in its place. */
    fd = record_output_create_temporary (output, output->format->file_name, &h5->temporary, error);

    if (fd < 0) {
        g_free (h5);
        return NULL;
    }

    record_file_close (fd);
    record_output_discard (output, h5->temporary);
    errno = 0;
    h5->file = create_file (h5->temporary);

    output->part = record_hdf5_series_paths[output->series];

    if (h5->file < 0 || (output->base != NULL && !copy_earlier (output, h5->file)) || !create_layout (h5, output) ||
        H5Fstart_swmr_write (h5->file) < 0) {
        /* The copy gave way to a stop: a stop as before the first frame, also for the record. */
        if (output->base != NULL && record_stop_overdue ())
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED,
                         "Stopped by signal %d during the copy of `%s' that adds the %s series: the series was not "
                         "added, and %s is as it was",
                         record_stop_signal (), output->base, record_series_names[output->series],
                         output->format->file_name);
        else
            record_output_set_write_error (
                output, output->format->file_name, errno,
                output->base != NULL ? "HDF5 cannot copy it to add the series" : "HDF5 cannot create the file", error);
        hdf5_finish (h5);
        record_output_discard (output, h5->temporary);
        g_free (h5->temporary);
        g_free (h5);
        return NULL;
    }

    if (output->base != NULL)
        record_hdf5_warn_of_other_settings (output, h5->file);

    take_reserve (output, h5);
    return h5;
}

static gboolean
set_frames (Hdf5Output *h5, const FrameGeometry *geometry, hsize_t frames)
{
    const hsize_t dims[3] = { frames, geometry->height, geometry->width };

    return H5Dset_extent (h5->data, dims) >= 0 && H5Dset_extent (h5->timestamps, dims) >= 0;
}

static gboolean
write_timestamp (Hdf5Output *h5, hsize_t index, gint64 value)
{
    const hsize_t one = 1;
    hid_t file_space = H5Dget_space (h5->timestamps);
    hid_t memory_space = H5Screate_simple (1, &one, NULL);
    gboolean success = H5Sselect_hyperslab (file_space, H5S_SELECT_SET, &index, NULL, &one, NULL) >= 0 &&
                       H5Dwrite (h5->timestamps, H5T_NATIVE_INT64, memory_space, file_space, H5P_DEFAULT, &value) >= 0;

    H5Sclose (memory_space);
    H5Sclose (file_space);
    return success;
}

/* Makes every frame written so far visible to readers. */
static gboolean
hdf5_sync (RecordOutput *output, gpointer state, GError **error)
{
    Hdf5Output *h5 = state;

    quiet_hdf5 ();
    errno = 0;

    if (H5Dflush (h5->data) >= 0 && H5Dflush (h5->timestamps) >= 0)
        return TRUE;

    record_output_set_write_error (output, output->format->file_name, errno, "HDF5 cannot flush the file", error);
    return FALSE;
}

static gboolean
hdf5_write (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    Hdf5Output *h5 = state;
    const hsize_t frame = output->n_frames;
    const hsize_t offset[3] = { frame, 0, 0 };
    gint error_number;

    quiet_hdf5 ();

    if (!room_for_frame (output)) {
        record_output_set_write_error (output, output->format->file_name, ENOSPC, NULL, error);
        return FALSE;
    }

    errno = 0;

    if (!set_frames (h5, &output->geometry, frame + 1) ||
        H5Dwrite_chunk (h5->data, H5P_DEFAULT, 0, offset, output->geometry.frame_bytes, pixels) < 0 ||
        !write_timestamp (h5, frame, timestamp_ns - output->first_ns)) {
        error_number = errno;
        record_output_set_write_error (output, output->format->file_name, error_number, "HDF5 cannot write the frame",
                                       error);
        return FALSE;
    }

    /* A copy adding a series replaces the earlier file only once complete. */
    if (h5->published || output->base != NULL)
        return TRUE;

    /* Readers find the file once it holds a frame. */
    if (!hdf5_sync (output, h5, error))
        return FALSE;

    h5->published = record_output_publish (output, h5->temporary, output->format->file_name, error);
    return h5->published;
}

/* Closes everything; FALSE when HDF5 could not complete the file. */
static gboolean
hdf5_finish (Hdf5Output *h5)
{
    gboolean success = TRUE;

    if (h5->data >= 0)
        success = H5Dclose (h5->data) >= 0 && success;

    if (h5->timestamps >= 0)
        success = H5Dclose (h5->timestamps) >= 0 && success;

    if (h5->file >= 0)
        success = H5Fclose (h5->file) >= 0 && success;

    return success;
}

/* Written last: the file holds every frame the recording received. */
static gboolean
mark_complete (Hdf5Output *h5)
{
    const guint8 complete = 1;
    hid_t attribute = H5Aopen (h5->data, "complete", H5P_DEFAULT);
    gboolean success = attribute >= 0 && H5Awrite (attribute, H5T_NATIVE_UINT8, &complete) >= 0;

    if (attribute >= 0)
        success = H5Aclose (attribute) >= 0 && success;

    return success;
}

/* The copy goes to the disk before it takes the earlier file's name: a crash then leaves one
 * file or the other, whole. */
static gboolean
replace_earlier (RecordOutput *output, Hdf5Output *h5, GError **error)
{
    if (record_file_flush_to_disk (h5->temporary) != 0) {
        record_output_set_write_error (output, output->format->file_name, errno, NULL, error);
        return FALSE;
    }

    return record_output_publish (output, h5->temporary, output->format->file_name, error);
}

static gboolean
hdf5_close (RecordOutput *output, gpointer state, GError **error)
{
    Hdf5Output *h5 = state;
    gboolean closed, published;

    /* The reserve's space is what HDF5 needs now for its records. */
    quiet_hdf5 ();
    release_reserve (output, h5);
    errno = 0;

    /* After a failed write the file keeps the frames before it and stays incomplete; so it does when
     * frames received were left unwritten. */
    if (output->failed)
        closed = set_frames (h5, &output->geometry, output->n_frames) && H5Fflush (h5->file, H5F_SCOPE_LOCAL) >= 0;
    else if (output->cut_short)
        closed = H5Fflush (h5->file, H5F_SCOPE_LOCAL) >= 0;
    else
        closed = H5Fflush (h5->file, H5F_SCOPE_LOCAL) >= 0 && mark_complete (h5);

    closed = hdf5_finish (h5) && closed;

    if (!closed && !output->failed)
        record_output_set_write_error (output, output->format->file_name, errno, "HDF5 cannot complete the file",
                                       error);

    /* Also after a failed write: the copy holds the frames written before it, and says so. */
    if (!h5->published && closed && output->base != NULL && output->n_frames > 0)
        h5->published = replace_earlier (output, h5, error);

    /* A published new file stays: SWMR kept it readable up to its last flush, and it says whether
     * it is complete. */
    published = h5->published;

    if (!published) {
        record_output_discard (output, h5->temporary);
        output->n_frames = 0;
    }

    g_free (h5->temporary);
    g_free (h5);
    return closed && published && !output->failed;
}

/* The frames of the series in `file`, and whether it is complete; FALSE when it has none. */
static gboolean
find_series (hid_t file, RecordSeries series, hsize_t *frames, guint8 *complete)
{
    hid_t data, space, attribute;
    hsize_t dims[3] = { 0 };

    if (H5Lexists (file, DX_GROUP, H5P_DEFAULT) <= 0 ||
        H5Lexists (file, record_hdf5_series_paths[series], H5P_DEFAULT) <= 0)
        return FALSE;

    data = H5Dopen2 (file, record_hdf5_series_paths[series], H5P_DEFAULT);
    space = data >= 0 ? H5Dget_space (data) : H5I_INVALID_HID;
    attribute = data >= 0 ? H5Aopen (data, "complete", H5P_DEFAULT) : H5I_INVALID_HID;

    if (space >= 0 && H5Sget_simple_extent_dims (space, dims, NULL) >= 1)
        *frames = dims[0];

    if (attribute < 0 || H5Aread (attribute, H5T_NATIVE_UINT8, complete) < 0)
        *complete = 0;

    if (attribute >= 0)
        H5Aclose (attribute);

    if (space >= 0)
        H5Sclose (space);

    if (data >= 0)
        H5Dclose (data);

    return TRUE;
}

static gboolean
hdf5_check_addition (const gchar *path, RecordSeries series, gboolean overwrite, gint64 *replaced_frames,
                     GError **error)
{
    const gchar *name = record_series_names[series];
    gchar *dir = g_path_get_dirname (path);
    hsize_t frames = 0;
    guint8 complete = 0;
    guint64 free_bytes;
    GStatBuf info;
    hid_t file;
    gboolean present, room;

    quiet_hdf5 ();
    file = H5Fopen (path, H5F_ACC_RDONLY, H5P_DEFAULT);

    if (file < 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Cannot add the %s series to `%s': HDF5 cannot open it (a file whose writer was killed "
                     "opens after `h5clear -s'); move it away, or record into another folder",
                     name, path);
        g_free (dir);
        return FALSE;
    }

    present = find_series (file, series, &frames, &complete);
    H5Fclose (file);
    *replaced_frames = present ? (gint64) frames : -1;

    if (present && !overwrite) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "`%s' already holds a %s series (%s, %" G_GUINT64_FORMAT " frames%s); give --overwrite to "
                     "replace that series alone, or record into another folder",
                     path, name, record_hdf5_series_paths[series], (guint64) frames, complete ? "" : ", incomplete");
        g_free (dir);
        return FALSE;
    }

    /* The copy takes at most the file's size; where the system cannot say, the copy finds out. */
    room = g_stat (path, &info) != 0 || record_disk_free_bytes (dir, &free_bytes) != 0 ||
           free_bytes >= (guint64) info.st_size + RESERVE_BYTES + MARGIN_BYTES;

    if (!room)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT,
                     "Cannot add the %s series to `%s': its copy takes up to %.1f MB, and the disk has %.1f MB "
                     "free",
                     name, path, (info.st_size + RESERVE_BYTES + MARGIN_BYTES) / 1e6, free_bytes / 1e6);

    g_free (dir);
    return room;
}

/* A copy adding a series holds the earlier file whole before its first frame. */
static guint64
hdf5_first_frame_bytes (const RecordOutput *output)
{
    GStatBuf info;
    const guint64 copy = output->base != NULL && g_stat (output->base, &info) == 0 ? (guint64) info.st_size : 0;

    return copy + output->geometry.frame_bytes + MARGIN_BYTES;
}

const RecordFormatOps record_hdf5_ops = { hdf5_open,          hdf5_write, hdf5_sync, hdf5_close, hdf5_first_frame_bytes,
                                          hdf5_check_addition };
