/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca camera whose properties exercise every case the tools distinguish: signed and
 * unsigned numbers (one above G_MAXINT), float, enumerations with and without values, write-only
 * and flag-less properties, extra flag bits, a missing blurb, a unichar, the longest name, and
 * names whose byte-wise order differs from their installation order. Every property keeps its
 * value in a GValue of its own.
 *
 * The environment variable UCA_TOOLS_TEST_INIT makes initialisation fail: "fail" with an error
 * record, "silent" without one. */

#include <gio/gio.h>
#include <gmodule.h>
#include <uca/uca-camera.h>

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

typedef struct {
    UcaCamera parent;
    GValue values[N_PROPERTIES];
} UcaToolsTestCamera;

typedef struct {
    UcaCameraClass parent;
} UcaToolsTestCameraClass;

static GParamSpec *own_properties[N_PROPERTIES - N_BASE_PROPERTIES];

static const gint base_overrides[] = {
    PROP_NAME,  PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH, PROP_EXPOSURE_TIME,        PROP_ROI_X,
    PROP_ROI_Y, PROP_ROI_WIDTH,    PROP_ROI_HEIGHT,    PROP_HAS_STREAMING,   PROP_HAS_CAMRAM_RECORDING,
};

G_MODULE_EXPORT GType camera_plugin_get_type (void);
GType uca_tools_test_camera_get_type (void);
static void uca_tools_test_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaToolsTestCamera, uca_tools_test_camera, UCA_TYPE_CAMERA,
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_tools_test_camera_initable_iface_init))

static GType
tools_test_mode_get_type (void)
{
    static const GEnumValue values[] = {
        { -1, "TOOLS_TEST_MODE_OFF", "off" },
        { 0, "TOOLS_TEST_MODE_SLOW", "slow" },
        { 7, "TOOLS_TEST_MODE_FAST", "fast" },
        { 0, NULL, NULL },
    };
    static const GEnumValue no_values[] = { { 0, NULL, NULL } };
    static GType types[2];

    if (types[0] == 0) {
        types[0] = g_enum_register_static ("ToolsTestMode", values);
        types[1] = g_enum_register_static ("ToolsTestVoid", no_values);
    }

    return types[0];
}

/* g_param_spec_enum insists on a valid default, which an enumeration without values cannot
 * have; build the parameter the way it does, minus that check. */
static GParamSpec *
void_enum_param (const gchar *name)
{
    GParamSpecEnum *param = g_param_spec_internal (G_TYPE_PARAM_ENUM, name, "Empty enumeration",
                                                   "An enumeration without values", G_PARAM_READABLE);

    tools_test_mode_get_type ();
    G_PARAM_SPEC (param)->value_type = g_type_from_name ("ToolsTestVoid");
    param->enum_class = g_type_class_ref (G_PARAM_SPEC (param)->value_type);
    param->default_value = 0;
    return G_PARAM_SPEC (param);
}

static void
uca_tools_test_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    (void) pspec;
    g_value_copy (value, &((UcaToolsTestCamera *) object)->values[property_id]);
}

static void
uca_tools_test_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    (void) pspec;
    g_value_copy (&((UcaToolsTestCamera *) object)->values[property_id], value);
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
uca_tools_test_camera_class_init (UcaToolsTestCameraClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);
    GParamSpec **own = own_properties;
    GParamSpec *own_in_id_order[] = {
        g_param_spec_int ("levelX", "Level X", "Signed level", -100, 100, -5, G_PARAM_READWRITE),
        g_param_spec_float ("level2", "Level 2", "Float level", 0.5f, 1000.0f, 2.5f,
                            G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS),
        g_param_spec_enum ("level-b", "Level B", "Operating mode", tools_test_mode_get_type (), 0, G_PARAM_READWRITE),
        void_enum_param ("level"),
        g_param_spec_uint ("secret", "Secret", "Write-only key", 0, 10, 3, G_PARAM_WRITABLE),
        g_param_spec_boolean ("dormant", "Dormant", "Neither readable nor writable", TRUE, G_PARAM_READABLE),
        g_param_spec_string ("serial", "Serial", "Serial number", "none", G_PARAM_READABLE | G_PARAM_STATIC_STRINGS),
        g_param_spec_uint ("capacity", "Capacity", "Bytes of storage", 0, G_MAXUINT, 3000000000u, G_PARAM_READWRITE),
        g_param_spec_double ("quiet", "Quiet", NULL, 0.0, 1.0, 0.5, G_PARAM_READABLE),
        g_param_spec_unichar ("initial", "Initial", "A character", 'A', G_PARAM_READABLE),
        g_param_spec_uint ("Zoom", "Zoom", "Zoom factor", 1, 8, 1, G_PARAM_READWRITE),
        g_param_spec_boolean ("a-property-with-a-rather-long-name", "Long", "The longest name", FALSE,
                              G_PARAM_READWRITE),
    };

    oclass->set_property = uca_tools_test_camera_set_property;
    oclass->get_property = uca_tools_test_camera_get_property;

    for (guint i = 0; i < G_N_ELEMENTS (base_overrides); i++)
        g_object_class_override_property (oclass, base_overrides[i], uca_camera_props[base_overrides[i]]);

    /* Installed in id order, which is the order the type system lists them in. */
    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++) {
        own[id - N_BASE_PROPERTIES] = own_in_id_order[id - N_BASE_PROPERTIES];
        g_object_class_install_property (oclass, id, own[id - N_BASE_PROPERTIES]);
    }

    /* GObject refuses to install a property without access, so the flags are cleared after. */
    own[PROP_DORMANT - N_BASE_PROPERTIES]->flags = 0;
}

static void
init_value (GValue *values, guint id, GParamSpec *pspec)
{
    g_value_init (&values[id], G_PARAM_SPEC_VALUE_TYPE (pspec));
    g_param_value_set_default (pspec, &values[id]);
}

static void
uca_tools_test_camera_init (UcaToolsTestCamera *self)
{
    GValue *v = self->values;

    for (guint i = 0; i < G_N_ELEMENTS (base_overrides); i++)
        init_value (v, base_overrides[i],
                    g_object_class_find_property (G_OBJECT_GET_CLASS (self), uca_camera_props[base_overrides[i]]));

    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++)
        init_value (v, id, own_properties[id - N_BASE_PROPERTIES]);

    g_value_set_static_string (&v[PROP_NAME], "tools test camera");
    g_value_set_uint (&v[PROP_SENSOR_WIDTH], 640);
    g_value_set_uint (&v[PROP_SENSOR_HEIGHT], 480);
    g_value_set_uint (&v[PROP_SENSOR_BITDEPTH], 12);
    g_value_set_double (&v[PROP_EXPOSURE_TIME], 0.25);
    g_value_set_uint (&v[PROP_ROI_WIDTH], 640);
    g_value_set_uint (&v[PROP_ROI_HEIGHT], 480);
    g_value_set_boolean (&v[PROP_HAS_STREAMING], TRUE);
    g_value_set_int (&v[PROP_LEVEL_X], -7);
    g_value_set_enum (&v[PROP_LEVEL_B], 7);
    g_value_set_static_string (&v[PROP_SERIAL], "TT-0042");
    g_value_set_uint (&v[PROP_CAPACITY], 4000000000u);
    g_value_set_uint (&v[PROP_INITIAL], 'T');
    g_value_set_uint (&v[PROP_ZOOM], 2);
    g_value_set_boolean (&v[PROP_LONG_NAMED], TRUE);
}

G_MODULE_EXPORT GType
camera_plugin_get_type (void)
{
    return uca_tools_test_camera_get_type ();
}
