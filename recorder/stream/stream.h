/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Publishing the recorded frames live: one ZeroMQ PUSH socket per --stream endpoint, one CBOR
 * message per event (start, image, end; see stream-messages.h), consumers connecting PULL
 * sockets.
 *
 * Zero copy. An image message is the header the stream writes into the room the ring leaves in
 * front of each slot's pixels, followed by those pixels: one contiguous buffer handed to ZeroMQ
 * with zmq_msg_init_data. The stream holds the slot (ring.h) until ZeroMQ has let go of every
 * message on it, which ZeroMQ reports from its I/O thread; the file writer holds it on its own.
 * So ZeroMQ's queues consist of ring slots, and --buffer bounds them in bytes.
 *
 * Back-pressure. With block (the default) an image waits until a consumer takes it; the ring
 * fills, and the recorder then waits or drops as it does for a slow disk. With drop an image that
 * no consumer can take at once, or that would pin more than half the ring, is dropped and
 * counted, and recording never waits. A consumer connected that takes nothing stalls a block
 * recording until it takes, leaves, or a stop. After recording, block goes on sending what was
 * recorded while consumers take it: it gives up on connected consumers that take no message for
 * the patience given at start, and, once a stop came, also when none is connected and at the
 * stop's deadline.
 *
 * Threads: the main thread opens, starts, watches and closes; the sender thread takes frames
 * from the ring and owns the data sockets while it runs; the watch thread, from open to close,
 * counts consumers through ZeroMQ's socket monitor and answers CURVE's authentication requests
 * (ZAP). Counters shared between them are atomics. */
#ifndef UCA_RECORD_STREAM_H
#define UCA_RECORD_STREAM_H

#include "core/ring.h"

typedef struct RecordStream RecordStream;

typedef struct {
    guint64 sent;    /* images handed to ZeroMQ, summed over the endpoints */
    guint64 dropped; /* images an endpoint could not take */
    guint64 bytes;
    guint consumers;  /* connected now */
    gboolean waiting; /* a message waits for consumers */
    gint64 waited_ns;
    guint waiting_consumers; /* connected to the endpoint it waits on, taking nothing meanwhile */
    gint64 leave_waited_ns;  /* how long consumers still connected after the end were waited for to leave */
    guint awaited;           /* meanwhile: those connected since before the end, still connected */
    gint64 patience_ns;      /* the longest that wait lasts */
    gboolean stopping;       /* a stop shortens the waits */
} StreamStatus;

/* Prints a new CURVE key pair for --stream-curve-secret and a consumer's --curve. */
gboolean record_stream_print_keygen (void);

/* Checks everything the options name (user data, key files, endpoints) and binds the endpoints,
 * before any camera is touched; a failure is a usage error with ZeroMQ's or the parser's reason.
 * NULL without an error when nothing is to be published. */
RecordStream *record_stream_open (const StreamOptions *options, gboolean quiet, GError **error);
/* The series number the start message gives: the folder record's. Without a folder the stream
 * numbers series by the clock, in microseconds, which also grows from run to run. */
void record_stream_set_series_id (RecordStream *stream, guint64 series_id);
/* The room a streamed ring leaves in front of each slot's pixels. */
gsize record_stream_header_room (void);
/* Starts sending: the start message (with `maps`, whose references it takes), then every frame
 * committed to `ring`, then the end message once the ring's input is done. `patience_ns` bounds
 * the waits that may not last forever. */
gboolean record_stream_start (RecordStream *stream, Ring *ring, const CameraInfo *info, const FrameGeometry *geometry,
                              AppliedMaps *maps, guint64 n_images, gint64 patience_ns, GError **error);
void record_stream_get_status (RecordStream *stream, StreamStatus *status);
/* A stop was requested: nobody is waited for to connect, and connected consumers only until
 * `deadline_ns` (now, for a quit); after it a message goes only to a consumer that takes it at
 * once, and the others are dropped. */
void record_stream_stop_waiting (RecordStream *stream, gint64 deadline_ns);
/* Waits until the end message went out (or could not) or `deadline_ns` passes; TRUE once it has. */
gboolean record_stream_wait_done (RecordStream *stream, gint64 deadline_ns);
/* Ends the threads; what ZeroMQ still holds is dropped, and afterwards it holds no slot. */
void record_stream_close (RecordStream *stream);
/* The report's stream lines, one per endpoint; then frees the stream. */
void record_stream_print_report (RecordStream *stream, gboolean quiet);
void record_stream_free (RecordStream *stream);

#endif
