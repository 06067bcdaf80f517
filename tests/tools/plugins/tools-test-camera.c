/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca camera whose properties exercise every case the tools distinguish: signed and
 * unsigned numbers (one above G_MAXINT), float, enumerations with and without values, write-only
 * and flag-less properties, extra flag bits, a missing blurb, a unichar, the longest name, and
 * names whose byte-wise order differs from their installation order.
 *
 * The environment variable UCA_TOOLS_TEST_INIT makes initialisation fail: "fail" with an error
 * record, "silent" without one. */

#include <gio/gio.h>
#include <gmodule.h>
#include <uca/uca-camera.h>

typedef enum {
    TOOLS_TEST_MODE_OFF = -1,
    TOOLS_TEST_MODE_SLOW = 0,
    TOOLS_TEST_MODE_FAST = 7,
} ToolsTestMode;

typedef struct {
    UcaCamera parent;
} UcaToolsTestCamera;

typedef struct {
    UcaCameraClass parent;
} UcaToolsTestCameraClass;

typedef struct {
    gdouble exposure_time;
    guint roi[4];
    gint level_x;
    gfloat level_2;
    ToolsTestMode level_b;
    guint capacity;
    guint zoom;
    gboolean long_named;
} UcaToolsTestCameraPrivate;

enum {
    PROP_LEVEL_X = N_BASE_PROPERTIES,
    PROP_LEVEL_2,
    PROP_LEVEL_B,
    PROP_LEVEL,
    PROP_SECRET,
    PROP_DORMANT,
    PROP_SERIAL,
    PROP_CAPACITY,
    PROP_QUIET,
    PROP_INITIAL,
    PROP_ZOOM,
    PROP_LONG_NAMED,
    N_PROPERTIES
};

static const gint base_overrides[] = {
    PROP_NAME, PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH, PROP_EXPOSURE_TIME,
    PROP_ROI_X, PROP_ROI_Y, PROP_ROI_WIDTH, PROP_ROI_HEIGHT, PROP_HAS_STREAMING,
    PROP_HAS_CAMRAM_RECORDING,
};

GType camera_plugin_get_type (void);
GType uca_tools_test_camera_get_type (void);
static void uca_tools_test_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaToolsTestCamera, uca_tools_test_camera, UCA_TYPE_CAMERA,
                         G_ADD_PRIVATE (UcaToolsTestCamera)
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_tools_test_camera_initable_iface_init))

static GType
tools_test_mode_get_type (void)
{
    static const GEnumValue values[] = {
        { TOOLS_TEST_MODE_OFF, "TOOLS_TEST_MODE_OFF", "off" },
        { TOOLS_TEST_MODE_SLOW, "TOOLS_TEST_MODE_SLOW", "slow" },
        { TOOLS_TEST_MODE_FAST, "TOOLS_TEST_MODE_FAST", "fast" },
        { 0, NULL, NULL },
    };
    static GType type = 0;

    if (type == 0)
        type = g_enum_register_static ("ToolsTestMode", values);

    return type;
}

static GType
tools_test_void_get_type (void)
{
    static const GEnumValue no_values[] = { { 0, NULL, NULL } };
    static GType type = 0;

    if (type == 0)
        type = g_enum_register_static ("ToolsTestVoid", no_values);

    return type;
}

/* g_param_spec_enum insists on a valid default, which an enumeration without values cannot
 * have; build the parameter the way it does, minus that check. */
static GParamSpec *
void_enum_param (const gchar *name)
{
    GParamSpecEnum *param = g_param_spec_internal (G_TYPE_PARAM_ENUM, name, "Empty enumeration",
                                                  "An enumeration without values", G_PARAM_READABLE);

    param->enum_class = g_type_class_ref (tools_test_void_get_type ());
    param->default_value = 0;
    G_PARAM_SPEC (param)->value_type = tools_test_void_get_type ();
    return G_PARAM_SPEC (param);
}

