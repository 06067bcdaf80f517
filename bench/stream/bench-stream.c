/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The publish rate of uca-record's stream (its ring, header encoding and zero-copy sends, from
 * its own sources) to one PULL consumer, over TCP on the loopback and over ipc, as a ratio to a
 * plain socket pair carrying the same bytes in the same run (from and into one frame, and from and
 * into 16 in turn, as the stream's ring holds them), and to a memcpy of one frame.
 *
 *   bench-stream [--frames N] [--runs R]
 *
 * Then the compression's rate at 2048 x 2048 on one core, and how far it shrinks a frame.
 *
 * Each figure is the best of R runs of N frames. Frames are not filled: the bytes are what count.
 * Consumer and plain receiver read into memory they reuse; the stream's consumer gets a new
 * ZeroMQ message per frame, as any consumer does. */

#define _GNU_SOURCE

#include "core/ring.h"
#include "stream/stream-compress.h"
#include "stream/stream-private.h"

#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>

static gdouble
seconds_since (gint64 start_ns)
{
    return (record_monotonic_ns () - start_ns) / 1e9;
}

/* ---- uca-record's stream ---------------------------------------------------------------- */

typedef struct {
    const gchar *endpoint;
    guint64 images;
} Consumer;

static void *
consume (void *data)
{
    Consumer *consumer = data;
    void *context = zmq_ctx_new (), *socket = zmq_socket (context, ZMQ_PULL);
    zmq_msg_t message;

    zmq_connect (socket, consumer->endpoint);
    zmq_msg_init (&message);

    /* Images are the only large messages; the end is the last one. */
    while (zmq_msg_recv (&message, socket, 0) >= 0) {
        if (zmq_msg_size (&message) > 4096)
            consumer->images++;
        else if (memmem (zmq_msg_data (&message), zmq_msg_size (&message), "end", 3) != NULL)
            break;
    }

    zmq_msg_close (&message);
    zmq_close (socket);
    zmq_ctx_term (context);
    return NULL;
}

static void *
write_nothing (void *data)
{
    Ring *ring = data;
    const guint8 *pixels;
    gint64 arrival;

    while (ring_begin_read (ring, RING_NO_DEADLINE, &pixels, &arrival))
        ring_end_read (ring);

    return NULL;
}

/* Frames per second through the ring and the stream to a consumer. */
static gdouble
stream_rate (const gchar *endpoint, const FrameGeometry *geometry, guint n_frames)
{
    gchar *endpoints[] = { (gchar *) endpoint, NULL };
    StreamOptions options = { .endpoints = endpoints };
    CameraInfo info = { .camera_name = "bench", .roi = { 0, 0, geometry->width, geometry->height } };
    GError *error = NULL;
    RecordStream *stream = record_stream_open (&options, TRUE, &error);
    Ring *ring = ring_new (geometry->frame_bytes, record_stream_header_room (), 16, TRUE, &error);
    Consumer consumer = { .endpoint = stream != NULL ? stream->endpoints[0].bound : NULL };
    RecordThread receiver, writer;
    gint64 start;

    if (stream == NULL || ring == NULL)
        g_error ("%s", error->message);

    record_thread_start (&receiver, consume, &consumer);
    record_thread_start (&writer, write_nothing, ring);
    record_stream_start (stream, ring, &info, geometry, &(AppliedMaps){ 0 }, n_frames, 10 * G_TIME_SPAN_SECOND * 1000,
                         NULL);
    start = record_monotonic_ns ();

    for (guint i = 0; i < n_frames; i++) {
        ring_begin_write (ring, TRUE);
        ring_commit_write (ring, record_monotonic_ns ());
    }

    ring_finish_input (ring);
    record_thread_join (&receiver);
    gdouble rate = consumer.images / seconds_since (start);
    record_thread_join (&writer);

    while (!record_stream_wait_done (stream, record_monotonic_ns () + 100000000))
        ;

    record_stream_free (stream);
    ring_free (ring);

    if (consumer.images != n_frames)
        g_error ("the consumer got %" G_GUINT64_FORMAT " of %u frames", consumer.images, n_frames);

    return rate;
}

/* ---- A plain socket pair ---------------------------------------------------------------- */

typedef struct {
    int fd;
    gsize bytes;
    gsize buffer_bytes; /* what it receives into, over and over */
} Receiver;

static void *
receive_plain (void *data)
{
    Receiver *receiver = data;
    guint8 *buffer = g_malloc (receiver->buffer_bytes);
    gsize left = receiver->bytes, at = 0;

    while (left > 0) {
        ssize_t got =
            recv (receiver->fd, buffer + at, MIN (MIN (left, (gsize) 1 << 20), receiver->buffer_bytes - at), 0);

        if (got <= 0)
            break;

        left -= (gsize) got;
        at = (at + (gsize) got) % receiver->buffer_bytes;
    }

    g_free (buffer);
    return NULL;
}

/* A connected pair of `family`: AF_INET on the loopback, or AF_UNIX. */
static void
connect_pair (int family, int fds[2])
{
    struct sockaddr_storage address = { 0 };
    socklen_t length = family == AF_INET ? sizeof (struct sockaddr_in) : sizeof (struct sockaddr_un);
    int listener = socket (family, SOCK_STREAM, 0);

    if (family == AF_INET) {
        struct sockaddr_in *inet = (struct sockaddr_in *) &address;

        inet->sin_family = AF_INET;
        inet->sin_addr.s_addr = htonl (INADDR_LOOPBACK);
    }
    else {
        struct sockaddr_un *unix_address = (struct sockaddr_un *) &address;

        unix_address->sun_family = AF_UNIX;
        snprintf (unix_address->sun_path, sizeof unix_address->sun_path, "/tmp/bench-stream-plain-%d", getpid ());
        unlink (unix_address->sun_path);
    }

    if (bind (listener, (struct sockaddr *) &address, length) != 0 || listen (listener, 1) != 0 ||
        getsockname (listener, (struct sockaddr *) &address, &length) != 0)
        g_error ("cannot listen: %s", g_strerror (errno));

    fds[0] = socket (family, SOCK_STREAM, 0);

    if (connect (fds[0], (struct sockaddr *) &address, length) != 0 || (fds[1] = accept (listener, NULL, NULL)) < 0)
        g_error ("cannot connect: %s", g_strerror (errno));

    if (family == AF_UNIX)
        unlink (((struct sockaddr_un *) &address)->sun_path);

    close (listener);
}

/* Frames per second of `frame_bytes` each sent to a receiver on another thread, from `slots`
 * frames in turn and into as many: one slot stays in the processor's cache, while the stream's
 * ring of 16 (and a consumer's new message for each frame) do not. */
static gdouble
plain_rate (int family, gsize frame_bytes, guint n_frames, guint slots)
{
    int fds[2];
    /* Written, as the ring's frames are: pages never written all read the kernel's one zero page,
     * which stays in the cache. */
    guint8 *frames = g_malloc (frame_bytes * slots);
    Receiver receiver = { .bytes = frame_bytes * n_frames, .buffer_bytes = frame_bytes * slots };
    RecordThread thread;
    gint64 start;

    memset (frames, 1, frame_bytes * slots);
    connect_pair (family, fds);
    receiver.fd = fds[1];
    record_thread_start (&thread, receive_plain, &receiver);
    start = record_monotonic_ns ();

    for (guint i = 0; i < n_frames; i++) {
        const guint8 *frame = frames + (gsize) (i % slots) * frame_bytes;

        for (gsize sent = 0; sent < frame_bytes;) {
            ssize_t done = send (fds[0], frame + sent, frame_bytes - sent, 0);

            if (done <= 0)
                g_error ("send: %s", g_strerror (errno));

            sent += (gsize) done;
        }
    }

    record_thread_join (&thread);
    gdouble rate = n_frames / seconds_since (start);
    close (fds[0]);
    close (fds[1]);
    g_free (frames);
    return rate;
}

static gdouble
memcpy_rate (gsize frame_bytes, guint n_frames)
{
    guint8 *from = g_malloc0 (frame_bytes), *to = g_malloc0 (frame_bytes);
    gint64 start = record_monotonic_ns ();

    for (guint i = 0; i < n_frames; i++) {
        from[i % frame_bytes] = (guint8) i; /* so that no copy can be left out */
        memcpy (to, from, frame_bytes);
    }

    gdouble rate = n_frames / seconds_since (start) + to[0] * 0.0;
    g_free (from);
    g_free (to);
    return rate;
}

/* Compression on one core (the sender thread's) of a detector-like 16-bit frame: a smooth
 * field of some thousand counts with noise in the low five bits, from a fixed seed. */
static gdouble
compression_rate (StreamCompression compression, const FrameGeometry *geometry, guint n_frames, gdouble *ratio)
{
    guint16 *frame = g_new (guint16, geometry->frame_bytes / 2);
    guint8 *out = g_malloc (stream_compress_bound (compression, geometry->frame_bytes));
    GRand *noise = g_rand_new_with_seed (1);
    gsize size = 0;
    gint64 start;
    gdouble rate;

    for (gsize i = 0; i < geometry->frame_bytes / 2; i++)
        frame[i] = (guint16) (1000 + (i % geometry->width + i / geometry->width) / 8 + g_rand_int_range (noise, 0, 32));

    start = record_monotonic_ns ();

    for (guint i = 0; i < n_frames; i++)
        size = stream_compress (compression, (const guint8 *) frame, geometry->frame_bytes, 2, out);

    rate = n_frames / seconds_since (start);
    *ratio = (gdouble) geometry->frame_bytes / size;
    g_rand_free (noise);
    g_free (out);
    g_free (frame);
    return rate;
}

int
main (int argc, char **argv)
{
    guint n_frames = 400, runs = 3;
    const guint sides[] = { 1024, 2048 };

    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp (argv[i], "--frames") == 0)
            n_frames = (guint) atoi (argv[i + 1]);
        else if (strcmp (argv[i], "--runs") == 0)
            runs = (guint) atoi (argv[i + 1]);
    }

    printf ("frame      transport      stream fr/s  plain fr/s  ratio  plain, 16 slots  ratio  memcpy fr/s  "
            "stream/memcpy\n");

    for (guint s = 0; s < G_N_ELEMENTS (sides); s++) {
        FrameGeometry geometry = { .width = sides[s], .height = sides[s], .bits = 16, .bytes_per_pixel = 2 };
        gchar *ipc = g_strdup_printf ("ipc:///tmp/bench-stream-%d", getpid ());
        const struct {
            const gchar *name;
            const gchar *endpoint;
            int family;
        } transports[] = { { "tcp loopback", "tcp://127.0.0.1:*", AF_INET }, { "ipc", ipc, AF_UNIX } };

        geometry.frame_bytes = (gsize) geometry.width * geometry.height * 2;
        const guint frames = MAX (n_frames * 1024 / sides[s] * 1024 / sides[s], 20);

        for (guint t = 0; t < G_N_ELEMENTS (transports); t++) {
            gdouble stream = 0, plain = 0, slotted = 0, copy = 0;

            /* Interleaved, so that the machine's load hits all alike. */
            for (guint r = 0; r < runs; r++) {
                stream = MAX (stream, stream_rate (transports[t].endpoint, &geometry, frames));
                plain = MAX (plain, plain_rate (transports[t].family, geometry.frame_bytes, frames, 1));
                slotted = MAX (slotted, plain_rate (transports[t].family, geometry.frame_bytes, frames, 16));
                copy = MAX (copy, memcpy_rate (geometry.frame_bytes, frames));
            }

            printf ("%4u x %-4u %-14s %11.0f %11.0f %6.2f %16.0f %6.2f %12.0f %14.3f\n", sides[s], sides[s],
                    transports[t].name, stream, plain, stream / plain, slotted, stream / slotted, copy, stream / copy);
            fflush (stdout);
        }

        g_free (ipc);
    }

    printf ("\nframe      compression  fr/s on one core  ratio\n");

    for (guint c = STREAM_COMPRESSION_LZ4; c <= STREAM_COMPRESSION_BSLZ4; c++) {
        FrameGeometry geometry = { .width = 2048, .height = 2048, .bits = 16, .bytes_per_pixel = 2 };
        gdouble rate = 0, ratio = 0;

        geometry.frame_bytes = (gsize) geometry.width * geometry.height * 2;

        for (guint r = 0; r < runs; r++)
            rate = MAX (rate, compression_rate (c, &geometry, MAX (n_frames / 16, 10), &ratio));

        printf ("2048 x 2048 %-12s %16.1f %6.2f\n", stream_compression_names[c], rate, ratio);
    }

    return 0;
}
