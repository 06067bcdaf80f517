/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The live view's answers: the page, the frame in three encodings and the status, on the monitor's
 * thread. See monitor-private.h. */

#include "monitor-private.h"
#include "core/formats.h"
#include "monitor-image.h"
#include "monitor-page.h"

#include <string.h>

static const gchar *const state_names[] = { "waiting", "recording", "ended" };

/* ---- Answers ---------------------------------------------------------------------------- */

static void
answer_text (SoupServerMessage *message, guint status, const gchar *text)
{
    soup_server_message_set_status (message, status, NULL);
    soup_server_message_set_response (message, "text/plain; charset=utf-8", SOUP_MEMORY_COPY, text, strlen (text));
}

static void
answer_bytes (SoupServerMessage *message, const gchar *content_type, GBytes *bytes)
{
    soup_server_message_set_status (message, SOUP_STATUS_OK, NULL);
    soup_message_headers_set_content_type (soup_server_message_get_response_headers (message), content_type, NULL);
    soup_message_body_append_bytes (soup_server_message_get_response_body (message), bytes);
}

/* The encoded answer of `kind` for the frame in the mailbox, encoded now if it is not yet.
 * Called with the mailbox locked: the writer meanwhile skips its offers. */
static const Encoded *
encode (RecordMonitor *monitor, AnswerKind kind, guint max_side, const FrameGeometry *geometry, GError **error)
{
    Encoded *encoded = &monitor->encoded[kind];
    const guint saturation = (1u << MIN (geometry->bits, 16)) - 1;

    if (encoded->bytes != NULL && encoded->number == monitor->number &&
        (kind != ANSWER_VIEW || encoded->max_side == max_side))
        return encoded;

    g_clear_pointer (&encoded->bytes, g_bytes_unref);

    if (kind == ANSWER_TIFF && (encoded->bytes = monitor_encode_tiff (monitor->pixels, geometry)) == NULL)
        g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "The frame is too large for a TIFF");
    else if (kind == ANSWER_PNG)
        encoded->bytes = monitor_encode_png (monitor->pixels, geometry, error);
    else if (kind == ANSWER_VIEW)
        encoded->bytes =
            monitor_encode_view (monitor->pixels, geometry, max_side, saturation, &encoded->width, &encoded->height);

    encoded->number = monitor->number;
    encoded->max_side = max_side;
    return encoded->bytes != NULL ? encoded : NULL;
}

static void
answer_frame (RecordMonitor *monitor, const Waiting *request)
{
    static const gchar *const content_types[] = { "image/tiff", "image/png", "application/octet-stream" };
    SoupMessageHeaders *headers = soup_server_message_get_response_headers (request->message);
    const Encoded *encoded = NULL;
    FrameGeometry geometry;
    GError *error = NULL;
    gchar *text;

    record_lock (&monitor->lock);
    geometry = monitor->geometry;
    record_unlock (&monitor->lock);

    record_lock (&monitor->mailbox_lock);

    if (monitor->number == 0) {
        record_unlock (&monitor->mailbox_lock);
        soup_message_headers_replace (headers, "Retry-After", "1");
        answer_text (request->message, SOUP_STATUS_SERVICE_UNAVAILABLE, "No frame yet\n");
        return;
    }

    encoded = encode (monitor, request->kind, request->max_side, &geometry, &error);

    if (encoded != NULL) {
        text = g_strdup_printf ("%" G_GUINT64_FORMAT, encoded->number);
        soup_message_headers_replace (headers, "X-Frame", text);
        g_free (text);

        if (request->kind == ANSWER_VIEW) {
            text = g_strdup_printf ("%u", encoded->width);
            soup_message_headers_replace (headers, "X-Width", text);
            g_free (text);
            text = g_strdup_printf ("%u", encoded->height);
            soup_message_headers_replace (headers, "X-Height", text);
            g_free (text);
        }

        answer_bytes (request->message, content_types[request->kind], encoded->bytes);
    }

    record_unlock (&monitor->mailbox_lock);

    if (encoded == NULL) {
        answer_text (request->message, SOUP_STATUS_INTERNAL_SERVER_ERROR, error->message);
        g_error_free (error);
    }
}

/* Whether a newer frame than the one in the mailbox is on its way. */
static gboolean
newer_frame_coming (RecordMonitor *monitor)
{
    guint64 received, number;
    MonitorState state;

    record_lock (&monitor->lock);
    state = monitor->state;
    received = monitor->progress.received;
    record_unlock (&monitor->lock);

    record_lock (&monitor->mailbox_lock);
    number = monitor->number;
    record_unlock (&monitor->mailbox_lock);

    return state == STATE_RECORDING && received > number;
}

