/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See stream.h: opening, starting, watching and closing the stream, and its report. */

#include "json-cbor.h"
#include "platform/platform.h"
#include "stream-private.h"

#include <errno.h>
#include <string.h>
#include <zmq.h>

#include <glib/gstdio.h>

enum {
    Z85_KEY_LENGTH = 40,
    SEND_TIMEOUT_MS = 100, /* a waiting send looks this often whether to go on waiting */
};

static const gchar zap_address[] = "inproc://zeromq.zap.01";

gboolean
record_stream_print_keygen (void)
{
    gchar public_key[Z85_KEY_LENGTH + 1], secret_key[Z85_KEY_LENGTH + 1];

    if (zmq_curve_keypair (public_key, secret_key) != 0) {
        g_printerr ("uca-record: cannot make a key pair: %s\n", zmq_strerror (errno));
        return FALSE;
    }

    g_print ("# A CURVE key pair for uca-record's stream. Keep this file secret; hand out the public\n"
             "# line only (for --stream-curve-clients, or as the server key of a consumer's --curve).\n"
             "public: %s\nsecret: %s\n",
             public_key, secret_key);
    return TRUE;
}

static gboolean stream_error (GError **error, const gchar *format, ...) G_GNUC_PRINTF (2, 3);

static gboolean
stream_error (GError **error, const gchar *format, ...)
{
    va_list arguments;
    gchar *message;

    va_start (arguments, format);
    message = g_strdup_vprintf (format, arguments);
    va_end (arguments);
    g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_USAGE, message);
    g_free (message);
    return FALSE;
}

/* A Z85 key of 40 characters, decodable. */
static gboolean
is_z85_key (const gchar *text)
{
    guint8 key[32];

    return strlen (text) == Z85_KEY_LENGTH && zmq_z85_decode (key, text) != NULL;
}

/* The keys in a key file: lines "public: KEY", "secret: KEY" or a bare KEY (taken as public);
 * blank lines and lines starting with # are skipped. */
static gboolean
read_keys (const gchar *option, const gchar *path, gchar **secret, GHashTable *publics, GError **error)
{
    gchar *contents = NULL;
    GError *read_error = NULL;
    gchar **lines;
    gboolean success = TRUE;

    if (!g_file_get_contents (path, &contents, NULL, &read_error)) {
        stream_error (error, "Cannot read %s: %s", option, read_error->message);
        g_error_free (read_error);
        return FALSE;
    }

    lines = g_strsplit (contents, "\n", -1);

    for (guint i = 0; success && lines[i] != NULL; i++) {
        gchar *line = g_strstrip (lines[i]);
        const gboolean is_secret = g_str_has_prefix (line, "secret:");
        gchar *key = g_strstrip (is_secret ? line + 7 : g_str_has_prefix (line, "public:") ? line + 7 : line);

        if (*line == '\0' || *line == '#')
            continue;

        if (!is_z85_key (key))
            success =
                stream_error (error, "%s `%s', line %u: not a CURVE key (40 characters of Z85)", option, path, i + 1);
        else if (is_secret && secret == NULL)
            success = stream_error (error, "%s `%s' holds a secret key: list public keys only", option, path);
        else if (is_secret) {
            g_free (*secret);
            *secret = g_strdup (key);
        }
        else if (publics != NULL)
            g_hash_table_add (publics, g_strdup (key));
    }

    g_strfreev (lines);
    g_free (contents);
    return success;
}

static gboolean
set_option (void *socket, int option, const void *value, gsize size, const gchar *endpoint, GError **error)
{
    if (zmq_setsockopt (socket, option, value, size) == 0)
        return TRUE;

    return stream_error (error, "Cannot set up the stream on `%s': %s", endpoint, zmq_strerror (errno));
}

static gboolean
set_int_option (void *socket, int option, int value, const gchar *endpoint, GError **error)
{
    return set_option (socket, option, &value, sizeof value, endpoint, error);
}

/* ZeroMQ accepts inproc (this process only), udp and others for a PUSH socket's bind, and then no
 * consumer can ever connect; it binds addresses and interface names, not host names. */
