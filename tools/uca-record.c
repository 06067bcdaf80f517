/* uca-record: records frames from any libuca camera, measures how fast they come, and writes
 * them as 16-bit grayscale TIFF files with an 8-bit PNG preview of the last one.
 *
 * Frames are kept in memory while recording and written afterwards, so that file output never
 * slows the camera down and no file is touched when recording fails. Every buffer is allocated
 * and touched before recording starts: the acquisition path allocates nothing per frame. */

#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <math.h>
#include <png.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <tiffio.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>
#include <uca/uca-camera.h>
#include <uca/uca-plugin-manager.h>

#define RECORD_ERROR (record_error_quark ())
GQuark record_error_quark (void);
G_DEFINE_QUARK (uca-record-error-quark, record_error)

typedef enum {
    RECORD_ERROR_USAGE,
    RECORD_ERROR_PROPERTY,
    RECORD_ERROR_OUTPUT,
    RECORD_ERROR_MEMORY,
    RECORD_ERROR_TIMEOUT,
    RECORD_ERROR_CAMERA,
    RECORD_ERROR_INTERRUPTED,
} RecordError;

typedef enum {
    MODE_CONTINUOUS,
    MODE_SINGLE,
    MODE_ASYNC,
    MODE_BUFFERED,
} RecordMode;

static const gchar *const mode_names[] = { "continuous", "single", "async", "buffered" };

typedef struct {
    gint n_frames;
    gchar *mode_name;
    gchar *output_dir;
    gint timeout_s;
} Options;

/* The frames the recorder keeps: every frame when they are to be written, otherwise only the
 * newest two (enough to tell a repeated frame). Allocated and touched before recording.
 * While recording, only the thread that receives frames writes it: the main thread in the
 * synchronous modes, the camera's delivery thread (under AsyncDelivery's lock) in async mode. */
typedef struct {
    guint8 *pixels;       /* n_slots * frame_bytes */
    gsize frame_bytes;
    guint n_slots;
    guint n_frames;       /* frames asked for */
    guint n_recorded;     /* frames in the store so far */
    guint n_repeated;     /* frames identical to their predecessor */
    gint64 *latency_ns;   /* per frame: duration of its grab (synchronous modes only) */
    gint64 *arrival_ns;   /* per frame: when it arrived, on the monotonic clock */
} FrameStore;

/* Hands frames from the camera's delivery thread to the main thread in asynchronous mode.
 * `lock` guards `store` while recording; the main thread reads it under the lock, and freely
 * once recording has stopped. POSIX primitives, since race checkers cannot see GLib's. */
typedef struct {
    pthread_mutex_t lock;
    pthread_cond_t arrived; /* on the monotonic clock, like g_get_monotonic_time () */
    FrameStore *store;
} AsyncDelivery;

static volatile sig_atomic_t interrupted = 0;

static void
on_signal (int signum)
{
    (void) signum;
    interrupted = 1;
}

static void
install_signal_handlers (void)
{
    struct sigaction action;

    memset (&action, 0, sizeof action);
    action.sa_handler = on_signal;
    /* A second Ctrl-C kills at once, e.g. when a camera never delivers. */
    action.sa_flags = (int) SA_RESETHAND;
    sigemptyset (&action.sa_mask);
    sigaction (SIGINT, &action, NULL);
    sigaction (SIGTERM, &action, NULL);
}

static gint64
monotonic_ns (void)
{
    struct timespec now;

    clock_gettime (CLOCK_MONOTONIC, &now);
    return (gint64) now.tv_sec * G_GINT64_CONSTANT (1000000000) + now.tv_nsec;
}

/* Progress bar on standard error, redrawn at most ten times a second and only for a terminal. */
typedef struct {
    gboolean enabled;
    gint64 last_draw_ns;
    const gchar *label;
} Progress;

static void
progress_init (Progress *progress, const gchar *label)
{
    progress->enabled = isatty (STDERR_FILENO);
    progress->last_draw_ns = 0;
    progress->label = label;
}

static void
progress_draw (Progress *progress, guint done, guint total)
{
    enum { BAR_WIDTH = 40 };
    gchar bar[BAR_WIDTH + 1];
    gint64 now;
    guint filled;

    if (!progress->enabled)
        return;

    now = monotonic_ns ();
    if (done < total && now - progress->last_draw_ns < 100000000)
        return;

    progress->last_draw_ns = now;
    filled = total > 0 ? (guint) ((guint64) done * BAR_WIDTH / total) : BAR_WIDTH;
    memset (bar, '#', filled);
    memset (bar + filled, '.', BAR_WIDTH - filled);
    bar[BAR_WIDTH] = '\0';
    fprintf (stderr, "\r%-9s [%s] %u/%u", progress->label, bar, done, total);

    if (done >= total)
        fputc ('\n', stderr);

    fflush (stderr);
}