static gboolean
poll_mailbox (gpointer data)
{
    RecordMonitor *monitor = data;
    const gboolean delivered = !atomic_load (&monitor->wanted);
    GList *waiting;

    if (!delivered && record_monotonic_ns () - monitor->waiting_since < FRESH_FRAME_WAIT_NS &&
        newer_frame_coming (monitor))
        return G_SOURCE_CONTINUE;

    /* A frame that came too late is not taken. */
    atomic_store (&monitor->wanted, 0);
    waiting = g_steal_pointer (&monitor->waiting);

    for (GList *item = waiting; item != NULL; item = item->next) {
        Waiting *request = item->data;

        answer_frame (monitor, request);
        soup_server_message_unpause (request->message);
        g_object_unref (request->message);
        g_free (request);
    }

    g_list_free (waiting);
    g_clear_pointer (&monitor->poll, g_source_unref);
    return G_SOURCE_REMOVE;
}

/* Answers with the newest frame: one the writer leaves next, when a newer one is coming. */
static void
serve_frame (RecordMonitor *monitor, SoupServerMessage *message, AnswerKind kind, guint max_side)
{
    Waiting request = { .message = message, .kind = kind, .max_side = max_side };

    if (!newer_frame_coming (monitor)) {
        answer_frame (monitor, &request);
        return;
    }

    if (monitor->waiting == NULL) {
        monitor->waiting_since = record_monotonic_ns ();
        atomic_store (&monitor->wanted, 1);
        monitor->poll = g_timeout_source_new (MAILBOX_POLL_MS);
        g_source_set_callback (monitor->poll, poll_mailbox, monitor, NULL);
        g_source_attach (monitor->poll, monitor->context);
    }

    g_object_ref (message);
    soup_server_message_pause (message);
    monitor->waiting = g_list_prepend (monitor->waiting, g_memdup2 (&request, sizeof request));
}

static gdouble
current_rate (RecordMonitor *monitor)
{
    const gint64 now = record_monotonic_ns ();

    if (monitor->state != STATE_RECORDING)
        return monitor->rate_hz;

    /* Over the last second; until a second has passed, since the start. */
    if (now - monitor->rate_ns >= RATE_WINDOW_NS || (monitor->rate_ns == monitor->begun_ns && now > monitor->begun_ns))
        monitor->rate_hz = (monitor->progress.received - monitor->rate_frames) * 1e9 / (now - monitor->rate_ns);

    if (now - monitor->rate_ns >= RATE_WINDOW_NS) {
        monitor->rate_ns = now;
        monitor->rate_frames = monitor->progress.received;
    }

    return monitor->rate_hz;
}

static void
add_count (JsonBuilder *builder, const gchar *name, gboolean known, guint64 count)
{
    json_builder_set_member_name (builder, name);

    if (known)
        json_builder_add_int_value (builder, (gint64) count);
    else
        json_builder_add_null_value (builder);
}

static void
serve_status (RecordMonitor *monitor, SoupServerMessage *message)
{
    JsonBuilder *builder = json_builder_new ();
    JsonNode *root;
    gchar *text;
    guint64 shown;

    record_lock (&monitor->mailbox_lock);
    shown = monitor->number;
    record_unlock (&monitor->mailbox_lock);

    record_lock (&monitor->lock);
    json_builder_begin_object (builder);
    json_builder_set_member_name (builder, "state");
    json_builder_add_string_value (builder, state_names[monitor->state]);
    json_builder_set_member_name (builder, "outcome");
    json_builder_add_string_value (builder, monitor->outcome);
    add_count (builder, "frame", TRUE, monitor->progress.received);
    add_count (builder, "frame_taken", shown > 0, shown);
    json_builder_set_member_name (builder, "rate_hz");
    json_builder_add_double_value (builder, current_rate (monitor));
    add_count (builder, "written", monitor->progress.writing, monitor->progress.written);
    add_count (builder, "skipped", TRUE, monitor->progress.skipped);
    add_count (builder, "dropped", TRUE, monitor->progress.dropped);
    add_count (builder, "sent", monitor->progress.streaming, monitor->progress.sent);
    add_count (builder, "width", TRUE, monitor->geometry.width);
    add_count (builder, "height", TRUE, monitor->geometry.height);
    add_count (builder, "bits", TRUE, monitor->geometry.bits);
    json_builder_set_member_name (builder, "settings");

    if (monitor->settings != NULL)
        json_builder_add_value (builder, json_node_copy (monitor->settings));
    else
        json_builder_add_null_value (builder);

    json_builder_end_object (builder);
    monitor->status_ns = record_monotonic_ns ();

    if (monitor->state == STATE_ENDED) {
        monitor->end_told = TRUE;
        record_condition_broadcast (&monitor->changed);
    }

    record_unlock (&monitor->lock);

    root = json_builder_get_root (builder);
    text = json_to_string (root, FALSE);
    soup_server_message_set_status (message, SOUP_STATUS_OK, NULL);
    soup_server_message_set_response (message, "application/json", SOUP_MEMORY_TAKE, text, strlen (text));
    json_node_unref (root);
    g_object_unref (builder);
}