static gboolean
check_transport (const gchar *endpoint, GError **error)
{
    const gchar *host = g_str_has_prefix (endpoint, "tcp://") ? endpoint + 6 : NULL;
    const gchar *port = host != NULL ? strrchr (host, ':') : NULL;

    if (host == NULL && !g_str_has_prefix (endpoint, "ipc://"))
        return stream_error (error, "Cannot publish on `%s': %s here; write tcp://ADDRESS:PORT or ipc://PATH", endpoint,
                             zmq_strerror (EPROTONOSUPPORT));

    if (port == NULL || port - host != 9 || g_ascii_strncasecmp (host, "localhost", 9) != 0)
        return TRUE;

    return stream_error (error,
                         "Cannot publish on `%s': ZeroMQ binds addresses, not host names; write tcp://127.0.0.1%s "
                         "or tcp://[::1]%s",
                         endpoint, port, port);
}

/* ZeroMQ's ipc transport removes whatever is at the path before it binds: a second recorder would
 * silently take over the first's consumers, and a file there would be lost. Only a socket nobody
 * listens on, left by a process that ended, may be replaced; anything else is refused before
 * anything is touched. */
static gboolean
check_ipc_path (const gchar *endpoint, GError **error)
{
    const gchar *path = g_str_has_prefix (endpoint, "ipc://") ? endpoint + 6 : NULL;

    if (path == NULL || *path == '@')
        return TRUE;

    switch (record_local_socket_path (path)) {
        case RECORD_SOCKET_PATH_FREE:
        case RECORD_SOCKET_PATH_STALE:
            return TRUE;
        case RECORD_SOCKET_PATH_LISTENING:
            return stream_error (error, "Cannot publish on `%s' (--stream): %s: a live process holds the socket there",
                                 endpoint, zmq_strerror (EADDRINUSE));
        case RECORD_SOCKET_PATH_OTHER:
            return stream_error (error,
                                 "Cannot publish on `%s' (--stream): `%s' exists and is not a socket, and binding "
                                 "there would remove it; give a path where nothing is",
                                 endpoint, path);
        default:
            return stream_error (error, "Cannot publish on `%s' (--stream): cannot look at `%s': %s", endpoint, path,
                                 g_strerror (errno));
    }
}

/* ZeroMQ takes a TCP port modulo 65536: 99999 would quietly become 34463. */
static gboolean
check_tcp_port (const gchar *endpoint, GError **error)
{
    const gchar *port = g_str_has_prefix (endpoint, "tcp://") ? strrchr (endpoint + 6, ':') : NULL;
    guint64 number;

    if (port == NULL || g_strcmp0 (port + 1, "*") == 0 ||
        g_ascii_string_to_unsigned (port + 1, 10, 0, G_MAXUINT16, &number, NULL))
        return TRUE;

    return stream_error (error, "Cannot publish on `%s': the port is none of 0 to 65535 or *", endpoint);
}

static gboolean
open_endpoint (RecordStream *stream, StreamEndpoint *endpoint, const gchar *secret, GError **error)
{
    const gchar *name = endpoint->name;
    gchar *monitor_address = g_strdup_printf ("inproc://uca-record-monitor-%p", (void *) endpoint);
    gchar *domain = g_strdup_printf ("%s%u", STREAM_ZAP_DOMAIN, (guint) (endpoint - stream->endpoints));
    gchar bound[256] = "";
    gsize bound_size = sizeof bound;
    gboolean success;

    endpoint->socket = zmq_socket (stream->context, ZMQ_PUSH);
    /* Messages wait in the ring, not in ZeroMQ's queues: a consumer's queue holds two, and what
     * the ring's size allows waits there (see the high-water marks in the README). */
    success = set_int_option (endpoint->socket, ZMQ_SNDHWM, 2, name, error) &&
              set_int_option (endpoint->socket, ZMQ_SNDTIMEO, SEND_TIMEOUT_MS, name, error) &&
              set_int_option (endpoint->socket, ZMQ_LINGER, 0, name, error) &&
              /* Else tcp://[::1]:P fails; only there, as IPv4 addresses would be named as mapped. */
              set_int_option (endpoint->socket, ZMQ_IPV6, g_str_has_prefix (name, "tcp://["), name, error);

    /* The authentication's domain names the endpoint, whose refusals it counts. */
    if (success && secret != NULL)
        success = set_int_option (endpoint->socket, ZMQ_CURVE_SERVER, 1, name, error) &&
                  set_option (endpoint->socket, ZMQ_CURVE_SECRETKEY, secret, Z85_KEY_LENGTH + 1, name, error) &&
                  set_option (endpoint->socket, ZMQ_ZAP_DOMAIN, domain, strlen (domain), name, error);

    success = success && check_transport (name, error) && check_tcp_port (name, error) && check_ipc_path (name, error);

    if (success && zmq_bind (endpoint->socket, name) != 0)
        success = stream_error (error, "Cannot publish on `%s': %s", name, zmq_strerror (errno));

    if (success && zmq_getsockopt (endpoint->socket, ZMQ_LAST_ENDPOINT, bound, &bound_size) == 0)
        endpoint->bound = g_strdup (bound);

    if (success && g_str_has_prefix (name, "ipc://") && name[6] != '@' &&
        g_lstat (name + 6, &endpoint->socket_file) == 0)
        endpoint->socket_path = g_strdup (name + 6);

    if (success && zmq_socket_monitor (endpoint->socket, monitor_address, ZMQ_EVENT_ALL) != 0)
        success = stream_error (error, "Cannot watch `%s': %s", name, zmq_strerror (errno));

    if (success) {
        endpoint->monitor = zmq_socket (stream->context, ZMQ_PAIR);
        zmq_connect (endpoint->monitor, monitor_address);
    }

    g_free (monitor_address);
    g_free (domain);
    return success;
}

