/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The base properties every camera has, and the units and writability during acquisition
 * that cameras attach to their properties. */

#include "uca-camera-private.h"
#include "uca-enums.h"

const gchar *uca_camera_props[N_BASE_PROPERTIES] = {
    NULL,
    "name",
    "sensor-width",
    "sensor-height",
    "sensor-pixel-width",
    "sensor-pixel-height",
    "sensor-bitdepth",
    "sensor-horizontal-binning",
    "sensor-vertical-binning",
    "trigger-source",
    "trigger-type",
    "exposure-time",
    "frames-per-second",
    "roi-x0",
    "roi-y0",
    "roi-width",
    "roi-height",
    "roi-width-multiplier",
    "roi-height-multiplier",
    "has-streaming",
    "has-camram-recording",
    "recorded-frames",
    "transfer-asynchronously",
    "is-recording",
    "is-readout",
    "buffered",
    "num-buffers",
};

static GParamSpec *camera_properties[N_BASE_PROPERTIES] = {
    NULL,
};

/* Units live on the shared GParamSpecs; they are cleared when the last
 * camera goes, not when any camera goes, so living cameras keep theirs. */
static pthread_mutex_t units_lock = PTHREAD_MUTEX_INITIALIZER;
static guint n_live_cameras = 0; /* guarded by units_lock */

GQuark
uca_unit_quark (void)
{
    return g_quark_from_static_string ("uca-unit-quark");
}

GQuark
uca_writable_quark (void)
{
    return g_quark_from_static_string ("uca-writable-quark");
}

static void
set_unit (GParamSpec *pspec, UcaUnit unit)
{
    UcaUnit old_unit = (UcaUnit) GPOINTER_TO_INT (g_param_spec_get_qdata (pspec, uca_unit_quark ()));

    if (old_unit != UCA_UNIT_NA && old_unit != unit)
        g_warning ("::%s already has a different unit", pspec->name);

    g_param_spec_set_qdata (pspec, uca_unit_quark (), GINT_TO_POINTER (unit));
}

static GParamSpec *
find_property (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), prop_name);

    if (pspec == NULL)
        g_warning ("Camera does not have property `%s'", prop_name);

    return pspec;
}

static void
clear_units (GObjectClass *klass)
{
    guint n_properties;
    GParamSpec **pspecs = g_object_class_list_properties (klass, &n_properties);

    for (guint i = 0; i < n_properties; i++)
        g_param_spec_set_qdata (pspecs[i], uca_unit_quark (), NULL);

    g_free (pspecs);
}

