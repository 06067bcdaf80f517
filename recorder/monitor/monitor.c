/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See monitor.h; the answers to requests are in monitor-routes.c, what both share in
 * monitor-private.h. */

#include "monitor-private.h"
#include "core/formats.h"

#include <string.h>

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
    soup_server_add_handler (monitor->server, NULL, record_monitor_handle_request, monitor, NULL);
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