static UcaToolsTestCameraPrivate *
get_priv (GObject *object)
{
    return uca_tools_test_camera_get_instance_private ((UcaToolsTestCamera *) object);
}

static void
uca_tools_test_camera_set_property (GObject *object, guint property_id, const GValue *value,
                                    GParamSpec *pspec)
{
    UcaToolsTestCameraPrivate *priv = get_priv (object);

    switch (property_id) {
        case PROP_EXPOSURE_TIME:
            priv->exposure_time = g_value_get_double (value);
            break;
        case PROP_ROI_X:
        case PROP_ROI_Y:
        case PROP_ROI_WIDTH:
        case PROP_ROI_HEIGHT:
            priv->roi[property_id - PROP_ROI_X] = g_value_get_uint (value);
            break;
        case PROP_LEVEL_X:
            priv->level_x = g_value_get_int (value);
            break;
        case PROP_LEVEL_2:
            priv->level_2 = g_value_get_float (value);
            break;
        case PROP_LEVEL_B:
            priv->level_b = g_value_get_enum (value);
            break;
        case PROP_SECRET:
            break;
        case PROP_CAPACITY:
            priv->capacity = g_value_get_uint (value);
            break;
        case PROP_ZOOM:
            priv->zoom = g_value_get_uint (value);
            break;
        case PROP_LONG_NAMED:
            priv->long_named = g_value_get_boolean (value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
    }
}

static void
uca_tools_test_camera_get_property (GObject *object, guint property_id, GValue *value,
                                    GParamSpec *pspec)
{
    UcaToolsTestCameraPrivate *priv = get_priv (object);

    switch (property_id) {
        case PROP_NAME:
            g_value_set_string (value, "tools test camera");
            break;
        case PROP_SENSOR_WIDTH:
            g_value_set_uint (value, 640);
            break;
        case PROP_SENSOR_HEIGHT:
            g_value_set_uint (value, 480);
            break;
        case PROP_SENSOR_BITDEPTH:
            g_value_set_uint (value, 12);
            break;
        case PROP_EXPOSURE_TIME:
            g_value_set_double (value, priv->exposure_time);
            break;
        case PROP_ROI_X:
        case PROP_ROI_Y:
        case PROP_ROI_WIDTH:
        case PROP_ROI_HEIGHT:
            g_value_set_uint (value, priv->roi[property_id - PROP_ROI_X]);
            break;
        case PROP_HAS_STREAMING:
            g_value_set_boolean (value, TRUE);
            break;
        case PROP_HAS_CAMRAM_RECORDING:
            g_value_set_boolean (value, FALSE);
            break;
        case PROP_LEVEL_X:
            g_value_set_int (value, priv->level_x);
            break;
        case PROP_LEVEL_2:
            g_value_set_float (value, priv->level_2);
            break;
        case PROP_LEVEL_B:
            g_value_set_enum (value, priv->level_b);
            break;
        case PROP_LEVEL:
            g_value_set_enum (value, 0);
            break;
        case PROP_SERIAL:
            g_value_set_string (value, "TT-0042");
            break;
        case PROP_CAPACITY:
            g_value_set_uint (value, priv->capacity);
            break;
        case PROP_QUIET:
            g_value_set_double (value, 0.5);
            break;
        case PROP_INITIAL:
            g_value_set_uint (value, 'T');
            break;
        case PROP_ZOOM:
            g_value_set_uint (value, priv->zoom);
            break;
        case PROP_LONG_NAMED:
            g_value_set_boolean (value, priv->long_named);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
    }
}

static gboolean
uca_tools_test_camera_initable_init (GInitable *initable, GCancellable *cancellable, GError **error)
{
    const gchar *mode = g_getenv ("UCA_TOOLS_TEST_INIT");

    (void) initable;
    (void) cancellable;

    if (g_strcmp0 (mode, "fail") == 0) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Tools test camera refused to start");
        return FALSE;
    }

    return g_strcmp0 (mode, "silent") != 0;
}