void
uca_camera_install_base_properties (GObjectClass *oclass)
{
    const GParamFlags R = G_PARAM_READABLE;
    const GParamFlags RW = G_PARAM_READWRITE;

    camera_properties[PROP_NAME] = g_param_spec_string ("name", "Name of the camera", "Name of the camera", "", R);
    camera_properties[PROP_SENSOR_WIDTH] =
        g_param_spec_uint ("sensor-width", "Width of sensor", "Width of the sensor in pixels", 1, G_MAXUINT, 512, R);
    camera_properties[PROP_SENSOR_HEIGHT] =
        g_param_spec_uint ("sensor-height", "Height of sensor", "Height of the sensor in pixels", 1, G_MAXUINT, 512, R);
    camera_properties[PROP_SENSOR_PIXEL_WIDTH] =
        g_param_spec_double ("sensor-pixel-width", "Width of sensor pixel in meters", "Width of sensor pixel in meters",
                             G_MINDOUBLE, G_MAXDOUBLE, 10e-6, R);
    camera_properties[PROP_SENSOR_PIXEL_HEIGHT] =
        g_param_spec_double ("sensor-pixel-height", "Height of sensor pixel in meters",
                             "Height of sensor pixel in meters", G_MINDOUBLE, G_MAXDOUBLE, 10e-6, R);
    camera_properties[PROP_SENSOR_BITDEPTH] =
        g_param_spec_uint ("sensor-bitdepth", "Number of bits per pixel", "Number of bits per pixel", 1, 32, 8, R);
    camera_properties[PROP_SENSOR_HORIZONTAL_BINNING] = g_param_spec_uint (
        "sensor-horizontal-binning", "Horizontal binning",
        "Number of sensor ADCs that are combined to one pixel in horizontal direction", 1, G_MAXUINT, 1, RW);
    camera_properties[PROP_SENSOR_VERTICAL_BINNING] = g_param_spec_uint (
        "sensor-vertical-binning", "Vertical binning",
        "Number of sensor ADCs that are combined to one pixel in vertical direction", 1, G_MAXUINT, 1, RW);
    camera_properties[PROP_TRIGGER_SOURCE] =
        g_param_spec_enum ("trigger-source", "Trigger source", "Trigger source", uca_camera_trigger_source_get_type (),
                           UCA_CAMERA_TRIGGER_SOURCE_AUTO, RW);
    camera_properties[PROP_TRIGGER_TYPE] =
        g_param_spec_enum ("trigger-type", "Trigger type", "Trigger type", uca_camera_trigger_type_get_type (),
                           UCA_CAMERA_TRIGGER_TYPE_EDGE, RW);
    camera_properties[PROP_EXPOSURE_TIME] = g_param_spec_double ("exposure-time", "Exposure time in seconds",
                                                                 "Exposure time in seconds", 0.0, G_MAXDOUBLE, 1.0, RW);
    camera_properties[PROP_FRAMES_PER_SECOND] = g_param_spec_double (
        "frames-per-second", "Frames per second", "Frames per second", G_MINDOUBLE, G_MAXDOUBLE, 1.0, RW);
    camera_properties[PROP_ROI_X] =
        g_param_spec_uint ("roi-x0", "Horizontal coordinate", "Horizontal coordinate", 0, G_MAXUINT, 0, RW);
    camera_properties[PROP_ROI_Y] =
        g_param_spec_uint ("roi-y0", "Vertical coordinate", "Vertical coordinate", 0, G_MAXUINT, 0, RW);
    camera_properties[PROP_ROI_WIDTH] =
        g_param_spec_uint ("roi-width", "Width", "Width of the region of interest", 1, G_MAXUINT, 1, RW);
    camera_properties[PROP_ROI_HEIGHT] =
        g_param_spec_uint ("roi-height", "Height", "Height of the region of interest", 1, G_MAXUINT, 1, RW);
    camera_properties[PROP_ROI_WIDTH_MULTIPLIER] =
        g_param_spec_uint ("roi-width-multiplier", "Horizontal ROI multiplier",
                           "Minimum possible step size of horizontal ROI", 1, G_MAXUINT, 1, R);
    camera_properties[PROP_ROI_HEIGHT_MULTIPLIER] =
        g_param_spec_uint ("roi-height-multiplier", "Vertical ROI multiplier",
                           "Minimum possible step size of vertical ROI", 1, G_MAXUINT, 1, R);
    camera_properties[PROP_HAS_STREAMING] = g_param_spec_boolean ("has-streaming", "Streaming capability",
                                                                  "Is the camera able to stream the data", TRUE, R);
    camera_properties[PROP_HAS_CAMRAM_RECORDING] = g_param_spec_boolean (
        "has-camram-recording", "Cam-RAM capability", "Is the camera able to record the data in-camera", FALSE, R);
    camera_properties[PROP_RECORDED_FRAMES] =
        g_param_spec_uint ("recorded-frames", "Number of frames recorded into internal camera memory",
                           "Number of frames recorded into internal camera memory", 0, G_MAXUINT, 0, R);
    camera_properties[PROP_TRANSFER_ASYNCHRONOUSLY] = g_param_spec_boolean (
        "transfer-asynchronously", "Specify whether data should be transfered asynchronously",
        "Specify whether data should be transfered asynchronously using a specified callback", FALSE, RW);
    camera_properties[PROP_IS_RECORDING] =
        g_param_spec_boolean ("is-recording", "Is camera recording", "Is the camera currently recording", FALSE, R);
    camera_properties[PROP_IS_READOUT] =
        g_param_spec_boolean ("is-readout", "Is camera in readout mode", "Is camera in readout mode", FALSE, R);
    camera_properties[PROP_BUFFERED] = g_param_spec_boolean ("buffered", "TRUE if libuca should buffer frames",
                                                             "TRUE if libuca should buffer frames", FALSE, RW);
    camera_properties[PROP_NUM_BUFFERS] =
        g_param_spec_uint ("num-buffers", "Number of frame buffers in the ring buffer ",
                           "Number of frame buffers in the ring buffer ", 0, G_MAXUINT, 4, RW);

    g_object_class_install_properties (oclass, N_BASE_PROPERTIES, camera_properties);
}

