/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The Data Exchange layout as uca-record writes it and the camera reads it back as calibrations:
 * under /exchange one dataset per series, frames x height x width, with the settings the series
 * was taken with as attributes of its dataset. C and C++ both include it, so that the writer and
 * the reader cannot drift apart. */
#ifndef TESSARAVOLT_DATA_EXCHANGE_H
#define TESSARAVOLT_DATA_EXCHANGE_H

#define DX_GROUP "/exchange"

/* The series: projections, darks (beam off) and flats (open beam, no sample), as tomography
 * software looks for them. */
#define DX_DATA "data"
#define DX_DARK "data_dark"
#define DX_FLAT "data_white"

/* Each series' arrival times, one dataset per series. */
#define DX_DATA_TIMES "timestamps"
#define DX_DARK_TIMES "timestamps_dark"
#define DX_FLAT_TIMES "timestamps_white"

/* The settings: exposure time in seconds, gain, binning (horizontal, vertical), region of
 * interest (x0, y0, width, height), trigger source ("auto", "software" or "external", as libuca
 * names them). */
#define DX_EXPOSURE_TIME "exposure_time"
#define DX_GAIN "gain"
#define DX_BINNING "binning"
#define DX_ROI "roi"
#define DX_TRIGGER_SOURCE "trigger_source"

#endif
