/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See hdf5-copy.h. */

#include "hdf5-copy.h"
#include "core/signals.h"

typedef struct {
    hid_t target;                 /* the group the links go into */
    const gchar *path;            /* of the group they come from; "" for the root */
    const gchar *const *left_out; /* paths not copied */
    guint64 *bytes;
} GroupCopy;

static gboolean copy_group (hid_t source, hid_t target, const gchar *path, const gchar *const *left_out,
                            guint64 *bytes);

static void
close_id (hid_t id, herr_t (*close) (hid_t))
{
    if (id >= 0)
        close (id);
}

/* Any attribute, variable-length strings included, read and written in memory's form. */
static herr_t
copy_attribute (hid_t object, const char *name, const H5A_info_t *info, void *data)
{
    const hid_t target = *(const hid_t *) data;
    const hid_t source = H5Aopen (object, name, H5P_DEFAULT);
    const hid_t file_type = source >= 0 ? H5Aget_type (source) : H5I_INVALID_HID;
    const hid_t memory_type = file_type >= 0 ? H5Tget_native_type (file_type, H5T_DIR_DEFAULT) : H5I_INVALID_HID;
    const hid_t space = source >= 0 ? H5Aget_space (source) : H5I_INVALID_HID;
    const hssize_t points = space >= 0 ? H5Sget_simple_extent_npoints (space) : -1;
    const size_t size = memory_type >= 0 ? H5Tget_size (memory_type) : 0;
    gpointer buffer = points >= 0 && size > 0 ? g_malloc0 ((gsize) MAX (points, 1) * size) : NULL;
    gboolean read = buffer != NULL && H5Aread (source, memory_type, buffer) >= 0;
    hid_t copy = read ? H5Acreate2 (target, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT) : H5I_INVALID_HID;
    gboolean success = copy >= 0 && H5Awrite (copy, memory_type, buffer) >= 0;

    (void) info;

    if (read)
        H5Dvlen_reclaim (memory_type, space, H5P_DEFAULT, buffer);

    g_free (buffer);
    close_id (copy, H5Aclose);
    close_id (space, H5Sclose);
    close_id (memory_type, H5Tclose);
    close_id (file_type, H5Tclose);
    close_id (source, H5Aclose);
    return success ? 0 : -1;
}

static gboolean
copy_attributes (hid_t source, hid_t target)
{
    return H5Aiterate2 (source, H5_INDEX_NAME, H5_ITER_NATIVE, NULL, copy_attribute, &target) >= 0;
}

/* Each stored chunk as it is stored, the last dimension fastest; chunks never written stay so. */
static gboolean
copy_chunks (hid_t source, hid_t target, hid_t space, hid_t create, guint64 *bytes)
{
    hsize_t dims[H5S_MAX_RANK], chunk[H5S_MAX_RANK], offset[H5S_MAX_RANK] = { 0 };
    const int rank = H5Sget_simple_extent_dims (space, dims, NULL);
    gboolean success = rank > 0 && H5Pget_chunk (create, rank, chunk) == rank;
    gpointer buffer = NULL;
    hsize_t held = 0;

    for (int i = 0; success && i < rank; i++) {
        if (dims[i] == 0)
            return TRUE;
    }

    /* A large dataset takes as long as copying it: a stop is not kept waiting. */
    while (success && (success = !record_stop_overdue ())) {
        unsigned filters = 0;
        haddr_t address = HADDR_UNDEF;
        hsize_t size = 0;
        int axis = rank - 1;

        success = H5Dget_chunk_info_by_coord (source, offset, &filters, &address, &size) >= 0;

        if (success && address != HADDR_UNDEF && size > 0) {
            if (size > held) {
                g_free (buffer);
                buffer = g_malloc (size);
                held = size;
            }

            success = H5Dread_chunk (source, H5P_DEFAULT, offset, &filters, buffer) >= 0 &&
                      H5Dwrite_chunk (target, H5P_DEFAULT, filters, offset, size, buffer) >= 0;
            *bytes += size;
        }

        while (axis >= 0 && (offset[axis] += chunk[axis]) >= dims[axis])
            offset[axis--] = 0;

        if (axis < 0)
            break;
    }

    g_free (buffer);
    return success;
}