static void
register_base_units (void)
{
    static const struct {
        guint property_id;
        UcaUnit unit;
    } units[] = {
        { PROP_SENSOR_WIDTH, UCA_UNIT_PIXEL },
        { PROP_SENSOR_HEIGHT, UCA_UNIT_PIXEL },
        { PROP_SENSOR_HORIZONTAL_BINNING, UCA_UNIT_PIXEL },
        { PROP_SENSOR_VERTICAL_BINNING, UCA_UNIT_PIXEL },
        { PROP_ROI_X, UCA_UNIT_PIXEL },
        { PROP_ROI_Y, UCA_UNIT_PIXEL },
        { PROP_ROI_WIDTH, UCA_UNIT_PIXEL },
        { PROP_ROI_HEIGHT, UCA_UNIT_PIXEL },
        { PROP_ROI_WIDTH_MULTIPLIER, UCA_UNIT_PIXEL },
        { PROP_ROI_HEIGHT_MULTIPLIER, UCA_UNIT_PIXEL },
        { PROP_SENSOR_PIXEL_WIDTH, UCA_UNIT_METER },
        { PROP_SENSOR_PIXEL_HEIGHT, UCA_UNIT_METER },
        { PROP_SENSOR_BITDEPTH, UCA_UNIT_COUNT },
        { PROP_FRAMES_PER_SECOND, UCA_UNIT_COUNT },
        { PROP_RECORDED_FRAMES, UCA_UNIT_COUNT },
        { PROP_EXPOSURE_TIME, UCA_UNIT_SECOND },
    };

    for (gsize i = 0; i < G_N_ELEMENTS (units); i++)
        set_unit (camera_properties[units[i].property_id], units[i].unit);
}

/* Every camera's init: the base properties carry their units while any camera lives. */
void
uca_camera_hold_base_units (void)
{
    pthread_mutex_lock (&units_lock);
    n_live_cameras++;
    register_base_units ();
    pthread_mutex_unlock (&units_lock);
}

/* Every camera's finalize: the last camera to go clears the units of its class's properties. */
void
uca_camera_release_base_units (GObjectClass *klass)
{
    pthread_mutex_lock (&units_lock);

    if (--n_live_cameras == 0)
        clear_units (klass);

    pthread_mutex_unlock (&units_lock);
}

void
uca_camera_register_unit (UcaCamera *camera, const gchar *prop_name, UcaUnit unit)
{
    GParamSpec *pspec;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    g_return_if_fail (prop_name != NULL);

    pspec = find_property (camera, prop_name);

    if (pspec != NULL)
        set_unit (pspec, unit);
}

UcaUnit
uca_camera_get_unit (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), UCA_UNIT_NA);
    g_return_val_if_fail (prop_name != NULL, UCA_UNIT_NA);

    pspec = find_property (camera, prop_name);

    if (pspec == NULL)
        return UCA_UNIT_NA;

    return (UcaUnit) GPOINTER_TO_INT (g_param_spec_get_qdata (pspec, uca_unit_quark ()));
}

void
uca_camera_pspec_set_writable (GParamSpec *pspec, gboolean writable)
{
    g_return_if_fail (G_IS_PARAM_SPEC (pspec));

    if (g_param_spec_get_qdata (pspec, uca_writable_quark ()) != NULL) {
        g_warning ("::%s is already fixed", pspec->name);
        return;
    }

    g_param_spec_set_qdata (pspec, uca_writable_quark (), GINT_TO_POINTER (writable));
}

void
uca_camera_set_writable (UcaCamera *camera, const gchar *prop_name, gboolean writable)
{
    GParamSpec *pspec;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    g_return_if_fail (prop_name != NULL);

    pspec = find_property (camera, prop_name);

    if (pspec != NULL)
        uca_camera_pspec_set_writable (pspec, writable);
}

gboolean
uca_camera_is_writable_during_acquisition (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_return_val_if_fail (prop_name != NULL, FALSE);

    pspec = find_property (camera, prop_name);

    return pspec != NULL && (pspec->flags & G_PARAM_WRITABLE) != 0 &&
           g_param_spec_get_qdata (pspec, uca_writable_quark ()) != NULL;
}
