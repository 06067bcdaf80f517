/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What uca-record's parts share: its errors, the command line's choices and the frame geometry. */
#ifndef UCA_RECORD_H
#define UCA_RECORD_H

#include <glib.h>

/* How the stream compresses frames (stream/stream-compress.h): chosen on the command line. */
typedef enum {
    STREAM_COMPRESSION_NONE,
    STREAM_COMPRESSION_LZ4,
    STREAM_COMPRESSION_BSLZ4,
} StreamCompression;

extern const gchar *const stream_compression_names[3]; /* the convention's: "none", "lz4", "bslz4" */

/* ISO 8601 in UTC, to the microsecond: "2026-12-08T10:44:56.123456Z" (utc-text.c). */
gchar *record_utc_text (gint64 unix_us);

#define RECORD_ERROR (record_error_quark ())
GQuark record_error_quark (void);

typedef enum {
    RECORD_ERROR_USAGE, /* bad input, found before recording: exit status 2 */
    RECORD_ERROR_PROPERTY,
    RECORD_ERROR_OUTPUT,
    RECORD_ERROR_MEMORY,
    RECORD_ERROR_TIMEOUT,
    RECORD_ERROR_CAMERA,
    RECORD_ERROR_INTERRUPTED, /* a signal during set-up: exit status 128 + the signal */
} RecordError;

typedef enum {
    MODE_CONTINUOUS,
    MODE_SINGLE,
    MODE_ASYNC,
    MODE_BUFFERED,
} RecordMode;

/* A row of the table of formats (formats.h). */
typedef struct RecordFormat RecordFormat;

/* Where a frame's number can be read, to tell frames that arrive out of order. */
typedef enum {
    COUNTER_NONE,
    COUNTER_SIM_PATTERN, /* the simulated detector's test pattern */
} RecordCounter;

extern const gchar *const record_mode_names[4];

/* The series a recording adds to a file that holds several (HDF5): projections, darks or
 * flats. */
typedef enum {
    SERIES_DATA,
    SERIES_DARK,
    SERIES_FLAT,
} RecordSeries;

extern const gchar *const record_series_names[3];

/* --stream and its companions; see stream.h. */
typedef struct {
    gchar **endpoints; /* NULL: nothing is published */
    gchar *user_data;  /* JSON text, or NULL */
    gboolean drop;     /* --stream-policy drop: never wait for consumers */
    StreamCompression compression;
    gchar *curve_secret;
    gchar *curve_clients;
    gboolean keygen;
} StreamOptions;

typedef struct {
    guint64 n_frames;   /* 0: no limit */
    gdouble duration_s; /* 0: no limit */
    guint64 buffer_bytes;
    RecordMode mode;
    const RecordFormat *format;
    RecordSeries series;
    RecordCounter counter;
    gchar *output_dir; /* NULL: nothing is written */
    gboolean overwrite;
    gdouble timeout_s; /* 0: follows the exposure time */
    gboolean quiet;
    StreamOptions stream;
    gchar *monitor;     /* --monitor [ADDRESS:]PORT, or NULL */
    gchar **properties; /* PROPERTY=VALUE as given, for the camera */
    guint n_properties;
} Options;

typedef struct {
    guint width;
    guint height;
    guint bits;
    guint bytes_per_pixel;
    gsize frame_bytes;
} FrameGeometry;

/* What the camera says about the frames, for the files' metadata: once recording, what it really
 * uses. Its strings belong to the one record_read_camera filled; copies share them. */
typedef struct {
    const gchar *camera_name; /* as named to uca-record */
    gchar *told_name;         /* the camera's own name; NULL when it tells none */
    gchar *model;             /* NULL when the camera tells none */
    gdouble exposure_s;       /* the cycle in force: frame-time where the camera has it, else exposure-time */
    gchar *serial_number;     /* NULL when the camera tells none */
    gboolean gain_corrected;  /* corrections-applied lists "gain": a flat field was applied */
    gboolean defects_corrected; /* it lists "defects": defective pixels were replaced */
    guint roi[4];               /* x0, y0, width, height */
    guint binning[2];           /* horizontal, vertical; 0 when the camera has none */
    gdouble pixel_size[2];      /* width, height of a sensor pixel in metres; 0 when unknown */
    gboolean has_gain;
    guint gain;
    gchar *trigger_source; /* libuca's name: "auto", "software" or "external"; NULL if unknown */
    /* What the camera does to the frames: "none", or a comma-separated list of "offset", "gain"
     * and "defects"; with a correction, the calibration file (NULL when the camera tells none) and
     * when the calibration was taken (NULL when unknown). Interned: they live as long as the
     * process, so that copies need no owner. */
    const gchar *corrections;
    const gchar *calibration_file;
    const gchar *calibration_start_time;
} CameraInfo;

/* The calibration maps the camera corrects the frames with, of the frames' region, row after
 * row, little-endian: NULL where it applies no such correction or does not tell. */
typedef struct {
    GBytes *flatfield;  /* float32: the gain factor each pixel is multiplied with */
    GBytes *pixel_mask; /* uint32: NeXus pixel_mask bits of the pixels replaced */
} AppliedMaps;

#endif