/* The view's size: what the page asks for, within bounds. */
static gboolean
parse_max_side (GHashTable *query, guint *max_side)
{
    const gchar *text = query != NULL ? g_hash_table_lookup (query, "max") : NULL;
    guint64 value = 1024;

    if (text != NULL && !g_ascii_string_to_unsigned (text, 10, VIEW_MIN_SIDE, VIEW_MAX_SIDE, &value, NULL))
        return FALSE;

    *max_side = (guint) value;
    return TRUE;
}

/* Whether `host` (a Host header: a name or address, perhaps with a port) names this machine's
 * loopback: "localhost", 127.x.x.x or [::1]. */
static gboolean
names_loopback (const gchar *host)
{
    g_autofree gchar *name = NULL;
    g_autoptr (GInetAddress) address = NULL;
    const gchar *end;

    if (host == NULL)
        return FALSE;
    if (host[0] == '[') {
        end = strchr (host, ']');
        if (end == NULL)
            return FALSE;
        name = g_strndup (host + 1, end - host - 1);
    }
    else {
        end = strrchr (host, ':');
        name = end != NULL ? g_strndup (host, end - host) : g_strdup (host);
    }
    if (g_ascii_strcasecmp (name, "localhost") == 0)
        return TRUE;
    address = g_inet_address_new_from_string (name);
    return address != NULL && g_inet_address_get_is_loopback (address);
}

void
record_monitor_handle_request (SoupServer *server, SoupServerMessage *message, const char *path, GHashTable *query,
                               gpointer data)
{
    RecordMonitor *monitor = data;
    SoupMessageHeaders *headers = soup_server_message_get_response_headers (message);
    guint max_side;

    (void) server;
    /* Nothing served is to be kept, sniffed or framed by another site. */
    soup_message_headers_replace (headers, "Cache-Control", "no-store");
    soup_message_headers_replace (headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_replace (headers, "X-Frame-Options", "DENY");

    /* Bound to loopback, the view answers only to loopback names: a web page elsewhere that points
     * a name of its own at 127.0.0.1 (DNS rebinding) must not read the frames through the
     * browser. */
    if (monitor->loopback &&
        !names_loopback (soup_message_headers_get_one (soup_server_message_get_request_headers (message), "Host"))) {
        answer_text (message, SOUP_STATUS_FORBIDDEN, "This live view answers only to localhost, 127.0.0.1 or [::1]\n");
    }
    else if (g_strcmp0 (soup_server_message_get_method (message), SOUP_METHOD_GET) != 0) {
        soup_message_headers_replace (headers, "Allow", "GET");
        answer_text (message, SOUP_STATUS_METHOD_NOT_ALLOWED, "Only GET\n");
    }
    else if (g_strcmp0 (path, "/") == 0) {
        /* The page loads nothing from elsewhere, and may not. */
        soup_message_headers_replace (headers, "Content-Security-Policy",
                                      "default-src 'none'; connect-src 'self'; script-src 'unsafe-inline'; "
                                      "style-src 'unsafe-inline'; img-src 'self'");
        soup_server_message_set_status (message, SOUP_STATUS_OK, NULL);
        soup_server_message_set_response (message, "text/html; charset=utf-8", SOUP_MEMORY_STATIC, record_monitor_page,
                                          strlen (record_monitor_page));
    }
    else if (g_strcmp0 (path, "/monitor/status.json") == 0) {
        serve_status (monitor, message);
    }
    else if (g_strcmp0 (path, "/monitor/image.tiff") == 0) {
        serve_frame (monitor, message, ANSWER_TIFF, 0);
    }
    else if (g_strcmp0 (path, "/monitor/image.png") == 0) {
        serve_frame (monitor, message, ANSWER_PNG, 0);
    }
    else if (g_strcmp0 (path, "/monitor/view.u16") == 0) {
        if (parse_max_side (query, &max_side))
            serve_frame (monitor, message, ANSWER_VIEW, max_side);
        else
            answer_text (message, SOUP_STATUS_BAD_REQUEST, "max is a number of pixels from 16 to 4096\n");
    }
    else {
        answer_text (message, SOUP_STATUS_NOT_FOUND, "Not found\n");
    }
}
