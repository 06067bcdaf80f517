/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* hdf5: every frame in one HDF5 file, laid out as tomography software reads it (Data Exchange):
 *   /exchange/data        frames x height x width, unsigned 8 or 16 bits, one frame per chunk,
 *                         extended as frames arrive; attributes "camera", "exposure_time"
 *                         (seconds), "roi" (x0, y0, width, height), "binning" (horizontal,
 *                         vertical) and "pixel_size" (width, height in metres)
 *   /exchange/timestamps  per frame, when it arrived: nanoseconds after the first frame on the
 *                         monotonic clock (signed 64 bits; attribute "units" = "ns")
 * and the root attribute "implements" = "exchange".
 *
 * Each frame is one direct chunk write, so pixels are not converted or copied on the way.
 *
 * HDF5 cannot be trusted to leave a consistent file once one of its writes has failed, so a full
 * disk must never reach it: a frame is written only while the disk has room for it and a margin,
 * and a reserve file beside the output keeps a few MiB more for HDF5's own records at close. */

#include "output.h"
#include "platform.h"

#include <errno.h>
#include <hdf5.h>
#include <string.h>

#include <glib/gstdio.h>

enum {
    RESERVE_BYTES = 8 << 20,
    MARGIN_BYTES = 1 << 20,
    TIMESTAMP_CHUNK = 4096
};

typedef struct {
    gchar *temporary;
    gchar *reserve;
    hid_t file;
    hid_t data;
    hid_t timestamps;
    gint64 first_ns;
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
release_reserve (Hdf5Output *h5)
{
    if (h5->reserve != NULL)
        g_unlink (h5->reserve);

    g_clear_pointer (&h5->reserve, g_free);
}

/* A reserve that cannot be had (a disk already nearly full) only makes recovery less certain. */
static void
take_reserve (RecordOutput *output, Hdf5Output *h5)
{
    gchar *name = g_strconcat (output->format->file_name, ".reserve", NULL);
    gint fd = record_output_create_temporary (output, name, &h5->reserve, NULL);
    gboolean reserved;

    g_free (name);

    if (fd < 0)
        return;

    /* Closed before it may be removed, which Windows prefers. */
    reserved = record_file_reserve (fd, RESERVE_BYTES) == 0;
    record_file_close (fd);

    if (!reserved)
        release_reserve (h5);
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
describe_camera (hid_t data, const CameraInfo *info)
{
    return set_string_attribute (data, "camera", info->camera_name) &&
           set_attribute (data, "exposure_time", H5T_NATIVE_DOUBLE, 0, &info->exposure_s) &&
           set_attribute (data, "roi", H5T_NATIVE_UINT, 4, info->roi) &&
           set_attribute (data, "binning", H5T_NATIVE_UINT, 2, info->binning) &&
           set_attribute (data, "pixel_size", H5T_NATIVE_DOUBLE, 2, info->pixel_size);
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
    hid_t group = H5Gcreate2 (h5->file, "/exchange", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    gboolean success;

    if (group < 0)
        return FALSE;

    h5->data = create_growing (group, "data", pixel_type, 3, frame_chunk);
    h5->timestamps = create_growing (group, "timestamps", H5T_STD_I64LE, 1, time_chunk);
    success = h5->data >= 0 && h5->timestamps >= 0 && set_string_attribute (h5->file, "implements", "exchange") &&
              describe_camera (h5->data, &output->info) && set_string_attribute (h5->timestamps, "units", "ns");
    H5Gclose (group);
    return success;
}

static gboolean hdf5_finish (Hdf5Output *h5);

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
    g_unlink (h5->temporary);
    errno = 0;
    h5->file = H5Fcreate (h5->temporary, H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT);

    if (h5->file < 0 || !create_layout (h5, output)) {
        record_output_set_write_error (output, output->format->file_name, errno, "HDF5 cannot create the file", error);
        hdf5_finish (h5);
        g_unlink (h5->temporary);
        g_free (h5->temporary);
        g_free (h5);
        return NULL;
    }

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

static gboolean
hdf5_write (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    Hdf5Output *h5 = state;
    const hsize_t frame = output->n_frames;
    const hsize_t offset[3] = { frame, 0, 0 };
    gint error_number;

    if (frame == 0)
        h5->first_ns = timestamp_ns;

    quiet_hdf5 ();

    if (!room_for_frame (output)) {
        record_output_set_write_error (output, output->format->file_name, ENOSPC, NULL, error);
        return FALSE;
    }

    errno = 0;

    if (set_frames (h5, &output->geometry, frame + 1) &&
        H5Dwrite_chunk (h5->data, H5P_DEFAULT, 0, offset, output->geometry.frame_bytes, pixels) >= 0 &&
        write_timestamp (h5, frame, timestamp_ns - h5->first_ns))
        return TRUE;

    error_number = errno;
    record_output_set_write_error (output, output->format->file_name, error_number, "HDF5 cannot write the frame", error);
    return FALSE;
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

static gboolean
hdf5_close (RecordOutput *output, gpointer state, GError **error)
{
    Hdf5Output *h5 = state;
    gboolean complete;

    /* The reserve's space is what HDF5 needs now for its records. */
    quiet_hdf5 ();
    release_reserve (h5);
    complete = (!output->failed || set_frames (h5, &output->geometry, output->n_frames));
    complete = hdf5_finish (h5) && complete;

    if (!complete && !output->failed)
        record_output_set_write_error (output, output->format->file_name, errno, "HDF5 cannot complete the file", error);

    if (complete && output->n_frames > 0)
        complete = record_output_publish (output, h5->temporary, output->format->file_name, output->failed ? NULL : error);
    else
        g_unlink (h5->temporary);

    if (!complete)
        output->n_frames = 0;

    g_free (h5->temporary);
    g_free (h5);
    return complete && !output->failed;
}

const RecordFormatOps record_hdf5_ops = { hdf5_open, hdf5_write, hdf5_close };
