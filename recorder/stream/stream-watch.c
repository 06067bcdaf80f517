/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The stream's watch thread: counts consumers from ZeroMQ's socket monitor and, with CURVE,
 * answers ZeroMQ's authentication requests (ZAP, RFC 27), admitting only the listed keys. */

#include "stream-private.h"

#include <errno.h>
#include <string.h>
#include <zmq.h>

enum {
    /* Also how long a catch-up may wait for the thread to look. */
    WATCH_POLL_MS = 20,
    CATCH_UP_BOUND_NS = 1000000000,
    /* How long a closing stream waits for its sockets' last events. */
    WATCH_DRAIN_NS = 2000000000,
    ZAP_MAX_PARTS = 8,
    CURVE_KEY_BYTES = 32,
};

guint
stream_endpoint_consumers (StreamEndpoint *endpoint)
{
    const guint joined = atomic_load (&endpoint->joined), left = atomic_load (&endpoint->left);

    return joined > left ? joined - left : 0;
}

guint64
stream_endpoint_possibly_lost (StreamEndpoint *endpoint)
{
    /* ZeroMQ says what it holds for all consumers, not for one: estimated from that, the count
     * could exceed what was ever sent here. */
    return MIN (atomic_load (&endpoint->possibly_lost), atomic_load (&endpoint->sent));
}

/* A monitor event: a part of six bytes (the event as 16 bits, a value as 32) and a part with
 * the address. Returns the event, 0 for none. */
static guint16
read_event (RecordStream *stream, StreamEndpoint *endpoint)
{
    zmq_msg_t part;
    guint16 event = 0;
    guint32 value = 0;
    gboolean more;

    zmq_msg_init (&part);

    if (zmq_msg_recv (&part, endpoint->monitor, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close (&part);
        return 0;
    }

    if (zmq_msg_size (&part) >= sizeof event + sizeof value) {
        memcpy (&event, zmq_msg_data (&part), sizeof event);
        memcpy (&value, (const guint8 *) zmq_msg_data (&part) + sizeof event, sizeof value);
    }

    more = zmq_msg_more (&part);

    while (more && zmq_msg_recv (&part, endpoint->monitor, 0) >= 0)
        more = zmq_msg_more (&part);

    zmq_msg_close (&part);

    /* Accepting and closing name the connection's descriptor; its handshake does not. */
    if (event == ZMQ_EVENT_ACCEPTED)
        g_hash_table_add (endpoint->open, GUINT_TO_POINTER (value));
    else if (event == ZMQ_EVENT_DISCONNECTED) {
        g_hash_table_remove (endpoint->open, GUINT_TO_POINTER (value));

        if (g_hash_table_remove (endpoint->held, GUINT_TO_POINTER (value)))
            atomic_fetch_sub (&endpoint->n_held, 1);
    }

    /* A connection is a consumer once its handshake succeeded. One whose handshake failed (refused,
     * or closed or timed out before it ended; it closes next) was never given anything. */
    if (event == ZMQ_EVENT_DISCONNECTED) {
        /* A consumer leaving mid-series takes with it what ZeroMQ queued for it (and releases as it
         * goes); which frames those were, and what its own queue and the kernel's buffers held,
         * nobody can tell. */
        if (endpoint->failed_closing > 0)
            endpoint->failed_closing--;
        else {
            if (atomic_load (&stream->mid_series))
                atomic_fetch_add (&endpoint->possibly_lost, atomic_exchange (&endpoint->queued, 0));

            atomic_fetch_add (&endpoint->left, 1);
        }
    }
    else if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED)
        atomic_fetch_add (&endpoint->joined, 1);
    else if (event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH || event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ||
             event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL) {
        endpoint->failed_closing++;

        /* A refused key comes back at each reconnection: answer_zap counts it once. */
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL)
            atomic_fetch_add (&endpoint->refused, 1);
    }

    return event;
}

static void
send_part (void *socket, const void *data, gsize size, gboolean more)
{
    zmq_send (socket, data, size, more ? ZMQ_SNDMORE : 0);
}

/* Counts `key` once on the endpoint whose authentication `domain` names. */
static void
count_refusal (RecordStream *stream, zmq_msg_t *domain, const gchar *key)
{
    const gsize prefix = strlen (STREAM_ZAP_DOMAIN);
    gchar *text = g_strndup (zmq_msg_data (domain), zmq_msg_size (domain));
    guint64 index;

    if (g_str_has_prefix (text, STREAM_ZAP_DOMAIN) &&
        g_ascii_string_to_unsigned (text + prefix, 10, 0, stream->n_endpoints - 1, &index, NULL) &&
        g_hash_table_add (stream->endpoints[index].refused_keys, g_strdup (key)))
        atomic_fetch_add (&stream->endpoints[index].refused, 1);

    g_free (text);
}