/* With CURVE, the handler must listen before any endpoint does: without one ZeroMQ admits every
 * key. */
static gboolean
open_curve (RecordStream *stream, const StreamOptions *options, gchar **secret, GError **error)
{
    if (options->curve_secret == NULL && options->curve_clients == NULL)
        return TRUE;

    if (options->curve_secret == NULL || options->curve_clients == NULL)
        return stream_error (error, "--stream-curve-secret and --stream-curve-clients go together: the first "
                                    "encrypts, the second says whom to admit");

    stream->admitted = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, NULL);

    if (!read_keys ("--stream-curve-secret", options->curve_secret, secret, NULL, error) ||
        !read_keys ("--stream-curve-clients", options->curve_clients, NULL, stream->admitted, error))
        return FALSE;

    if (*secret == NULL)
        return stream_error (error, "--stream-curve-secret `%s' holds no `secret:' line", options->curve_secret);

    if (g_hash_table_size (stream->admitted) == 0)
        return stream_error (error, "--stream-curve-clients `%s' admits no key", options->curve_clients);

    stream->zap = zmq_socket (stream->context, ZMQ_REP);

    if (zmq_bind (stream->zap, zap_address) != 0)
        return stream_error (error, "Cannot start authentication: %s", zmq_strerror (errno));

    return TRUE;
}

RecordStream *
record_stream_open (const StreamOptions *options, gboolean quiet, GError **error)
{
    RecordStream *stream;
    gchar *secret = NULL;
    gboolean success;
    gint started = 0;

    if (options->endpoints == NULL || options->endpoints[0] == NULL)
        return NULL;

    stream = g_new0 (RecordStream, 1);
    stream->drop = options->drop;
    stream->compression = options->compression;
    stream->series_id = (guint64) g_get_real_time ();
    stream->quiet = quiet;
    atomic_init (&stream->stop_ns, G_MAXINT64);
    stream->n_endpoints = g_strv_length (options->endpoints);
    stream->endpoints = g_new0 (StreamEndpoint, stream->n_endpoints);
    stream->context = zmq_ctx_new ();
    record_lock_init (&stream->lock);
    record_condition_init (&stream->changed);

    if (options->user_data != NULL)
        stream->user_data = json_cbor_encode (options->user_data, error);

    success = (options->user_data == NULL || stream->user_data != NULL) && open_curve (stream, options, &secret, error);

    for (guint i = 0; success && i < stream->n_endpoints; i++) {
        stream->endpoints[i].name = g_strdup (options->endpoints[i]);
        stream->endpoints[i].refused_keys = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, NULL);
        stream->endpoints[i].open = g_hash_table_new (NULL, NULL);
        stream->endpoints[i].held = g_hash_table_new (NULL, NULL);
        success = open_endpoint (stream, &stream->endpoints[i], secret, error);
    }

    if (success && (started = record_thread_start (&stream->watcher, stream_watch_thread, stream)) != 0)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot start a thread: %s", g_strerror (started));

    stream->watching = success && started == 0;

    if (secret != NULL)
        memset (secret, 0, strlen (secret));

    g_free (secret);

    if (!success || started != 0) {
        record_stream_free (stream);
        return NULL;
    }

    for (guint i = 0; i < stream->n_endpoints && !quiet; i++)
        g_printerr ("uca-record: publishing frames on %s%s\n", stream->endpoints[i].bound,
                    stream->admitted != NULL ? " (CURVE, admitted keys only)" : "");

    return stream;
}

