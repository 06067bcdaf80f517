/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the stream's files share (stream.c, stream-send.c, stream-watch.c); see stream.h. */
#ifndef UCA_RECORD_STREAM_PRIVATE_H
#define UCA_RECORD_STREAM_PRIVATE_H

#include "stream-messages.h"
#include "stream.h"
#include "platform/sync.h"

#include <glib/gstdio.h>
#include <stdatomic.h>

typedef struct {
    gchar *name;            /* as given */
    gchar *bound;           /* as bound, e.g. with the port a wildcard got */
    gchar *socket_path;     /* the file of an ipc socket bound, removed at the end */
    GStatBuf socket_file;   /* what it was once bound: another file there later is not ours */
    void *socket;           /* PUSH: the opening thread's, then the sender's, then the closing thread's */
    void *monitor;          /* PAIR receiving the socket's events: the watch thread's */
    guint failed_closing;   /* the watch thread's: connections whose handshake failed, their close to come */

    /* Written by the sender thread; read by anyone. */
    atomic_uint_fast64_t sent;
    atomic_uint_fast64_t dropped;
    atomic_uint_fast64_t bytes;
    atomic_uint_fast64_t queued; /* frames ZeroMQ held right after the last send here */
    gboolean end_sent;           /* read once the sender has ended */
    gint64 last_progress_ns;     /* the sender's: a message taken, or no consumer to take one */

    /* Written by the watch thread; read by anyone. */
    atomic_uint joined;       /* connections whose handshake succeeded: consumers */
    atomic_uint left;         /* consumers that disconnected */
    atomic_uint refused;      /* consumers refused: each key not admitted once, and other failed handshakes */
    GHashTable *refused_keys; /* the watch thread's: keys not admitted, in Z85 */
    GHashTable *open;         /* the watch thread's: the descriptors of the connections open now */
    GHashTable *held;         /* the watch thread's: of those open when the end had gone, the ones still open */
    atomic_uint n_held;       /* their number */
    /* Frames ZeroMQ held for consumers that left mid-series: lost unless another took them. */
    atomic_uint_fast64_t possibly_lost;
} StreamEndpoint;

/* What ZeroMQ's release of a message hands back: the slot to release. One per slot, made at
 * start, so that nothing is allocated per frame. */
typedef struct {
    RecordStream *stream;
    guint slot;
} SlotRelease;

struct RecordStream {
    /* Set at open; read-only afterwards. */
    void *context;
    StreamEndpoint *endpoints;
    guint n_endpoints;
    GBytes *user_data; /* its CBOR item */
    gboolean drop;
    StreamCompression compression;
    gboolean quiet;
    guint64 series_id;
    void *zap;            /* with CURVE: the authentication handler's REP socket, the watch thread's */
    GHashTable *admitted; /* with CURVE: the admitted clients' public keys, in Z85 */
    RecordThread watcher;
    gboolean watching;  /* the watch thread runs */
    atomic_int closing; /* main thread to watch thread */
    /* Sender to watch thread: catch-ups asked for, and whether the end has gone; watch thread to
     * sender: the last one done, every event reported before it asked read (signalled through
     * changed). */
    atomic_uint catch_up_asked;
    atomic_int end_gone;
    atomic_uint catch_up_done;
    gboolean holding; /* the watch thread's: the connections open once the end had gone are held */

    /* Set at start; read-only while the sender runs. */
    Ring *ring;
    FrameGeometry geometry;
    StreamSeries series;
    CameraInfo info;       /* its strings shared with the recording's */
    AppliedMaps maps;      /* the stream's references, until the start message is made of them */
    GBytes *start_message; /* the sender's: made before anything is sent */
    gint64 patience_ns;
    guint budget; /* drop: the most frames ZeroMQ may hold at once */
    SlotRelease *releases;
    RecordThread sender;
    gboolean started;

    atomic_uint in_flight;   /* frames ZeroMQ holds; released on its I/O thread */
    /* Main thread to sender: when a stop ends the waits for connected consumers (G_MAXINT64: no
     * stop yet); with a stop, nobody waits for a consumer to connect. */
    atomic_int_fast64_t stop_ns;
    atomic_int mid_series;   /* sender to watch thread: from the start message to the end's */
    /* Sender to main thread: 1 + the endpoint a message waits for (0: none), and since when. */
    atomic_uint waiting_on;
    atomic_int_fast64_t waiting_since_ns;
    /* Sender to main thread: since when consumers are waited for to leave after the end (0: not). */
    atomic_int_fast64_t leave_wait_since_ns;
    atomic_int_fast64_t first_send_ns;
    atomic_int_fast64_t last_send_ns;

    RecordLock lock;         /* guards done; the sender's timed waits use it too */
    RecordCondition changed; /* done or catch_up_done changed */
    gboolean done;
};

/* With CURVE, endpoint i's authentication domain: this, then i. */
#define STREAM_ZAP_DOMAIN "uca-record-"

/* The consumers on one endpoint: connections open now whose handshake succeeded. */
guint stream_endpoint_consumers (StreamEndpoint *endpoint);
/* Of the frames sent there, those ZeroMQ held for consumers that then left, or took nothing. */
guint64 stream_endpoint_possibly_lost (StreamEndpoint *endpoint);

/* After the end message: the consumers that may still hold it. */
guint stream_endpoint_awaited (StreamEndpoint *endpoint);
/* The sender's: returns once the watch thread has read every event ZeroMQ reported so far (at most
 * a second), so that the counts hold every consumer given anything; with `end_gone`, the
 * connections open then are those the wait after the end holds for. */
void stream_watch_catch_up (RecordStream *stream, gboolean end_gone);

void *stream_send_thread (void *data);
void *stream_watch_thread (void *data);

#endif
