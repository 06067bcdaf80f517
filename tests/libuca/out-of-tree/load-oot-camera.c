/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Loads the out-of-tree plug-in through an installed libuca's plug-in manager and
 * records two frames from it. Prints each check; exits non-zero at the first failure. */

#include <uca/uca-plugin-manager.h>

#include <stdlib.h>

static void
check (gboolean passed, const gchar *what, const GError *error)
{
    g_print ("  %-60s %s%s%s\n", what, passed ? "ok" : "FAILED",
             error != NULL ? ": " : "", error != NULL ? error->message : "");

    if (!passed)
        exit (1);
}

static gboolean
lists_camera (UcaPluginManager *manager, const gchar *name)
{
    GList *names = uca_plugin_manager_get_available_cameras (manager);
    gboolean found = FALSE;

    for (GList *it = names; it != NULL; it = it->next)
        found = found || g_strcmp0 (it->data, name) == 0;

    g_list_free_full (names, g_free);
    return found;
}

static gboolean
frame_holds_pixel_indices_plus (const guint16 *pixels, guint count, guint frame)
{
    for (guint i = 0; i < count; i++) {
        if (pixels[i] != i + frame)
            return FALSE;
    }

    return TRUE;
}

int
main (void)
{
    UcaPluginManager *manager = uca_plugin_manager_new ();
    UcaCamera *camera;
    GError *error = NULL;
    gchar *name = NULL;
    guint width = 0, height = 0;
    guint16 *frame;

    /* Any warning or critical from libuca or GObject is a failure too. */
    g_log_set_always_fatal (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);

    check (lists_camera (manager, "oot"), "the plug-in manager lists the camera `oot'", NULL);

    camera = uca_plugin_manager_get_camera (manager, "oot", &error, NULL);
    check (camera != NULL, "the plug-in manager creates the camera", error);

    g_object_get (camera, "name", &name, "sensor-width", &width, "sensor-height", &height, NULL);
    check (g_strcmp0 (name, "out-of-tree") == 0, "the camera answers its own name", NULL);
    check (uca_camera_get_unit (camera, "roi-width") == UCA_UNIT_PIXEL, "libuca registered the base units", NULL);

    uca_camera_start_recording (camera, &error);
    check (error == NULL && uca_camera_is_recording (camera), "recording starts", error);

    frame = g_new0 (guint16, width * height);
    for (guint n = 0; n < 2; n++) {
        check (uca_camera_grab (camera, frame, &error), "a frame is grabbed", error);
        check (frame_holds_pixel_indices_plus (frame, width * height, n),
               "the frame holds the plug-in's pixels via its ring buffer", NULL);
    }

    uca_camera_stop_recording (camera, &error);
    check (error == NULL && !uca_camera_is_recording (camera), "recording stops", error);

    check (uca_plugin_manager_get_camera (manager, "missing", &error, NULL) == NULL &&
           g_error_matches (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND),
           "a missing camera gives MODULE_NOT_FOUND", NULL);

    g_clear_error (&error);
    g_free (frame);
    g_free (name);
    g_object_unref (camera);
    g_object_unref (manager);
    return 0;
}