void
record_stream_set_series_id (RecordStream *stream, guint64 series_id)
{
    stream->series_id = series_id;
}

gsize
record_stream_header_room (void)
{
    return STREAM_IMAGE_HEADER_ROOM;
}

gboolean
record_stream_start (RecordStream *stream, Ring *ring, const CameraInfo *info, const FrameGeometry *geometry,
                     AppliedMaps *maps, guint64 n_images, gint64 patience_ns, GError **error)
{
    gint failure;
    RingStatus status;

    ring_wait_status (ring, NULL, 0, &status);
    stream->ring = ring;
    stream->geometry = *geometry;
    stream->patience_ns = patience_ns;
    /* Drop leaves the writer at least half the ring, whatever the number of consumers. */
    stream->budget = MAX (status.n_slots / 2, 1);
    stream->releases = g_new (SlotRelease, status.n_slots);

    for (guint i = 0; i < status.n_slots; i++)
        stream->releases[i] = (SlotRelease){ .stream = stream, .slot = i };

    stream_series_init (&stream->series, stream->series_id, info, n_images);
    /* The sender encodes the start message: with maps of a large sensor, compressing them takes
     * as long as a frame's sending, and recording does not wait for it. */
    stream->info = *info;
    /* Taken, not shared: the sender drops the last reference, on the thread that read the bytes. */
    stream->maps = *maps;
    *maps = (AppliedMaps){ 0 };

    failure = record_thread_start (&stream->sender, stream_send_thread, stream);

    if (failure != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot start a thread: %s", g_strerror (failure));
        return FALSE;
    }

    stream->started = TRUE;
    return TRUE;
}

void
record_stream_get_status (RecordStream *stream, StreamStatus *status)
{
    guint waiting_on;
    gint64 leave_wait_since;

    memset (status, 0, sizeof *status);

    for (guint i = 0; i < stream->n_endpoints; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];

        status->sent += atomic_load (&endpoint->sent);
        status->dropped += atomic_load (&endpoint->dropped);
        status->bytes += atomic_load (&endpoint->bytes);
        status->consumers += stream_endpoint_consumers (endpoint);
    }

    waiting_on = atomic_load (&stream->waiting_on);
    leave_wait_since = atomic_load (&stream->leave_wait_since_ns);
    status->patience_ns = stream->patience_ns;
    status->stopping = atomic_load (&stream->stop_ns) != G_MAXINT64;

    /* What the sender set for the wait came before it said since when it waits. */
    if (leave_wait_since > 0) {
        status->leave_waited_ns = record_monotonic_ns () - leave_wait_since;

        for (guint i = 0; i < stream->n_endpoints; i++)
            status->awaited += stream_endpoint_awaited (&stream->endpoints[i]);
    }

    if (waiting_on > 0) {
        status->waiting = TRUE;
        status->waited_ns = record_monotonic_ns () - atomic_load (&stream->waiting_since_ns);
        status->waiting_consumers = stream_endpoint_consumers (&stream->endpoints[waiting_on - 1]);
    }
}

void
record_stream_stop_waiting (RecordStream *stream, gint64 deadline_ns)
{
    int_fast64_t before = atomic_load (&stream->stop_ns);

    /* A later stop never extends an earlier one's deadline. */
    while (deadline_ns < before && !atomic_compare_exchange_weak (&stream->stop_ns, &before, deadline_ns))
        ;
}

gboolean
record_stream_wait_done (RecordStream *stream, gint64 deadline_ns)
{
    gboolean done;

    record_lock (&stream->lock);

    if (!stream->done && stream->started)
        record_condition_wait_until (&stream->changed, &stream->lock, deadline_ns);

    done = stream->done || !stream->started;
    record_unlock (&stream->lock);
    return done;
}

