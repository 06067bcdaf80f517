/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Copying an HDF5 file's contents into a new file, leaving some of them out: how a series is
 * added to a file, or one replaced, without ever writing into the file itself.
 *
 * Everything is copied: attributes, groups, datasets, named datatypes, soft and external links,
 * whatever a user added beside the recorder's series. Chunked datasets go chunk by chunk as they
 * are stored (no conversion, filters kept), at about the speed of copying the file; the rest goes
 * through H5Ocopy. The new file has only what is copied, so a series left out leaves no unused
 * space behind. */
#ifndef UCA_RECORD_HDF5_COPY_H
#define UCA_RECORD_HDF5_COPY_H

#include <glib.h>
#include <hdf5.h>

/* Copies `source`'s contents into the empty, writable `target` (both file identifiers), except
 * the objects whose paths are in `left_out` (NULL-terminated, e.g. "/exchange/data_dark").
 * Adds the bytes of chunks copied to `bytes`. FALSE when HDF5 failed, or when a stop's grace has
 * passed (record_stop_overdue), which the copy heeds between chunks and objects; `target` is then
 * to be discarded. */
gboolean record_hdf5_copy (hid_t source, hid_t target, const gchar *const *left_out, guint64 *bytes);

#endif
