/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The stream's messages, one CBOR map each behind the self-described prefix: start (what the
 * files' metadata says), image (a header right in front of the frame's pixels, which it
 * announces as a byte string but never copies) and end (with what this endpoint sent, dropped
 * and possibly lost). */
#ifndef UCA_RECORD_STREAM_MESSAGES_H
#define UCA_RECORD_STREAM_MESSAGES_H

#include "cbor.h"
#include "core/uca-record.h"

/* The one channel of every image. Consumers written for other detectors look for this name. */
#define STREAM_CHANNEL "threshold_1"

enum {
    /* Room for an image header; ample, and a multiple of a cache line. */
    STREAM_IMAGE_HEADER_ROOM = 320,
    /* The header's fixed part: up to the series date. */
    STREAM_IMAGE_PREFIX_ROOM = 160,
};

typedef struct {
    guint64 series_id;
    gchar *unique_id;
    GDateTime *date; /* when recording started: arm date and series date */
    gint64 start_ns; /* the same moment on record_monotonic_ns ()'s clock */
    gint64 exposure_ns;
    guint64 n_images; /* 0: not known */
    guint8 image_prefix[STREAM_IMAGE_PREFIX_ROOM];
    gsize image_prefix_length;
} StreamSeries;

void stream_series_init (StreamSeries *series, guint64 series_id, const CameraInfo *info, guint64 n_images);
void stream_series_clear (StreamSeries *series);

/* The start message, newly allocated; `user_data`, one CBOR item (json-cbor.h), may be NULL. The
 * maps go as `flatfield` and `pixel_mask`, compressed as the images are. */
GBytes *stream_encode_start (const StreamSeries *series, const CameraInfo *info, const FrameGeometry *geometry,
                             const AppliedMaps *maps, StreamCompression compression, GBytes *user_data);
/* `possibly_lost`: of the frames sent, those ZeroMQ held for consumers that then left. */
GBytes *stream_encode_end (const StreamSeries *series, guint64 sent, guint64 dropped, guint64 possibly_lost);
/* Writes image `index`'s header so that it ends where `pixels` begin, inside the room in front
 * of them; returns its length. */
gsize stream_encode_image_header (const StreamSeries *series, const FrameGeometry *geometry, guint64 index,
                                  gint64 arrival_ns, guint8 *pixels);
/* The same in front of `data_bytes` of the pixels compressed with `algorithm` ("lz4" or
 * "bslz4", in the framing stream-compress.h describes). */
gsize stream_encode_compressed_header (const StreamSeries *series, const FrameGeometry *geometry, guint64 index,
                                       gint64 arrival_ns, const gchar *algorithm, gsize data_bytes, guint8 *data);

#endif