void
record_stream_close (RecordStream *stream)
{
    if (stream->context == NULL)
        return;

    if (stream->started)
        record_thread_join (&stream->sender);

    stream->started = FALSE;

    /* Closing the data sockets first: no consumer can join once the handler has gone. The sender
     * waited for the consumers within the patience (the sockets do not linger): what ZeroMQ still
     * holds for one connected now, it did not take, and it is lost. */
    for (guint i = 0; i < stream->n_endpoints; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];

        if (stream_endpoint_consumers (endpoint) > 0)
            atomic_fetch_add (&endpoint->possibly_lost,
                              MIN (atomic_exchange (&endpoint->queued, 0), atomic_load (&stream->in_flight)));

        if (endpoint->socket != NULL)
            zmq_close (endpoint->socket);
        endpoint->socket = NULL;
    }

    if (stream->watching) {
        atomic_store (&stream->closing, 1);
        record_thread_join (&stream->watcher);
        stream->watching = FALSE;
    }

    for (guint i = 0; i < stream->n_endpoints; i++) {
        if (stream->endpoints[i].monitor != NULL)
            zmq_close (stream->endpoints[i].monitor);
        stream->endpoints[i].monitor = NULL;
    }

    if (stream->zap != NULL)
        zmq_close (stream->zap);

    stream->zap = NULL;
    /* Releases what ZeroMQ still holds: the sockets do not linger. */
    zmq_ctx_term (stream->context);
    stream->context = NULL;

    /* ZeroMQ leaves an ipc socket's file behind, which would stand in the next run's way; one
     * another process bound there by now is its own. */
    for (guint i = 0; i < stream->n_endpoints; i++) {
        const StreamEndpoint *endpoint = &stream->endpoints[i];
        GStatBuf now;

        if (endpoint->socket_path != NULL && g_lstat (endpoint->socket_path, &now) == 0 &&
            now.st_dev == endpoint->socket_file.st_dev && now.st_ino == endpoint->socket_file.st_ino)
            g_unlink (endpoint->socket_path);
    }
}

void
record_stream_print_report (RecordStream *stream, gboolean quiet)
{
    const gdouble seconds = (atomic_load (&stream->last_send_ns) - atomic_load (&stream->first_send_ns)) / 1e9;

    for (guint i = 0; i < stream->n_endpoints && !quiet; i++) {
        StreamEndpoint *endpoint = &stream->endpoints[i];
        const guint joined = atomic_load (&endpoint->joined), left = atomic_load (&endpoint->left);
        const gdouble megabytes = atomic_load (&endpoint->bytes) / 1e6;

        g_print ("stream:     %s: %" G_GUINT64_FORMAT " frames sent, %" G_GUINT64_FORMAT
                 " dropped (%s), %" G_GUINT64_FORMAT " possibly lost with consumers that left or took nothing, %.1f MB",
                 endpoint->bound != NULL ? endpoint->bound : endpoint->name, (guint64) atomic_load (&endpoint->sent),
                 (guint64) atomic_load (&endpoint->dropped), stream->drop ? "drop" : "block",
                 stream_endpoint_possibly_lost (endpoint), megabytes);

        /* Over less, the rate would say how fast ZeroMQ queues, not how fast consumers take. */
        if (seconds >= 1)
            g_print (" at %.1f MB/s", megabytes / seconds);

        g_print ("; consumers: %u joined, %u left, %u refused; end %s\n", joined, left,
                 (guint) atomic_load (&endpoint->refused), endpoint->end_sent ? "sent" : "not sent");
    }
}

void
record_stream_free (RecordStream *stream)
{
    if (stream == NULL)
        return;

    record_stream_close (stream);

    for (guint i = 0; i < stream->n_endpoints; i++) {
        g_free (stream->endpoints[i].name);
        g_free (stream->endpoints[i].bound);
        g_free (stream->endpoints[i].socket_path);
        g_clear_pointer (&stream->endpoints[i].refused_keys, g_hash_table_unref);
        g_clear_pointer (&stream->endpoints[i].open, g_hash_table_unref);
        g_clear_pointer (&stream->endpoints[i].held, g_hash_table_unref);
    }

    g_free (stream->endpoints);
    g_clear_pointer (&stream->user_data, g_bytes_unref);
    g_clear_pointer (&stream->admitted, g_hash_table_unref);
    g_clear_pointer (&stream->start_message, g_bytes_unref);
    g_clear_pointer (&stream->maps.flatfield, g_bytes_unref);
    g_clear_pointer (&stream->maps.pixel_mask, g_bytes_unref);
    stream_series_clear (&stream->series);
    g_free (stream->releases);
    record_condition_clear (&stream->changed);
    record_lock_clear (&stream->lock);
    g_free (stream);
}