static gboolean
copy_dataset (hid_t source, hid_t group, const gchar *name, const GroupCopy *copy)
{
    const hid_t create = H5Dget_create_plist (source);
    hid_t type, space, target;
    gboolean success;

    if (create < 0)
        return FALSE;

    if (H5Pget_layout (create) != H5D_CHUNKED) {
        H5Pclose (create);
        return H5Ocopy (group, name, copy->target, name, H5P_DEFAULT, H5P_DEFAULT) >= 0;
    }

    type = H5Dget_type (source);
    space = H5Dget_space (source);
    target = H5Dcreate2 (copy->target, name, type, space, H5P_DEFAULT, create, H5P_DEFAULT);
    success =
        target >= 0 && copy_chunks (source, target, space, create, copy->bytes) && copy_attributes (source, target);
    close_id (target, H5Dclose);
    close_id (space, H5Sclose);
    close_id (type, H5Tclose);
    H5Pclose (create);
    return success;
}

static gboolean
copy_object (hid_t group, const gchar *name, const gchar *path, const GroupCopy *copy)
{
    const hid_t object = H5Oopen (group, name, H5P_DEFAULT);
    hid_t created;
    gboolean success;

    if (object < 0)
        return FALSE;

    switch (H5Iget_type (object)) {
        case H5I_GROUP:
            created = H5Gcreate2 (copy->target, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
            success = created >= 0 && copy_group (object, created, path, copy->left_out, copy->bytes);
            close_id (created, H5Gclose);
            break;
        case H5I_DATASET:
            success = copy_dataset (object, group, name, copy);
            break;
        default:
            success = H5Ocopy (group, name, copy->target, name, H5P_DEFAULT, H5P_DEFAULT) >= 0;
            break;
    }

    H5Oclose (object);
    return success;
}

/* A soft link keeps its path, an external link its file and object. */
static gboolean
copy_link_value (hid_t group, const gchar *name, const H5L_info_t *info, hid_t target)
{
    gchar *value = g_malloc0 (MAX (info->u.val_size, 1));
    const char *file = NULL, *object = NULL;
    unsigned flags = 0;
    gboolean success = H5Lget_val (group, name, value, info->u.val_size, H5P_DEFAULT) >= 0;

    if (success && info->type == H5L_TYPE_SOFT)
        success = H5Lcreate_soft (value, target, name, H5P_DEFAULT, H5P_DEFAULT) >= 0;
    else if (success && info->type == H5L_TYPE_EXTERNAL)
        success = H5Lunpack_elink_val (value, info->u.val_size, &flags, &file, &object) >= 0 &&
                  H5Lcreate_external (file, object, target, name, H5P_DEFAULT, H5P_DEFAULT) >= 0;
    else
        success = FALSE; /* a link kind of an application's own */

    g_free (value);
    return success;
}

static herr_t
copy_link (hid_t group, const char *name, const H5L_info_t *info, void *data)
{
    const GroupCopy *copy = data;
    gchar *path = g_strconcat (copy->path, "/", name, NULL);
    gboolean success = !record_stop_overdue ();

    if (success && !g_strv_contains (copy->left_out, path))
        success = info->type == H5L_TYPE_HARD ? copy_object (group, name, path, copy)
                                              : copy_link_value (group, name, info, copy->target);

    g_free (path);
    return success ? 0 : -1;
}

static gboolean
copy_group (hid_t source, hid_t target, const gchar *path, const gchar *const *left_out, guint64 *bytes)
{
    GroupCopy copy = { target, path, left_out, bytes };

    return copy_attributes (source, target) &&
           H5Literate (source, H5_INDEX_NAME, H5_ITER_NATIVE, NULL, copy_link, &copy) >= 0;
}

gboolean
record_hdf5_copy (hid_t source, hid_t target, const gchar *const *left_out, guint64 *bytes)
{
    const hid_t from = H5Gopen2 (source, "/", H5P_DEFAULT);
    const hid_t to = H5Gopen2 (target, "/", H5P_DEFAULT);
    const gboolean success = from >= 0 && to >= 0 && copy_group (from, to, "", left_out, bytes);

    close_id (to, H5Gclose);
    close_id (from, H5Gclose);
    return success;
}