static void
progress_abandon (Progress *progress)
{
    if (progress->enabled && progress->last_draw_ns != 0)
        fputc ('\n', stderr);
}

/* ---- Options ---------------------------------------------------------------------------- */

static gboolean
parse_mode (const gchar *name, RecordMode *mode, GError **error)
{
    for (guint i = 0; i < G_N_ELEMENTS (mode_names); i++) {
        if (g_strcmp0 (name, mode_names[i]) == 0) {
            *mode = (RecordMode) i;
            return TRUE;
        }
    }

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                 "Unknown mode `%s' (expected continuous, single, async or buffered)", name);
    return FALSE;
}

/* ---- Properties from the command line --------------------------------------------------- */

/* Turns GLib's number-parsing error into the recorder's own, naming the property. */
static gboolean
bad_number (GParamSpec *pspec, GError *parse_error, GError **error)
{
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': %s",
                 pspec->name, parse_error->message);
    g_error_free (parse_error);
    return FALSE;
}

static gboolean
check_unsigned (GParamSpec *pspec, const gchar *text, guint64 min, guint64 max, GError **error)
{
    guint64 number;
    GError *parse_error = NULL;

    return g_ascii_string_to_unsigned (text, 10, min, max, &number, &parse_error) ||
           bad_number (pspec, parse_error, error);
}

static gboolean
check_signed (GParamSpec *pspec, const gchar *text, gint64 min, gint64 max, GError **error)
{
    gint64 number;
    GError *parse_error = NULL;

    return g_ascii_string_to_signed (text, 10, min, max, &number, &parse_error) ||
           bad_number (pspec, parse_error, error);
}

static gboolean
check_double (GParamSpec *pspec, const gchar *text, gdouble min, gdouble max, GError **error)
{
    gchar *end = NULL;
    gdouble number;

    errno = 0;
    number = g_ascii_strtod (text, &end);

    if (*text == '\0' || *end != '\0' || errno != 0 || !isfinite (number)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                     "Bad value for `%s': `%s' is not a number", pspec->name, text);
        return FALSE;
    }

    if (number < min || number > max) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                     "Bad value for `%s': %s is out of bounds [%g, %g]", pspec->name, text, min, max);
        return FALSE;
    }

    return TRUE;
}

/* libuca takes any text as FALSE unless it starts with "true"; a typo must not become FALSE. */
static gboolean
check_boolean (GParamSpec *pspec, const gchar *text, GError **error)
{
    if (g_ascii_strcasecmp (text, "true") == 0 || g_ascii_strcasecmp (text, "false") == 0)
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                 "Bad value for `%s': `%s' is neither true nor false", pspec->name, text);
    return FALSE;
}

/* libuca accepts an enum's number or value name; the short nick is accepted here as well and
 * handed on as the value name. Returns the text to hand on, or NULL. */
static gchar *
resolve_enum (GParamSpec *pspec, const gchar *text, GError **error)
{
    GEnumClass *enum_class = G_PARAM_SPEC_ENUM (pspec)->enum_class;
    GEnumValue *value;
    guint64 number;
    GString *names;

    if (g_ascii_string_to_unsigned (text, 10, 0, G_MAXINT, &number, NULL))
        value = g_enum_get_value (enum_class, (gint) number);
    else if ((value = g_enum_get_value_by_name (enum_class, text)) == NULL)
        value = g_enum_get_value_by_nick (enum_class, text);

    if (value != NULL)
        return g_strdup (value->value_name);

    names = g_string_new (NULL);

    for (guint i = 0; i < enum_class->n_values; i++)
        g_string_append_printf (names, "%s%s (%d)", i > 0 ? ", " : "",
                                enum_class->values[i].value_nick, enum_class->values[i].value);

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                 "Bad value for `%s': `%s' is none of %s", pspec->name, text, names->str);
    g_string_free (names, TRUE);
    return NULL;
}

/* Checks one PROPERTY=VALUE argument against the camera's property and returns the argument to
 * hand to libuca, or NULL with an error. */
