/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The stream's sender thread; see stream.h. */

#include "stream-private.h"
#include "stream-compress.h"

#include <errno.h>
#include <string.h>
#include <zmq.h>

enum {
    /* How often a waiting send looks whether it should go on waiting. */
    SEND_POLL_MS = 100,
};

typedef enum {
    PATIENCE_NONE,      /* drop's images: a consumer takes it at once, or it is dropped */
    PATIENCE_CONSUMERS, /* while consumers are connected and take messages */
    PATIENCE_UNBOUNDED, /* block: while recording; without consumers, until a stop; else as PATIENCE_CONSUMERS */
} Patience;

/* On ZeroMQ's I/O thread, or on the sender's when no consumer took the message. */
static void
release_frame (void *data, void *hint)
{
    SlotRelease *release = hint;

    (void) data;
    atomic_fetch_sub (&release->stream->in_flight, 1);
    ring_release_stream (release->stream->ring, release->slot);
}

static gboolean
should_wait (RecordStream *stream, StreamEndpoint *endpoint, Patience patience)
{
    const gint64 stop_ns = atomic_load (&stream->stop_ns);
    const gint64 now = record_monotonic_ns ();
    RingStatus ring;

    if (now >= stop_ns)
        return FALSE;

    /* The patience does not count while no consumer is there to take anything. */
    if (stream_endpoint_consumers (endpoint) == 0) {
        endpoint->last_progress_ns = now;
        return patience == PATIENCE_UNBOUNDED && stop_ns == G_MAXINT64;
    }

    /* A consumer that takes nothing stalls the recording, as a full disk would; once the recording
     * is over or stopped, it has the patience to take something again, up to the stop's deadline. */
    ring_wait_status (stream->ring, NULL, 0, &ring);

    if (patience == PATIENCE_UNBOUNDED && stop_ns == G_MAXINT64 && !ring.input_done)
        return TRUE;

    return now - endpoint->last_progress_ns < stream->patience_ns;
}

/* Hands `message` to the endpoint's socket; on failure the caller still owns it. */
static gboolean
deliver (RecordStream *stream, StreamEndpoint *endpoint, zmq_msg_t *message, Patience patience)
{
    const gsize size = zmq_msg_size (message);
    /* The first try does not wait: once a wait was given up, each message left would otherwise
     * wait the send timeout in vain. */
    int flags = ZMQ_DONTWAIT;
    gboolean sent;

    while (!(sent = zmq_msg_send (message, endpoint->socket, flags) >= 0) && (errno == EAGAIN || errno == EINTR) &&
           patience != PATIENCE_NONE && should_wait (stream, endpoint, patience)) {
        if (flags == ZMQ_DONTWAIT) {
            atomic_store (&stream->waiting_since_ns, record_monotonic_ns ());
            atomic_store (&stream->waiting_on, (guint) (endpoint - stream->endpoints) + 1);
        }

        flags = 0;
    }

    atomic_store (&stream->waiting_on, 0);

    if (!sent)
        return FALSE;

    endpoint->last_progress_ns = record_monotonic_ns ();
    atomic_fetch_add (&endpoint->bytes, size);
    return TRUE;
}

/* `bytes` to one endpoint, which keeps a reference until ZeroMQ lets go. */
/* On ZeroMQ's I/O thread or the sender's. */
static void
release_bytes (void *data, void *bytes)
{
    (void) data;
    g_bytes_unref (bytes);
}

static gboolean
deliver_bytes (RecordStream *stream, StreamEndpoint *endpoint, GBytes *bytes)
{
    const Patience patience = stream->drop ? PATIENCE_CONSUMERS : PATIENCE_UNBOUNDED;
    gsize size;
    const void *data = g_bytes_get_data (bytes, &size);
    zmq_msg_t message;
    gboolean delivered;

    /* Each endpoint's message holds a reference rather than a copy: a start message with the maps
     * of a large sensor runs to hundreds of megabytes. */
    zmq_msg_init_data (&message, (void *) data, size, release_bytes, g_bytes_ref (bytes));
    delivered = deliver (stream, endpoint, &message, patience);

    if (!delivered)
        zmq_msg_close (&message);

    return delivered;
}

