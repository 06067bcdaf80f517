/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What the live view's two halves share: monitor.c (its thread, its opening and the recording's
 * side) and monitor-routes.c (the answers to requests, on the monitor's thread).
 *
 * Threads: the monitor's thread owns the server, the waiting requests and the encoded answers;
 * `lock` guards what the main thread tells (state, settings, figures); `mailbox_lock` guards the
 * frame the writer leaves, which the writer only ever try-locks. */
#ifndef UCA_RECORD_MONITOR_PRIVATE_H
#define UCA_RECORD_MONITOR_PRIVATE_H

#include "monitor.h"
#include "platform/sync.h"

#include <json-glib/json-glib.h>
#include <libsoup/soup.h>
#include <stdatomic.h>

enum {
    /* A request for an image waits this long at most for the writer's next frame, then gets the
     * frame at hand: a writer stuck on a slow disk does not hold the page up. */
    FRESH_FRAME_WAIT_NS = 1000000000,
    MAILBOX_POLL_MS = 10,
    /* A page that asked for the status this recently is watching: it gets time to learn the end. */
    WATCHING_NS = 2000000000,
    LINGER_NS = 1500000000,
    VIEW_MIN_SIDE = 16,
    VIEW_MAX_SIDE = 4096,
    RATE_WINDOW_NS = 1000000000,
};

typedef enum {
    STATE_WAITING, /* for the camera */
    STATE_RECORDING,
    STATE_ENDED,
} MonitorState;

typedef enum {
    ANSWER_TIFF,
    ANSWER_PNG,
    ANSWER_VIEW,
    N_ANSWERS,
} AnswerKind;

/* An encoded answer for one frame. */
typedef struct {
    GBytes *bytes;
    guint64 number;
    guint max_side; /* the view's */
    guint width, height;
} Encoded;

typedef struct {
    SoupServerMessage *message;
    AnswerKind kind;
    guint max_side;
} Waiting;

struct RecordMonitor {
    RecordThread thread;
    GMainContext *context;
    GMainLoop *loop;
    GSocketAddress *address;
    gboolean loopback; /* the address is a loopback one: only loopback names are answered */
    gboolean quiet;

    RecordLock lock;
    RecordCondition changed;
    gboolean listening; /* the thread's answer to opening: listening, or open_error */
    gboolean opened;
    GError *open_error;
    MonitorState state;
    gchar *outcome;     /* how the recording ended */
    JsonNode *settings; /* the settings in force, and the calibration */
    FrameGeometry geometry;
    MonitorProgress progress;
    gint64 begun_ns;
    gint64 rate_ns; /* the start of the rate's window, and the frames then */
    guint64 rate_frames;
    gdouble rate_hz;
    gint64 status_ns;  /* when a client last asked for the status */
    gboolean end_told; /* a client has been told of the end */

    RecordLock mailbox_lock;
    guint8 *pixels; /* the frame left for the monitor, `frame_bytes` of them */
    gsize frame_bytes;
    guint64 number; /* its number; 0: none yet */
    atomic_int wanted;

    /* The monitor thread's. */
    SoupServer *server;
    GList *waiting;
    GSource *poll;
    gint64 waiting_since;
    Encoded encoded[N_ANSWERS];
};

/* The server's one handler, on the monitor's thread. */
void record_monitor_handle_request (SoupServer *server, SoupServerMessage *message, const char *path, GHashTable *query,
                                    gpointer data);

#endif
