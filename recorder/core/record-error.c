/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What uca-record.h declares for all parts, the error domain and the stream's compression names,
 * apart so that each part links alone. */

#include "uca-record.h"

/* clang-format off */
G_DEFINE_QUARK (uca-record-error-quark, record_error)
/* clang-format on */

const gchar *const stream_compression_names[3] = { "none", "lz4", "bslz4" };