static gchar *
check_property_argument (UcaCamera *camera, const gchar *argument, GError **error)
{
    gchar **parts = g_strsplit (argument, "=", 2);
    GParamSpec *pspec;
    gchar *result = NULL;
    gboolean valid;

    if (parts[0] == NULL || parts[1] == NULL || parts[0][0] == '\0') {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "`%s' is not of the form PROPERTY=VALUE", argument);
        goto out;
    }

    pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), parts[0]);

    if (pspec == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                     "Camera has no property `%s'", parts[0]);
        goto out;
    }

    if (!(pspec->flags & G_PARAM_WRITABLE) || (pspec->flags & G_PARAM_CONSTRUCT_ONLY)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                     "Property `%s' cannot be written", pspec->name);
        goto out;
    }

    if (G_IS_PARAM_SPEC_ENUM (pspec)) {
        gchar *value_name = resolve_enum (pspec, parts[1], error);

        if (value_name != NULL)
            result = g_strdup_printf ("%s=%s", parts[0], value_name);

        g_free (value_name);
        goto out;
    }

    if (G_IS_PARAM_SPEC_UINT (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_UINT (pspec)->minimum,
                                G_PARAM_SPEC_UINT (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_UINT64 (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_UINT64 (pspec)->minimum,
                                G_PARAM_SPEC_UINT64 (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_ULONG (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_ULONG (pspec)->minimum,
                                G_PARAM_SPEC_ULONG (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_INT (pspec))
        valid = check_signed (pspec, parts[1], G_PARAM_SPEC_INT (pspec)->minimum,
                              G_PARAM_SPEC_INT (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_INT64 (pspec))
        valid = check_signed (pspec, parts[1], G_PARAM_SPEC_INT64 (pspec)->minimum,
                              G_PARAM_SPEC_INT64 (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_LONG (pspec))
        valid = check_signed (pspec, parts[1], G_PARAM_SPEC_LONG (pspec)->minimum,
                              G_PARAM_SPEC_LONG (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_DOUBLE (pspec))
        valid = check_double (pspec, parts[1], G_PARAM_SPEC_DOUBLE (pspec)->minimum,
                              G_PARAM_SPEC_DOUBLE (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_FLOAT (pspec))
        valid = check_double (pspec, parts[1], G_PARAM_SPEC_FLOAT (pspec)->minimum,
                              G_PARAM_SPEC_FLOAT (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_BOOLEAN (pspec))
        valid = check_boolean (pspec, parts[1], error);
    else
        valid = TRUE;

    if (valid)
        result = g_strdup (argument);

out:
    g_strfreev (parts);
    return result;
}

static gboolean
apply_property_arguments (UcaCamera *camera, gchar **arguments, guint n_arguments,
                          GError **error)
{
    gchar **checked = g_new0 (gchar *, n_arguments + 1);
    gboolean success = TRUE;

    for (guint i = 0; i < n_arguments && success; i++) {
        checked[i] = check_property_argument (camera, arguments[i], error);
        success = checked[i] != NULL;
    }

    if (success && n_arguments > 0)
        success = uca_camera_parse_arg_props (camera, checked, n_arguments, error);

    g_strfreev (checked);
    return success;
}

static gboolean
has_writable_boolean (UcaCamera *camera, const gchar *name)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name);

    return pspec != NULL && G_IS_PARAM_SPEC_BOOLEAN (pspec) && (pspec->flags & G_PARAM_WRITABLE);
}

/* The mode overrides whatever the property arguments said about the same switches. */
static void
configure_mode (UcaCamera *camera, RecordMode mode)
{
    g_object_set (camera,
                  "transfer-asynchronously", mode == MODE_ASYNC,
                  "buffered", mode == MODE_BUFFERED,
                  NULL);

    if (has_writable_boolean (camera, "grab-from-continuous"))
        g_object_set (camera, "grab-from-continuous", mode != MODE_SINGLE, NULL);
}

/* Nothing here sends software triggers: a camera waiting for one would never deliver. */
static gboolean
check_trigger_source (UcaCamera *camera, GError **error)
{
    UcaCameraTriggerSource source = UCA_CAMERA_TRIGGER_SOURCE_AUTO;

    g_object_get (camera, "trigger-source", &source, NULL);

    if (source != UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE)
        return TRUE;

    g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                         "uca-record sends no software triggers; use trigger-source=auto or external");
    return FALSE;
}

/* ---- Frame store ------------------------------------------------------------------------ */

static gboolean
frame_store_init (FrameStore *store, gsize frame_bytes, guint n_frames, gboolean keep_all,
                  GError **error)
{
    /* Recording into swap would measure the disk, not the camera. */
    const guint64 memory_limit =
        (guint64) sysconf (_SC_PHYS_PAGES) * (guint64) sysconf (_SC_PAGESIZE) / 4 * 3;
    guint n_slots = keep_all ? n_frames : MIN (n_frames, 2);
    guint64 pixel_bytes = (guint64) n_slots * frame_bytes;
    guint64 total = pixel_bytes + (guint64) n_frames * 2 * sizeof (gint64);

    memset (store, 0, sizeof *store);

    if (total > memory_limit) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY,
                     "%u frames of %" G_GSIZE_FORMAT " bytes need %" G_GUINT64_FORMAT
                     " MiB with their timings, more than this machine can hold; record fewer frames",
                     n_frames, frame_bytes, total >> 20);
        return FALSE;
    }

    store->pixels = g_try_malloc (pixel_bytes);
    store->latency_ns = g_try_new0 (gint64, n_frames);
    store->arrival_ns = g_try_new0 (gint64, n_frames);

    if (store->pixels == NULL || store->latency_ns == NULL || store->arrival_ns == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY,
                     "Cannot allocate %" G_GUINT64_FORMAT " MiB for the frames", total >> 20);
        return FALSE;
    }

    /* Touch every page now so that recording never waits for the kernel to map one. */
    memset (store->pixels, 0, pixel_bytes);
    store->frame_bytes = frame_bytes;
    store->n_slots = n_slots;
    store->n_frames = n_frames;
    return TRUE;
}

static void
frame_store_clear (FrameStore *store)
{
    g_free (store->pixels);
    g_free (store->latency_ns);
    g_free (store->arrival_ns);
    memset (store, 0, sizeof *store);
}

static guint8 *
frame_store_slot (const FrameStore *store, guint frame)
{
    return store->pixels + (gsize) (frame % store->n_slots) * store->frame_bytes;
}

/* Records that the next frame is complete in its slot. */
static void
frame_store_commit (FrameStore *store, gint64 arrival_ns)
{
    guint frame = store->n_recorded;

    if (frame > 0 && memcmp (frame_store_slot (store, frame),
                             frame_store_slot (store, frame - 1), store->frame_bytes) == 0)
        store->n_repeated++;

    store->arrival_ns[frame] = arrival_ns;
    store->n_recorded = frame + 1;
}

/* ---- Recording -------------------------------------------------------------------------- */

static gboolean
record_synchronously (UcaCamera *camera, FrameStore *store, GError **error)
{
    Progress progress;

    progress_init (&progress, "recording");

    while (store->n_recorded < store->n_frames) {
        guint frame = store->n_recorded;
        GError *grab_error = NULL;
        gint64 start;

        if (interrupted) {
            g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED, "Interrupted");
            break;
        }

        start = monotonic_ns ();

        if (!uca_camera_grab (camera, frame_store_slot (store, frame), &grab_error)) {
            if (grab_error != NULL)
                g_propagate_error (error, grab_error);
            else
                g_set_error (error, RECORD_ERROR, RECORD_ERROR_CAMERA,
                             "The camera returned no frame %u", frame + 1);
            break;
        }

        store->latency_ns[frame] = monotonic_ns () - start;
        frame_store_commit (store, start + store->latency_ns[frame]);
        progress_draw (&progress, store->n_recorded, store->n_frames);
    }

    if (store->n_recorded < store->n_frames) {
        progress_abandon (&progress);
        return FALSE;
    }

    return TRUE;
}

static void
delivery_init (AsyncDelivery *delivery)
{
    pthread_condattr_t attributes;

    pthread_mutex_init (&delivery->lock, NULL);
    pthread_condattr_init (&attributes);
    pthread_condattr_setclock (&attributes, CLOCK_MONOTONIC);
    pthread_cond_init (&delivery->arrived, &attributes);
    pthread_condattr_destroy (&attributes);
}

/* `deadline` in microseconds of the monotonic clock; called with the lock held. */
static void
delivery_wait_until (AsyncDelivery *delivery, gint64 deadline)
{
    struct timespec until = {
        .tv_sec = deadline / G_USEC_PER_SEC,
        .tv_nsec = (deadline % G_USEC_PER_SEC) * 1000,
    };

    pthread_cond_timedwait (&delivery->arrived, &delivery->lock, &until);
}

/* Runs on the camera's delivery thread. `data` is valid only until this returns. */
static void
on_async_frame (gpointer data, gpointer user_data)
{
    AsyncDelivery *delivery = user_data;
    FrameStore *store = delivery->store;
    gint64 arrival = monotonic_ns ();

    pthread_mutex_lock (&delivery->lock);

    if (store->n_recorded < store->n_frames) {
        memcpy (frame_store_slot (store, store->n_recorded), data, store->frame_bytes);
        frame_store_commit (store, arrival);
        pthread_cond_signal (&delivery->arrived);
    }

    pthread_mutex_unlock (&delivery->lock);
}

/* Waits until the delivery thread has stored every frame, the user interrupts, or no frame came
 * for `timeout_s` seconds. */
static gboolean
wait_for_async_frames (AsyncDelivery *delivery, gint timeout_s, GError **error)
{
    FrameStore *store = delivery->store;
    Progress progress;
    guint seen = 0;
    gint64 last_change = g_get_monotonic_time ();
    gboolean success = FALSE;

    progress_init (&progress, "recording");
    pthread_mutex_lock (&delivery->lock);

    for (;;) {
        guint recorded = store->n_recorded;
        gint64 now = g_get_monotonic_time ();

        if (recorded == store->n_frames) {
            success = TRUE;
            break;
        }

        if (interrupted) {
            g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED, "Interrupted");
            break;
        }

        if (recorded != seen) {
            seen = recorded;
            last_change = now;
        }
        else if (now - last_change >= (gint64) timeout_s * G_USEC_PER_SEC) {
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_TIMEOUT,
                         "No frame arrived for %d s after frame %u", timeout_s, recorded);
            break;
        }

        pthread_mutex_unlock (&delivery->lock);
        progress_draw (&progress, recorded, store->n_frames);
        pthread_mutex_lock (&delivery->lock);

        if (store->n_recorded == recorded)
            delivery_wait_until (delivery, now + G_USEC_PER_SEC / 10);
    }

    pthread_mutex_unlock (&delivery->lock);

    if (success)
        progress_draw (&progress, store->n_frames, store->n_frames);
    else
        progress_abandon (&progress);

    return success;
}

/* Starts recording, records every frame and stops recording again, also after a failure. */
static gboolean
record_frames (UcaCamera *camera, RecordMode mode, gint timeout_s, FrameStore *store,
               GError **error)
{
    AsyncDelivery delivery = { .store = store };
    GError *start_error = NULL;
    GError *stop_error = NULL;
    gboolean success = FALSE;

    delivery_init (&delivery);

    if (mode == MODE_ASYNC)
        uca_camera_set_grab_func (camera, on_async_frame, &delivery);

    uca_camera_start_recording (camera, &start_error);

    if (start_error != NULL) {
        g_propagate_error (error, start_error);
    }
    else {
        if (mode == MODE_ASYNC)
            success = wait_for_async_frames (&delivery, timeout_s, error);
        else
            success = record_synchronously (camera, store, error);

        /* After the stop no callback runs any more, so the store is ours again. */
        uca_camera_stop_recording (camera, &stop_error);

        if (stop_error != NULL) {
            if (success)
                g_propagate_error (error, stop_error);
            else
                g_error_free (stop_error);

            success = FALSE;
        }
    }

    if (mode == MODE_ASYNC)
        uca_camera_set_grab_func (camera, NULL, NULL);

    pthread_cond_destroy (&delivery.arrived);
    pthread_mutex_destroy (&delivery.lock);
    return success;
}

/* ---- Statistics ------------------------------------------------------------------------- */

static gint
compare_int64 (gconstpointer a, gconstpointer b)
{
    gint64 x = *(const gint64 *) a;
    gint64 y = *(const gint64 *) b;

    return (x > y) - (x < y);
}

/* Nearest-rank percentile of sorted values. */
static gint64
percentile (const gint64 *sorted, guint count, guint percent)
{
    guint rank = (guint) (((guint64) count * percent + 99) / 100);

    return sorted[MAX (rank, 1) - 1];
}

static void
print_report (const gchar *camera_name, RecordMode mode, FrameStore *store, guint width,
              guint height, guint bits)
{
    /* From the first frame to the last: the start-up of the stream is not the camera's rate. */
    guint intervals = store->n_recorded - 1;
    gdouble seconds = (store->arrival_ns[intervals] - store->arrival_ns[0]) / 1e9;

    g_print ("camera:     %s\n", camera_name);
    g_print ("mode:       %s\n", mode_names[mode]);
    g_print ("frames:     %u of %u x %u pixels, %u bits\n", store->n_recorded, width, height, bits);

    if (intervals > 0 && seconds > 0) {
        gdouble fps = intervals / seconds;

        g_print ("rate:       %.1f frames/s, %.1f MB/s\n", fps, fps * store->frame_bytes / 1e6);
    }
    else {
        g_print ("rate:       n/a (needs two frames)\n");
    }

    /* In asynchronous mode nobody waits for a frame, so there is no latency to measure. */
    if (mode == MODE_ASYNC) {
        g_print ("latency:    n/a (asynchronous delivery)\n");
    }
    else {
        qsort (store->latency_ns, store->n_recorded, sizeof (gint64), compare_int64);
        g_print ("latency:    median %.3f ms, 99th percentile %.3f ms\n",
                 percentile (store->latency_ns, store->n_recorded, 50) / 1e6,
                 percentile (store->latency_ns, store->n_recorded, 99) / 1e6);
    }

    g_print ("repeated:   %u (frames identical to the previous one)\n", store->n_repeated);
    /* A generic libuca camera does not say whether it dropped frames. */
    g_print ("lost:       n/a (the camera does not report it)\n");
}

/* ---- Output files ----------------------------------------------------------------------- */

/* Makes the folder if needed and proves that a file can be created in it, before the camera is
 * touched. */
static gboolean
prepare_output_dir (const gchar *dir, GError **error)
{
    gchar *probe;
    gint fd;

    if (g_mkdir_with_parents (dir, 0777) != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot create folder `%s': %s",
                     dir, g_strerror (errno));
        return FALSE;
    }

    probe = g_build_filename (dir, ".uca-record-XXXXXX", NULL);
    fd = g_mkstemp (probe);

    if (fd < 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot write into folder `%s': %s",
                     dir, g_strerror (errno));
        g_free (probe);
        return FALSE;
    }

    close (fd);
    g_unlink (probe);
    g_free (probe);
    return TRUE;
}