static void
count_send (RecordStream *stream)
{
    gint64 now = record_monotonic_ns (), none = 0;

    atomic_compare_exchange_strong (&stream->first_send_ns, &none, now);
    atomic_store (&stream->last_send_ns, now);
}

/* A compressed frame's buffer, on ZeroMQ's I/O thread or the sender's: it begins with the
 * stream it counts in. */
static void
release_compressed (void *data, void *hint)
{
    RecordStream *stream;

    (void) data;
    memcpy (&stream, hint, sizeof stream);
    atomic_fetch_sub (&stream->in_flight, 1);
    g_free (hint);
}

enum {
    COMPRESSED_ROOM = sizeof (RecordStream *) + STREAM_IMAGE_HEADER_ROOM,
};

/* The frame's message: zero copy, the header in front of the pixels, the slot held until ZeroMQ
 * lets go; compressed, a buffer of its own, and the slot free at once. */
static void
init_frame_message (RecordStream *stream, const RingFrame *frame, zmq_msg_t *whole)
{
    const FrameGeometry *geometry = &stream->geometry;
    guint8 *buffer, *data;
    gsize size, header;

    if (stream->compression == STREAM_COMPRESSION_NONE) {
        header = stream_encode_image_header (&stream->series, geometry, frame->index, frame->arrival_ns, frame->pixels);
        zmq_msg_init_data (whole, frame->pixels - header, header + geometry->frame_bytes, release_frame,
                           &stream->releases[frame->slot]);
        return;
    }

    buffer = g_malloc (COMPRESSED_ROOM + stream_compress_bound (stream->compression, geometry->frame_bytes));
    data = buffer + COMPRESSED_ROOM;
    size = stream_compress (stream->compression, frame->pixels, geometry->frame_bytes, geometry->bytes_per_pixel, data);
    release_frame (NULL, &stream->releases[frame->slot]);
    atomic_fetch_add (&stream->in_flight, 1);
    header = stream_encode_compressed_header (&stream->series, geometry, frame->index, frame->arrival_ns,
                                              stream_compression_names[stream->compression], size, data);
    memcpy (buffer, &stream, sizeof stream);
    zmq_msg_init_data (whole, data - header, header + size, release_compressed, buffer);
}

/* One message over the header and the pixels, shared by every endpoint: ZeroMQ releases it
 * once, when the last endpoint is done with it. */
static void
send_frame (RecordStream *stream, const RingFrame *frame)
{
    const gboolean over_budget = stream->drop && atomic_load (&stream->in_flight) >= stream->budget;
    const Patience patience = stream->drop ? PATIENCE_NONE : PATIENCE_UNBOUNDED;
    gboolean any = FALSE;
    zmq_msg_t whole;

    atomic_fetch_add (&stream->in_flight, 1);
    init_frame_message (stream, frame, &whole);

    for (guint i = 0; i < stream->n_endpoints; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];
        zmq_msg_t copy;

        zmq_msg_init (&copy);
        zmq_msg_copy (&copy, &whole);

        if (!over_budget && deliver (stream, endpoint, &copy, patience)) {
            atomic_store (&endpoint->queued, atomic_load (&stream->in_flight));
            atomic_fetch_add (&endpoint->sent, 1);
            any = TRUE;
        }
        else {
            atomic_fetch_add (&endpoint->dropped, 1);
            zmq_msg_close (&copy);
        }
    }

    if (any)
        count_send (stream);

    zmq_msg_close (&whole);
}

enum {
    /* How often the sender, waiting for a frame, looks whether recording ended. */
    TAKE_POLL_NS = 100000000,
    /* How often it looks whether consumers left after the end message. */
    LEAVE_POLL_NS = 20000000,
};

