/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The recorder's error domain (uca-record.h), apart so that its parts link alone. */

#include "uca-record.h"

/* clang-format off */
G_DEFINE_QUARK (uca-record-error-quark, record_error)
/* clang-format on */