/* libtiff reports through a handler; the last message explains a failed write. */
static gchar *tiff_message = NULL;

static void G_GNUC_PRINTF (2, 0)
on_tiff_error (const char *module, const char *format, va_list args)
{
    (void) module;
    g_free (tiff_message);
    tiff_message = g_strdup_vprintf (format, args);
}

static gboolean
write_tiff (const gchar *path, guint8 *pixels, guint width, guint height, guint bytes_per_pixel)
{
    TIFF *tiff = TIFFOpen (path, "w");
    gboolean success;

    if (tiff == NULL)
        return FALSE;

    success = TIFFSetField (tiff, TIFFTAG_IMAGEWIDTH, width) &&
              TIFFSetField (tiff, TIFFTAG_IMAGELENGTH, height) &&
              TIFFSetField (tiff, TIFFTAG_BITSPERSAMPLE, bytes_per_pixel * 8) &&
              TIFFSetField (tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
              TIFFSetField (tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) &&
              TIFFSetField (tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
              TIFFSetField (tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField (tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
              TIFFSetField (tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize (tiff, 0));

    for (guint row = 0; row < height && success; row++)
        success = TIFFWriteScanline (tiff, pixels + (gsize) row * width * bytes_per_pixel, row, 0) == 1;

    success = success && TIFFFlush (tiff);
    TIFFClose (tiff);
    return success;
}

typedef gboolean (*FileWriter) (const gchar *path, gpointer user_data, GError **error);

/* Writes through a temporary name in the same folder and renames when complete, so that the
 * final name never shows a half-written file; the temporary file goes on failure. */
static gboolean
write_file_atomically (const gchar *dir, const gchar *name, FileWriter writer, gpointer user_data,
                       GError **error)
{
    gchar *temporary_name = g_strdup_printf (".%s.part", name);
    gchar *temporary = g_build_filename (dir, temporary_name, NULL);
    gchar *final = g_build_filename (dir, name, NULL);
    gboolean success;

    success = writer (temporary, user_data, error);

    if (success && g_rename (temporary, final) != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot rename `%s' to `%s': %s",
                     temporary, final, g_strerror (errno));
        success = FALSE;
    }
    else if (!success) {
        g_prefix_error (error, "Cannot write `%s': ", final);
    }

    if (!success)
        g_unlink (temporary);

    g_free (final);
    g_free (temporary);
    g_free (temporary_name);
    return success;
}

typedef struct {
    guint8 *pixels;
    guint width;
    guint height;
    guint bytes_per_pixel;
} FrameView;

static gboolean
tiff_writer (const gchar *path, gpointer user_data, GError **error)
{
    const FrameView *frame = user_data;
    gboolean success;

    g_clear_pointer (&tiff_message, g_free);
    errno = 0;
    success = write_tiff (path, frame->pixels, frame->width, frame->height, frame->bytes_per_pixel);

    if (!success)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "%s",
                     tiff_message != NULL ? tiff_message : g_strerror (errno));

    return success;
}

/* The preview maps the 0.1 % to 99.9 % range of the frame's values onto 0..255, so a few hot or
 * dead pixels do not flatten the picture. */
static gboolean
png_writer (const gchar *path, gpointer user_data, GError **error)
{
    const FrameView *frame = user_data;
    const gsize n_pixels = (gsize) frame->width * frame->height;
    const guint n_levels = frame->bytes_per_pixel == 1 ? 256 : 65536;
    guint *histogram = g_new0 (guint, n_levels);
    guint8 *gray = g_malloc (n_pixels);
    png_image image;
    guint low = 0, high = n_levels - 1;
    gsize count = 0;
    gboolean success;

    for (gsize i = 0; i < n_pixels; i++)
        histogram[frame->bytes_per_pixel == 1 ? frame->pixels[i] : ((guint16 *) frame->pixels)[i]]++;

    for (count = histogram[low]; count <= n_pixels / 1000 && low < high; count += histogram[low])
        low++;

    for (count = histogram[high]; count <= n_pixels / 1000 && high > low; count += histogram[high])
        high--;

    for (gsize i = 0; i < n_pixels; i++) {
        guint value = frame->bytes_per_pixel == 1 ? frame->pixels[i] : ((guint16 *) frame->pixels)[i];
        guint clamped = CLAMP (value, low, high);

        gray[i] = high > low ? (guint8) ((clamped - low) * 255u / (high - low)) : 0;
    }

    memset (&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = frame->width;
    image.height = frame->height;
    image.format = PNG_FORMAT_GRAY;

    success = png_image_write_to_file (&image, path, 0, gray, (png_int_32) frame->width, NULL) != 0;

    if (!success)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "%s", image.message);

    png_image_free (&image);
    g_free (gray);
    g_free (histogram);
    return success;
}

static gboolean
write_outputs (const gchar *dir, const FrameStore *store, guint width, guint height,
               guint bytes_per_pixel, GError **error)
{
    FrameView frame = { NULL, width, height, bytes_per_pixel };
    Progress progress;
    gboolean success = TRUE;

    progress_init (&progress, "writing");

    for (guint i = 0; i < store->n_recorded && success; i++) {
        gchar *name = g_strdup_printf ("frame-%06u.tif", i + 1);

        if (interrupted) {
            g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED, "Interrupted");
            success = FALSE;
        }
        else {
            frame.pixels = frame_store_slot (store, i);
            success = write_file_atomically (dir, name, tiff_writer, &frame, error);
            progress_draw (&progress, i + 1, store->n_recorded);
        }

        g_free (name);
    }

    if (!success) {
        progress_abandon (&progress);
        return FALSE;
    }

    frame.pixels = frame_store_slot (store, store->n_recorded - 1);

    if (!write_file_atomically (dir, "preview.png", png_writer, &frame, error))
        return FALSE;

    g_print ("written:    %u TIFF files and preview.png in %s\n", store->n_recorded, dir);
    return TRUE;
}

/* ---- Main ------------------------------------------------------------------------------- */

static gchar *
list_cameras (UcaPluginManager *manager)
{
    GList *names = uca_plugin_manager_get_available_cameras (manager);
    GString *text = g_string_new (NULL);

    for (GList *it = names; it != NULL; it = it->next)
        g_string_append_printf (text, "%s%s", it == names ? "" : ", ", (const gchar *) it->data);

    g_list_free_full (names, g_free);

    if (text->len == 0)
        g_string_append (text, "none");

    return g_string_free (text, FALSE);
}

static UcaCamera *
open_camera (UcaPluginManager *manager, const gchar *name, GError **error)
{
    GError *open_error = NULL;
    UcaCamera *camera = uca_plugin_manager_get_camerah (manager, name, NULL, &open_error);
    gchar *available;

    if (camera != NULL)
        return camera;

    available = list_cameras (manager);
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                 "Cannot open camera `%s': %s (available: %s)", name,
                 open_error != NULL ? open_error->message : "unknown error", available);
    g_free (available);
    g_clear_error (&open_error);
    return NULL;
}