/* A request: version, request id, domain, address, routing id, mechanism, credentials. */
static void
answer_zap (RecordStream *stream)
{
    zmq_msg_t parts[ZAP_MAX_PARTS];
    guint n_parts = 0;
    gboolean more = TRUE, admitted = FALSE;

    while (more && n_parts < ZAP_MAX_PARTS) {
        zmq_msg_init (&parts[n_parts]);

        if (zmq_msg_recv (&parts[n_parts], stream->zap, n_parts == 0 ? ZMQ_DONTWAIT : 0) < 0) {
            zmq_msg_close (&parts[n_parts]);
            break;
        }

        more = zmq_msg_more (&parts[n_parts++]);
    }

    /* A REP socket answers every request it received, or it receives no more. */
    if (n_parts >= 2) {
        if (n_parts == 7 && zmq_msg_size (&parts[5]) == 5 && memcmp (zmq_msg_data (&parts[5]), "CURVE", 5) == 0 &&
            zmq_msg_size (&parts[6]) == CURVE_KEY_BYTES) {
            gchar key[41];

            zmq_z85_encode (key, zmq_msg_data (&parts[6]), CURVE_KEY_BYTES);
            admitted = g_hash_table_contains (stream->admitted, key);

            if (!admitted)
                count_refusal (stream, &parts[2], key);
        }

        send_part (stream->zap, "1.0", 3, TRUE);
        send_part (stream->zap, zmq_msg_data (&parts[1]), zmq_msg_size (&parts[1]), TRUE);
        send_part (stream->zap, admitted ? "200" : "400", 3, TRUE);
        send_part (stream->zap, admitted ? "OK" : "Key not admitted", admitted ? 2 : 16, TRUE);
        send_part (stream->zap, "", 0, TRUE);
        send_part (stream->zap, "", 0, FALSE);
    }

    for (guint i = 0; i < n_parts; i++)
        zmq_msg_close (&parts[i]);
}

void
stream_watch_catch_up (RecordStream *stream, gboolean end_gone)
{
    guint asked;

    if (end_gone)
        atomic_store (&stream->end_gone, 1);

    asked = atomic_fetch_add (&stream->catch_up_asked, 1) + 1;
    const gint64 deadline = record_monotonic_ns () + CATCH_UP_BOUND_NS;

    record_lock (&stream->lock);

    while (atomic_load (&stream->catch_up_done) != asked && record_monotonic_ns () < deadline)
        record_condition_wait_until (&stream->changed, &stream->lock, deadline);

    record_unlock (&stream->lock);
}

/* The connections open once the end has gone are those that may hold it: one opened later gets
 * nothing of the series. */
static void
hold_open_connections (RecordStream *stream)
{
    for (guint i = 0; i < stream->n_endpoints; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];
        GHashTableIter iter;
        gpointer connection;

        g_hash_table_iter_init (&iter, endpoint->open);

        while (g_hash_table_iter_next (&iter, &connection, NULL))
            g_hash_table_add (endpoint->held, connection);

        atomic_store (&endpoint->n_held, g_hash_table_size (endpoint->held));
    }

    stream->holding = TRUE;
}

static void
answer_catch_up (RecordStream *stream, guint asked)
{
    if (atomic_load (&stream->end_gone) && !stream->holding)
        hold_open_connections (stream);

    record_lock (&stream->lock);
    atomic_store (&stream->catch_up_done, asked);
    record_condition_broadcast (&stream->changed);
    record_unlock (&stream->lock);
}

void *
stream_watch_thread (void *data)
{
    RecordStream *stream = data;
    const guint n_items = stream->n_endpoints + (stream->zap != NULL);
    zmq_pollitem_t *items = g_new0 (zmq_pollitem_t, n_items);
    gint64 drain_deadline = G_MAXINT64;
    guint stopped = 0;

    for (guint i = 0; i < stream->n_endpoints; i++)
        items[i] = (zmq_pollitem_t){ .socket = stream->endpoints[i].monitor, .events = ZMQ_POLLIN };

    if (stream->zap != NULL)
        items[n_items - 1] = (zmq_pollitem_t){ .socket = stream->zap, .events = ZMQ_POLLIN };

    /* Once the stream closes, its data sockets' last events (each ends with its monitor's stop)
     * are read too: ZeroMQ does not free the ones left unread. */
    while (stopped < stream->n_endpoints && record_monotonic_ns () < drain_deadline) {
        /* Asked to catch up: every event reported before the asking is read once none is left. */
        const guint asked = atomic_load (&stream->catch_up_asked);
        const gboolean catching_up = asked != atomic_load (&stream->catch_up_done);

        if (drain_deadline == G_MAXINT64 && atomic_load (&stream->closing))
            drain_deadline = record_monotonic_ns () + WATCH_DRAIN_NS;

        const int ready = zmq_poll (items, (int) n_items, catching_up ? 0 : WATCH_POLL_MS);

        if (ready == 0 && catching_up)
            answer_catch_up (stream, asked);

        if (ready <= 0)
            continue;

        for (guint i = 0; i < stream->n_endpoints; i++) {
            if ((items[i].revents & ZMQ_POLLIN) &&
                read_event (stream, &stream->endpoints[i]) == ZMQ_EVENT_MONITOR_STOPPED)
                stopped++;
        }

        if (stream->zap != NULL && (items[n_items - 1].revents & ZMQ_POLLIN))
            answer_zap (stream);
    }

    g_free (items);
    return NULL;
}
