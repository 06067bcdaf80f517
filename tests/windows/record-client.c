/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca client in C, as a Windows acquisition program is written: it records frames from the
 * tessaravolt camera in the three readout modes (grabs from the continuous stream, single frames
 * per grab, asynchronous transfer to a grab callback that stops the recording itself) and checks
 * that each frame is a whole, new frame of the simulated detector's test pattern. */
#include <uca/uca-camera.h>
#include <uca/uca-plugin-manager.h>

#include "xisl-sim-pattern.h"

#include <stdio.h>
#include <stdlib.h>

enum {
    FRAMES = 4
};

static int failures = 0;

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf (stderr, "FAILED %s:%d: ", __FILE__, __LINE__);                                                    \
            fprintf (stderr, __VA_ARGS__);                                                                             \
            fputc ('\n', stderr);                                                                                      \
            failures++;                                                                                                \
        }                                                                                                              \
    } while (0)

/* The pattern's frame number of a region (x0, y0, width x height), or -1 when a pixel does not
 * fit (xisl-sim-pattern.h). */
static long
frame_number (const guint16 *pixels, guint x0, guint y0, guint width, guint height)
{
    const guint16 n = xisl_sim_pattern_frame_number (pixels[0], x0, y0);

    for (guint y = 0; y < height; y++)
        for (guint x = 0; x < width; x++)
            if (pixels[y * width + x] != xisl_sim_pattern_pixel (x0 + x, y0 + y, n))
                return -1;
    return n;
}

typedef struct {
    UcaCamera *camera;
    guint x0, y0, width, height;
} Region;

static Region
region_of (UcaCamera *camera)
{
    Region region = { camera, 0, 0, 0, 0 };

    g_object_get (camera, "roi-x0", &region.x0, "roi-y0", &region.y0, "roi-width", &region.width, "roi-height",
                  &region.height, NULL);
    return region;
}

/* Records FRAMES grabs; each must be a pattern frame newer than the one before. */
static void
record_by_grabs (UcaCamera *camera, gboolean continuous)
{
    const Region region = region_of (camera);
    guint16 *pixels = g_new0 (guint16, (gsize) region.width * region.height);
    GError *error = NULL;
    long previous = -1;

    g_object_set (camera, "grab-from-continuous", continuous, "transfer-asynchronously", FALSE, NULL);
    uca_camera_start_recording (camera, &error);
    CHECK (error == NULL, "start (continuous %d): %s", continuous, error ? error->message : "");
    g_clear_error (&error);

    for (int i = 0; i < FRAMES; i++) {
        long number;

        uca_camera_grab (camera, pixels, &error);
        CHECK (error == NULL, "grab %d (continuous %d): %s", i, continuous, error ? error->message : "");
        g_clear_error (&error);
        number = frame_number (pixels, region.x0, region.y0, region.width, region.height);
        CHECK (number >= 0, "grab %d (continuous %d) is no pattern frame", i, continuous);
        CHECK (number > previous, "grab %d (continuous %d): frame %ld after %ld", i, continuous, number, previous);
        previous = number;
    }

    uca_camera_stop_recording (camera, &error);
    CHECK (error == NULL, "stop (continuous %d): %s", continuous, error ? error->message : "");
    g_clear_error (&error);
    printf ("%s: %d frames, the last number %ld\n", continuous ? "grab from continuous" : "single frames", FRAMES,
            previous);
    g_free (pixels);
}

typedef struct {
    Region region;
    GMutex mutex;
    GCond changed;
    int frames;       /* guarded by mutex */
    int bad;          /* guarded by mutex */
    long previous;    /* guarded by mutex */
    gboolean stopped; /* guarded by mutex */
} Delivery;

/* On the acquisition thread: checks the frame; the FRAMES-th call stops the recording. */
static void
on_frame (gpointer data, gpointer user_data)
{
    Delivery *delivery = user_data;
    const long number =
        frame_number (data, delivery->region.x0, delivery->region.y0, delivery->region.width, delivery->region.height);
    gboolean last;

    g_mutex_lock (&delivery->mutex);
    if (number <= delivery->previous)
        delivery->bad++;
    delivery->previous = number;
    last = ++delivery->frames == FRAMES;
    g_mutex_unlock (&delivery->mutex);

    if (last) {
        GError *error = NULL;

        uca_camera_stop_recording (delivery->region.camera, &error);
        g_mutex_lock (&delivery->mutex);
        delivery->stopped = error == NULL;
        g_cond_signal (&delivery->changed);
        g_mutex_unlock (&delivery->mutex);
        g_clear_error (&error);
    }
}

static void
record_asynchronously (UcaCamera *camera)
{
    Delivery delivery = { region_of (camera), { 0 }, { 0 }, 0, 0, -1, FALSE };
    /* Bounded for a loaded machine under Wine: FRAMES frames take well under a second. */
    const gint64 deadline = g_get_monotonic_time () + 60 * G_TIME_SPAN_SECOND;
    GError *error = NULL;

    g_mutex_init (&delivery.mutex);
    g_cond_init (&delivery.changed);
    g_object_set (camera, "transfer-asynchronously", TRUE, NULL);
    uca_camera_set_grab_func (camera, on_frame, &delivery);
    uca_camera_start_recording (camera, &error);
    CHECK (error == NULL, "asynchronous start: %s", error ? error->message : "");
    g_clear_error (&error);

    g_mutex_lock (&delivery.mutex);
    while (!delivery.stopped && g_cond_wait_until (&delivery.changed, &delivery.mutex, deadline))
        ;
    CHECK (delivery.stopped, "the callback did not stop the recording (%d frames)", delivery.frames);
    CHECK (delivery.frames == FRAMES, "%d frames delivered, %d wanted", delivery.frames, FRAMES);
    CHECK (delivery.bad == 0, "%d frames delivered were no newer pattern frame", delivery.bad);
    g_mutex_unlock (&delivery.mutex);
    CHECK (!uca_camera_is_recording (camera), "still recording after the callback's stop");
    printf ("asynchronous transfer: %d frames, stopped from the callback\n", delivery.frames);

    g_mutex_clear (&delivery.mutex);
    g_cond_clear (&delivery.changed);
}

int
main (void)
{
    UcaPluginManager *manager = uca_plugin_manager_new ();
    GError *error = NULL;
    UcaCamera *camera = uca_plugin_manager_get_camera (manager, "tessaravolt", &error, NULL);

    if (camera == NULL) {
        fprintf (stderr, "FAILED: no tessaravolt camera: %s\n", error ? error->message : "");
        return 1;
    }
    /* A small region keeps the pattern check quick under Wine. */
    g_object_set (camera, "exposure-time", 0.01, "roi-x0", 16, "roi-y0", 8, "roi-width", 64, "roi-height", 32, NULL);

    record_by_grabs (camera, TRUE);
    record_by_grabs (camera, FALSE);
    record_asynchronously (camera);

    g_object_unref (camera);
    g_object_unref (manager);
    return failures == 0 ? 0 : 1;
}