/* The main job after the options: open, configure, record, write. */
static gboolean
run (const Options *options, RecordMode mode, gchar **positional, guint n_positional,
     GError **error)
{
    UcaPluginManager *manager = NULL;
    UcaCamera *camera = NULL;
    FrameStore store = { 0 };
    guint width = 0, height = 0, bits = 0, bytes_per_pixel;
    gboolean success = FALSE;

    if (options->output_dir != NULL && !prepare_output_dir (options->output_dir, error))
        return FALSE;

    manager = uca_plugin_manager_new ();
    camera = open_camera (manager, positional[0], error);

    if (camera == NULL)
        goto out;

    if (!apply_property_arguments (camera, positional + 1, n_positional - 1, error))
        goto out;

    if (!check_trigger_source (camera, error))
        goto out;

    configure_mode (camera, mode);
    g_object_get (camera, "roi-width", &width, "roi-height", &height, "sensor-bitdepth", &bits, NULL);
    bytes_per_pixel = bits <= 8 ? 1 : 2;

    if (!frame_store_init (&store, (gsize) width * height * bytes_per_pixel,
                           (guint) options->n_frames, options->output_dir != NULL, error))
        goto out;

    if (!record_frames (camera, mode, options->timeout_s, &store, error))
        goto out;

    print_report (positional[0], mode, &store, width, height, bits);
    success = options->output_dir == NULL ||
              write_outputs (options->output_dir, &store, width, height, bytes_per_pixel, error);

out:
    frame_store_clear (&store);
    g_clear_object (&camera);
    g_clear_object (&manager);
    return success;
}