static void
uca_tools_test_camera_initable_iface_init (GInitableIface *iface)
{
    iface->init = uca_tools_test_camera_initable_init;
}

static void
install_own_properties (GObjectClass *oclass)
{
    GParamSpec *dormant;

    /* Installed in id order, which is the order the type system lists them in. */
    g_object_class_install_property (oclass, PROP_LEVEL_X,
        g_param_spec_int ("levelX", "Level X", "Signed level", -100, 100, -5, G_PARAM_READWRITE));
    g_object_class_install_property (oclass, PROP_LEVEL_2,
        g_param_spec_float ("level2", "Level 2", "Float level", 0.5f, 1000.0f, 2.5f,
                            G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property (oclass, PROP_LEVEL_B,
        g_param_spec_enum ("level-b", "Level B", "Operating mode", tools_test_mode_get_type (),
                           TOOLS_TEST_MODE_SLOW, G_PARAM_READWRITE));
    g_object_class_install_property (oclass, PROP_LEVEL, void_enum_param ("level"));
    g_object_class_install_property (oclass, PROP_SECRET,
        g_param_spec_uint ("secret", "Secret", "Write-only key", 0, 10, 3, G_PARAM_WRITABLE));

    /* GObject refuses to install a property without access, so the flags are cleared after. */
    dormant = g_param_spec_boolean ("dormant", "Dormant", "Neither readable nor writable", TRUE, G_PARAM_READABLE);
    g_object_class_install_property (oclass, PROP_DORMANT, dormant);
    dormant->flags = 0;

    g_object_class_install_property (oclass, PROP_SERIAL,
        g_param_spec_string ("serial", "Serial", "Serial number", "none",
                             G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property (oclass, PROP_CAPACITY,
        g_param_spec_uint ("capacity", "Capacity", "Bytes of storage", 0, G_MAXUINT, 3000000000u,
                           G_PARAM_READWRITE));
    g_object_class_install_property (oclass, PROP_QUIET,
        g_param_spec_double ("quiet", "Quiet", NULL, 0.0, 1.0, 0.5, G_PARAM_READABLE));
    g_object_class_install_property (oclass, PROP_INITIAL,
        g_param_spec_unichar ("initial", "Initial", "A character", 'A', G_PARAM_READABLE));
    g_object_class_install_property (oclass, PROP_ZOOM,
        g_param_spec_uint ("Zoom", "Zoom", "Zoom factor", 1, 8, 1, G_PARAM_READWRITE));
    g_object_class_install_property (oclass, PROP_LONG_NAMED,
        g_param_spec_boolean ("a-property-with-a-rather-long-name", "Long", "The longest name", FALSE,
                              G_PARAM_READWRITE));
}

static void
uca_tools_test_camera_class_init (UcaToolsTestCameraClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);

    oclass->set_property = uca_tools_test_camera_set_property;
    oclass->get_property = uca_tools_test_camera_get_property;

    for (guint i = 0; i < G_N_ELEMENTS (base_overrides); i++)
        g_object_class_override_property (oclass, base_overrides[i], uca_camera_props[base_overrides[i]]);

    install_own_properties (oclass);
}

static void
uca_tools_test_camera_init (UcaToolsTestCamera *self)
{
    UcaToolsTestCameraPrivate *priv = uca_tools_test_camera_get_instance_private (self);

    priv->exposure_time = 0.25;
    priv->roi[2] = 640;
    priv->roi[3] = 480;
    priv->level_x = -7;
    priv->level_2 = 2.5f;
    priv->level_b = TOOLS_TEST_MODE_FAST;
    priv->capacity = 4000000000u;
    priv->zoom = 2;
    priv->long_named = TRUE;
}

G_MODULE_EXPORT GType
camera_plugin_get_type (void)
{
    return uca_tools_test_camera_get_type ();
}
