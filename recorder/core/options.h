/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's command line: options and their checks, all before any camera is touched. */
#ifndef UCA_RECORD_OPTIONS_H
#define UCA_RECORD_OPTIONS_H

#include "uca-record.h"

/* Parses and checks the options, leaving the camera name and PROPERTY=VALUE arguments in argv.
 * A failure is a usage error (exit status 2); --help prints and exits. */
gboolean record_parse_options (int *argc, char ***argv, Options *options, GError **error);
void record_options_clear (Options *options);

/* How many frames the ring holds: what --buffer allows, no more than the recording needs. */
gboolean record_ring_slots (const Options *options, const FrameGeometry *geometry, guint *n_slots, GError **error);

#endif