int
main (int argc, char **argv)
{
    Options options = { .n_frames = 10, .mode_name = NULL, .output_dir = NULL, .timeout_s = 10 };
    GOptionEntry entries[] = {
        { "frames", 'n', 0, G_OPTION_ARG_INT, &options.n_frames, "Number of frames to record (default 10)", "N" },
        { "mode", 'm', 0, G_OPTION_ARG_STRING, &options.mode_name,
          "continuous (default), single, async or buffered", "MODE" },
        { "output", 'o', 0, G_OPTION_ARG_FILENAME, &options.output_dir,
          "Write frame-NNNNNN.tif files and preview.png into DIR", "DIR" },
        { "timeout", 't', 0, G_OPTION_ARG_INT, &options.timeout_s,
          "Give up when no frame arrives for S seconds in async mode (default 10)", "S" },
        { NULL }
    };
    GOptionContext *context = g_option_context_new ("CAMERA [PROPERTY=VALUE ...]");
    GError *error = NULL;
    RecordMode mode = MODE_CONTINUOUS;
    gint status = 1;

    g_option_context_add_main_entries (context, entries, NULL);
    g_option_context_set_summary (context,
        "Records frames from a libuca camera, reports frame rate, data rate, grab latency and\n"
        "repeated frames, and writes the frames as 16-bit grayscale TIFF files with an 8-bit\n"
        "PNG preview of the last one.\n\n"
        "Modes: continuous and single grab synchronously (single sets the camera's\n"
        "grab-from-continuous to false where it has it), async takes frames from the camera's\n"
        "callback, buffered grabs through libuca's ring buffer.");

    if (!g_option_context_parse (context, &argc, &argv, &error))
        goto usage;

    if (argc < 2) {
        g_set_error_literal (&error, RECORD_ERROR, RECORD_ERROR_USAGE, "No camera named");
        goto usage;
    }

    if (options.n_frames < 1 || options.timeout_s < 1) {
        g_set_error_literal (&error, RECORD_ERROR, RECORD_ERROR_USAGE,
                             "--frames and --timeout must be at least 1");
        goto usage;
    }

    if (options.mode_name != NULL && !parse_mode (options.mode_name, &mode, &error))
        goto usage;

    install_signal_handlers ();
    TIFFSetErrorHandler (on_tiff_error);
    status = run (&options, mode, argv + 1, (guint) argc - 1, &error) ? 0 : 1;

    if (error != NULL) {
        g_printerr ("uca-record: %s\n", error->message);
        status = g_error_matches (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED) ? 130 : 1;
    }

    goto out;

usage:
    g_printerr ("uca-record: %s\nTry `uca-record --help'.\n", error->message);
    status = 2;

out:
    g_clear_error (&error);
    g_clear_pointer (&tiff_message, g_free);
    g_free (options.mode_name);
    g_free (options.output_dir);
    g_option_context_free (context);
    return status;
}
