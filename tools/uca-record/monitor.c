/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See monitor.h.
 *
 * Threads: the monitor's thread owns the server, the waiting requests and the encoded answers;
 * `lock` guards what the main thread tells (state, settings, figures); `mailbox_lock` guards the
 * frame the writer leaves, which the writer only ever try-locks. */

#include "monitor.h"
#include "formats.h"
#include "monitor-image.h"
#include "monitor-page.h"
#include "sync.h"

#include <json-glib/json-glib.h>
#include <libsoup/soup.h>
#include <stdatomic.h>
#include <string.h>

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

static const gchar *const state_names[] = { "waiting", "recording", "ended" };

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

/* ---- The address ------------------------------------------------------------------------ */

/* "[ADDRESS:]PORT": an IP address (an IPv6 one in brackets) or localhost; no name lookup, so that
 * a mistake shows at once. */
static GSocketAddress *
parse_where (const gchar *where, GError **error)
{
    const gchar *colon = strrchr (where, ':');
    const gchar *port_text = colon != NULL ? colon + 1 : where;
    gchar *host = colon != NULL ? g_strndup (where, (gsize) (colon - where)) : g_strdup ("127.0.0.1");
    GInetAddress *address = NULL;
    GSocketAddress *socket_address = NULL;
    guint64 port;
    gsize length = strlen (host);

    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
        memmove (host, host + 1, length - 2);
        host[length - 2] = '\0';
    }
    else if (strchr (host, ':') != NULL) {
        /* An IPv6 address's own colons would be taken for the port's. */
        g_clear_pointer (&host, g_free);
    }

    if (host != NULL)
        address = g_strcmp0 (host, "localhost") == 0 ? g_inet_address_new_loopback (G_SOCKET_FAMILY_IPV4)
                                                     : g_inet_address_new_from_string (host);

    if (address == NULL || !g_ascii_string_to_unsigned (port_text, 10, 0, 65535, &port, NULL))
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Bad value for --monitor: `%s' is not [ADDRESS:]PORT (e.g. 8080, 0.0.0.0:8080 or [::1]:8080)",
                     where);
    else
        socket_address = g_inet_socket_address_new (address, (guint16) port);

    g_clear_object (&address);
    g_free (host);
    return socket_address;
}

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

static void
handle_request (SoupServer *server, SoupServerMessage *message, const char *path, GHashTable *query, gpointer data)
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

/* ---- The thread ------------------------------------------------------------------------- */

static gchar *
describe_uri (SoupServer *server)
{
    GSList *uris = soup_server_get_uris (server);
    gchar *text = uris != NULL ? g_uri_to_string (uris->data) : g_strdup ("?");

    g_slist_free_full (uris, (GDestroyNotify) g_uri_unref);
    return text;
}

static gpointer
monitor_thread (gpointer data)
{
    RecordMonitor *monitor = data;
    GError *error = NULL;
    gboolean listening;

    g_main_context_push_thread_default (monitor->context);
    monitor->server = soup_server_new ("server-header", "uca-record", NULL);
    soup_server_add_handler (monitor->server, NULL, handle_request, monitor, NULL);
    listening = soup_server_listen (monitor->server, monitor->address, 0, &error);

    if (listening && !monitor->quiet) {
        gchar *uri = describe_uri (monitor->server);
        GInetAddress *address = g_inet_socket_address_get_address (G_INET_SOCKET_ADDRESS (monitor->address));

        g_printerr ("uca-record: live view at %s\n", uri);

        if (!g_inet_address_get_is_loopback (address))
            g_printerr ("uca-record: warning: the live view is open to anyone who reaches this port, "
                        "without a password\n");
        g_free (uri);
    }

    record_lock (&monitor->lock);
    monitor->opened = TRUE;
    monitor->listening = listening;
    monitor->open_error = error;
    record_condition_broadcast (&monitor->changed);
    record_unlock (&monitor->lock);

    if (listening)
        g_main_loop_run (monitor->loop);

    /* Requests still waiting go with their connections. */
    if (monitor->poll != NULL) {
        g_source_destroy (monitor->poll);
        g_clear_pointer (&monitor->poll, g_source_unref);
    }

    for (GList *item = monitor->waiting; item != NULL; item = item->next) {
        g_object_unref (((Waiting *) item->data)->message);
        g_free (item->data);
    }

    g_clear_pointer (&monitor->waiting, g_list_free);
    soup_server_disconnect (monitor->server);
    g_clear_object (&monitor->server);
    g_main_context_pop_thread_default (monitor->context);
    return NULL;
}

static void
monitor_free (RecordMonitor *monitor)
{
    for (guint i = 0; i < N_ANSWERS; i++)
        g_clear_pointer (&monitor->encoded[i].bytes, g_bytes_unref);

    g_clear_error (&monitor->open_error);
    g_clear_pointer (&monitor->settings, json_node_unref);
    g_free (monitor->outcome);
    g_free (monitor->pixels);
    g_main_loop_unref (monitor->loop);
    g_main_context_unref (monitor->context);
    g_object_unref (monitor->address);
    record_lock_clear (&monitor->lock);
    record_lock_clear (&monitor->mailbox_lock);
    record_condition_clear (&monitor->changed);
    g_free (monitor);
}

RecordMonitor *
record_monitor_open (const gchar *where, gboolean quiet, GError **error)
{
    GSocketAddress *address = parse_where (where, error);
    RecordMonitor *monitor;
    GError *open_error;
    int started;

    if (address == NULL)
        return NULL;

    monitor = g_new0 (RecordMonitor, 1);
    monitor->address = address;
    monitor->loopback =
        g_inet_address_get_is_loopback (g_inet_socket_address_get_address (G_INET_SOCKET_ADDRESS (address)));
    monitor->quiet = quiet;
    monitor->context = g_main_context_new ();
    monitor->loop = g_main_loop_new (monitor->context, FALSE);
    record_lock_init (&monitor->lock);
    record_lock_init (&monitor->mailbox_lock);
    record_condition_init (&monitor->changed);
    atomic_init (&monitor->wanted, 0);
    /* The system's threads and locks, as the rest of uca-record's: ThreadSanitizer does not see
     * GLib's. */
    started = record_thread_start (&monitor->thread, monitor_thread, monitor);

    if (started != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot start the live view: %s", g_strerror (started));
        monitor_free (monitor);
        return NULL;
    }

    record_lock (&monitor->lock);

    while (!monitor->opened)
        record_condition_wait (&monitor->changed, &monitor->lock);

    record_unlock (&monitor->lock);

    if (monitor->listening)
        return monitor;

    record_thread_join (&monitor->thread);
    open_error = g_steal_pointer (&monitor->open_error);
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Cannot serve the live view on %s: %s", where,
                 open_error->message);
    g_error_free (open_error);
    monitor_free (monitor);
    return NULL;
}

/* ---- The recording's side --------------------------------------------------------------- */

static void
add_string (JsonBuilder *builder, const gchar *name, const gchar *value)
{
    json_builder_set_member_name (builder, name);
    json_builder_add_string_value (builder, value);
}

static void
add_numbers (JsonBuilder *builder, const gchar *name, const guint *values, guint n_values)
{
    json_builder_set_member_name (builder, name);
    json_builder_begin_array (builder);

    for (guint i = 0; i < n_values; i++)
        json_builder_add_int_value (builder, values[i]);

    json_builder_end_array (builder);
}

/* The settings in force and the calibration, as the report states them; of the calibration file
 * only its name, not where it lies. */
static JsonNode *
describe_settings (const Options *options, const CameraInfo *info)
{
    JsonBuilder *builder = json_builder_new ();
    gchar *file = info->calibration_file != NULL ? g_path_get_basename (info->calibration_file) : NULL;
    JsonNode *node;

    json_builder_begin_object (builder);
    add_string (builder, "camera", info->model != NULL ? info->model : info->camera_name);
    add_string (builder, "mode", record_mode_names[options->mode]);
    json_builder_set_member_name (builder, "exposure_s");
    json_builder_add_double_value (builder, info->exposure_s);
    add_numbers (builder, "roi", info->roi, 4);

    if (info->binning[0] != 0)
        add_numbers (builder, "binning", info->binning, 2);

    if (info->has_gain) {
        json_builder_set_member_name (builder, "gain");
        json_builder_add_int_value (builder, info->gain);
    }

    add_string (builder, "trigger_source", info->trigger_source);
    add_string (builder, "format", options->output_dir != NULL ? options->format->name : NULL);
    json_builder_set_member_name (builder, "calibration");
    json_builder_begin_object (builder);
    add_string (builder, "corrections", info->corrections);
    add_string (builder, "file", file);
    add_string (builder, "taken", info->calibration_start_time);
    json_builder_end_object (builder);
    json_builder_end_object (builder);

    node = json_builder_get_root (builder);
    g_object_unref (builder);
    g_free (file);
    return node;
}

void
record_monitor_begin (RecordMonitor *monitor, const Options *options, const FrameGeometry *geometry,
                      const CameraInfo *info)
{
    JsonNode *settings = describe_settings (options, info);

    /* Before the state says recording: only then does the monitor want frames. */
    record_lock (&monitor->mailbox_lock);
    monitor->pixels = g_malloc (geometry->frame_bytes);
    monitor->frame_bytes = geometry->frame_bytes;
    record_unlock (&monitor->mailbox_lock);

    record_lock (&monitor->lock);
    monitor->state = STATE_RECORDING;
    monitor->geometry = *geometry;
    monitor->settings = settings;
    monitor->begun_ns = monitor->rate_ns = record_monotonic_ns ();
    record_unlock (&monitor->lock);
}

void
record_monitor_offer (RecordMonitor *monitor, const guint8 *pixels, guint64 number)
{
    if (!atomic_load_explicit (&monitor->wanted, memory_order_relaxed) || !record_trylock (&monitor->mailbox_lock))
        return;

    memcpy (monitor->pixels, pixels, monitor->frame_bytes);
    monitor->number = number;
    atomic_store (&monitor->wanted, 0);
    record_unlock (&monitor->mailbox_lock);
}

void
record_monitor_keep_last (RecordMonitor *monitor, const guint8 *pixels, guint64 number)
{
    record_lock (&monitor->mailbox_lock);

    if (monitor->number != number) {
        memcpy (monitor->pixels, pixels, monitor->frame_bytes);
        monitor->number = number;
    }

    record_unlock (&monitor->mailbox_lock);
}

void
record_monitor_set_progress (RecordMonitor *monitor, const MonitorProgress *progress)
{
    record_lock (&monitor->lock);
    monitor->progress = *progress;
    record_unlock (&monitor->lock);
}

void
record_monitor_end (RecordMonitor *monitor, const GError *error)
{
    const gint64 deadline = record_monotonic_ns () + LINGER_NS;

    record_lock (&monitor->lock);
    monitor->state = STATE_ENDED;
    monitor->rate_hz = 0;
    monitor->outcome = g_strdup (error != NULL ? error->message : "complete");

    if (record_monotonic_ns () - monitor->status_ns < WATCHING_NS) {
        while (!monitor->end_told && record_monotonic_ns () < deadline)
            record_condition_wait_until (&monitor->changed, &monitor->lock, deadline);
    }

    record_unlock (&monitor->lock);
}

static gboolean
quit_loop (gpointer data)
{
    g_main_loop_quit (data);
    return G_SOURCE_REMOVE;
}

void
record_monitor_close (RecordMonitor *monitor)
{
    GSource *quit;

    if (monitor == NULL)
        return;

    /* From within the loop: a quit before the loop runs would be lost. */
    quit = g_idle_source_new ();
    g_source_set_callback (quit, quit_loop, monitor->loop, NULL);
    g_source_attach (quit, monitor->context);
    g_source_unref (quit);
    record_thread_join (&monitor->thread);
    monitor_free (monitor);
}