/* Consumers are counted, connections known by name: a connection open since before the end may
 * be a consumer that holds it while consumers are connected. An end taken means a consumer was
 * there, though its join may not have been read yet. */
guint
stream_endpoint_awaited (StreamEndpoint *endpoint)
{
    const guint consumers = atomic_load (&endpoint->joined) == 0 ? 1 : stream_endpoint_consumers (endpoint);

    return endpoint->end_sent ? MIN (consumers, atomic_load (&endpoint->n_held)) : 0;
}

/* A consumer whose queue is full when the connection closes loses what ZeroMQ read for it but
 * could not queue yet, the end message too: so the connections stay open until the consumers
 * that may hold the end leave, as they do after it, or the patience is up. One that connects
 * later gets nothing of this series and is not waited for. */
static void
wait_for_consumers_to_leave (RecordStream *stream)
{
    const gint64 deadline = record_monotonic_ns () + stream->patience_ns;
    gboolean awaited = TRUE;

    atomic_store (&stream->leave_wait_since_ns, record_monotonic_ns ());
    record_lock (&stream->lock);

    while (awaited && record_monotonic_ns () < MIN (deadline, atomic_load (&stream->stop_ns))) {
        awaited = FALSE;

        for (guint i = 0; i < stream->n_endpoints; i++)
            awaited = awaited || stream_endpoint_awaited (&stream->endpoints[i]) > 0;

        if (awaited)
            record_condition_wait_until (&stream->changed, &stream->lock,
                                         MIN (deadline, record_monotonic_ns () + LEAVE_POLL_NS));
    }

    record_unlock (&stream->lock);
    atomic_store (&stream->leave_wait_since_ns, 0);
}

void *
stream_send_thread (void *data)
{
    RecordStream *stream = data;
    RingFrame frame;

    for (guint i = 0; i < stream->n_endpoints; i++)
        stream->endpoints[i].last_progress_ns = record_monotonic_ns ();

    atomic_store (&stream->mid_series, 1);

    stream->start_message = stream_encode_start (&stream->series, &stream->info, &stream->geometry, &stream->maps,
                                                 stream->compression, stream->user_data);
    g_clear_pointer (&stream->maps.flatfield, g_bytes_unref);
    g_clear_pointer (&stream->maps.pixel_mask, g_bytes_unref);

    for (guint i = 0; i < stream->n_endpoints; i++)
        deliver_bytes (stream, &stream->endpoints[i], stream->start_message);

    while (ring_take_for_stream (stream->ring, record_monotonic_ns () + TAKE_POLL_NS, &frame)) {
        if (frame.pixels != NULL)
            send_frame (stream, &frame);
    }

    /* Each endpoint's end says what that endpoint sent, dropped and possibly lost. */
    atomic_store (&stream->mid_series, 0);
    /* A consumer that joined just now may have taken the last frames already. */
    stream_watch_catch_up (stream, FALSE);

    for (guint i = 0; i < stream->n_endpoints; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];
        GBytes *end = stream_encode_end (&stream->series, atomic_load (&endpoint->sent),
                                         atomic_load (&endpoint->dropped), stream_endpoint_possibly_lost (endpoint));
        /* Consumers share an endpoint's messages round robin: one end for each, or those without
         * would wait on, and the recorder with them. With none connected, the end goes to the
         * next to connect. */
        const guint n_ends = MAX (stream_endpoint_consumers (endpoint), 1);

        endpoint->end_sent = TRUE;

        for (guint j = 0; j < n_ends && endpoint->end_sent; j++)
            endpoint->end_sent = deliver_bytes (stream, endpoint, end);

        g_bytes_unref (end);
    }

    stream_watch_catch_up (stream, TRUE);
    wait_for_consumers_to_leave (stream);
    record_lock (&stream->lock);
    stream->done = TRUE;
    record_condition_broadcast (&stream->changed);
    record_unlock (&stream->lock);
    return NULL;
}
