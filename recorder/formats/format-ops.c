/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See formats.h: the writers of each format, apart from the table so that the command line's
 * checks link without them. */

#include "core/formats.h"

const RecordFormatOps *
record_format_ops (const RecordFormat *format)
{
    /* In the order of record_formats. */
    static const RecordFormatOps *const ops[] = { &record_tiff_ops, &record_multitiff_ops, &record_hdf5_ops };
    const RecordFormatOps *found;

    g_assert (record_n_formats == G_N_ELEMENTS (ops) && format >= record_formats &&
              format < record_formats + record_n_formats);
    found = ops[format - record_formats];
    g_assert ((found->check_addition != NULL) == format->holds_series);
    return found;
}
