/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The series of a Data Exchange file, and the settings each was taken with against a new one's. */
#ifndef UCA_RECORD_HDF5_SERIES_H
#define UCA_RECORD_HDF5_SERIES_H

#include "output/output.h"

#include <glib.h>
#include <hdf5.h>

/* Each series' frames in the file, by RecordSeries. */
extern const gchar *const record_hdf5_series_paths[3];

/* Warns of each other series of `file` taken with other settings than `output`'s: the camera
 * uses darks only with flats taken alike, and tomography software normalises projections with
 * both. */
void record_hdf5_warn_of_other_settings (const RecordOutput *output, hid_t file);

#endif
