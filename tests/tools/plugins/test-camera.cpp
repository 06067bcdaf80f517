// SPDX-License-Identifier: LGPL-2.1-or-later
// The test camera of the libuca and the tools tests, loaded as a plug-in. Each grabbed frame starts
// with its sequence number (guint32) and is filled with that number's low byte. Its unsigned
// properties let a test make initialisation, start, stop or grab fail, make grab wait for a
// trigger, and count what happened; grab runs in the client's thread or libuca's read thread.
// The properties after those exercise every case the tools distinguish: signed and unsigned
// numbers (one above G_MAXINT), float, enumerations with and without values, write-only and
// flag-less properties, extra flag bits, a missing blurb, a unichar, the longest name, and names
// whose byte-wise order differs from their installation order. UCA_TOOLS_TEST_INIT makes
// initialisation fail: "fail" with an error record, "silent" without one.
#include <uca/uca-camera.h>

#include <gio/gio.h>
#include <gmodule.h>

#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

// The own properties: switches, read-only counters (from frames-grabbed on), then the cases the
// tools distinguish. fail-grab-after: frames before grab fails, 0: never; roi-width-at-start: the
// width the device takes as it starts, 0: as set; device-recording: is-recording too.
// clang-format off
enum : guint {
    PROP_DEVICE_RECORDING = N_BASE_PROPERTIES, PROP_FAIL_INIT, PROP_FAIL_START, PROP_FAIL_STOP, PROP_FAIL_GRAB_AFTER,
    PROP_GRAB_WAITS_FOR_TRIGGER, PROP_FRAME_INTERVAL_US, PROP_ROI_WIDTH_AT_START,
    PROP_FRAMES_GRABBED, PROP_TRIGGERS, PROP_WAITING_GRABS, PROP_STOPS,
    PROP_LEVEL_X, PROP_LEVEL_2, PROP_LEVEL_B, PROP_LEVEL, PROP_SECRET, PROP_DORMANT, PROP_SERIAL, PROP_CAPACITY,
    PROP_QUIET, PROP_INITIAL, PROP_ZOOM, PROP_LONG_NAMED, N_PROPERTIES
};

const guint overridden[] = {PROP_NAME, PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH, PROP_EXPOSURE_TIME,
                            PROP_ROI_X, PROP_ROI_Y, PROP_ROI_WIDTH, PROP_ROI_HEIGHT, PROP_HAS_STREAMING,
                            PROP_HAS_CAMRAM_RECORDING, PROP_IS_RECORDING};
// clang-format on
GParamSpec *ownProperties[N_PROPERTIES];

GType modeType(const char *name)
{
    static const GEnumValue modes[] = {{-1, "TOOLS_TEST_MODE_OFF", "off"},
                                       {0, "TOOLS_TEST_MODE_SLOW", "slow"},
                                       {7, "TOOLS_TEST_MODE_FAST", "fast"},
                                       {0, nullptr, nullptr}};
    static const GType types[] = {g_enum_register_static("ToolsTestMode", modes),
                                  g_enum_register_static("ToolsTestVoid", modes + 3)};
    return types[g_strcmp0(name, "ToolsTestVoid") == 0];
}

// g_param_spec_enum insists on a valid default, which an enumeration without values cannot have;
// the parameter is built the way it does, minus that check.
GParamSpec *voidEnumParam(const char *name)
{
    auto *param = static_cast<GParamSpecEnum *>(
        g_param_spec_internal(G_TYPE_PARAM_ENUM, name, "Empty enumeration",
                              "An enumeration without values", G_PARAM_READABLE));
    G_PARAM_SPEC(param)->value_type = modeType("ToolsTestVoid");
    param->enum_class =
        static_cast<GEnumClass *>(g_type_class_ref(G_PARAM_SPEC(param)->value_type));
    param->default_value = 0;
    return G_PARAM_SPEC(param);
}

} // namespace

struct UcaTestCamera {
    UcaCamera parent;
    GMutex lock;
    GCond triggered;
    GValue values[N_PROPERTIES]; // guarded by lock
    guint triggersConsumed;      // guarded by lock

    guint get(guint id) { return g_value_get_uint(&values[id]); } // lock held
    void set(guint id, guint value) { g_value_set_uint(&values[id], value); }
    guint locked(guint id)
    {
        g_autoptr(GMutexLocker) hold = g_mutex_locker_new(&lock);
        return get(id);
    }
    void change(guint id, guint delta, bool replace = false)
    {
        g_autoptr(GMutexLocker) hold = g_mutex_locker_new(&lock);
        set(id, (replace ? 0 : get(id)) + delta);
        g_cond_broadcast(&triggered); // a trigger for a waiting grab
    }
    bool refuse(guint id, const char *message, GError **error)
    {
        if (locked(id) == 0)
            return false;
        g_set_error_literal(
            error, UCA_CAMERA_ERROR,
            id == PROP_FAIL_INIT ? UCA_CAMERA_ERROR_NOT_FOUND : UCA_CAMERA_ERROR_DEVICE, message);
        return true;
    }
    void fill(gpointer data, guint32 sequence)
    {
        std::memset(data, sequence & 0xff, locked(PROP_ROI_WIDTH) * locked(PROP_ROI_HEIGHT) * 2);
        std::memcpy(data, &sequence, sizeof(sequence));
    }
    // A grab waiting for a trigger gives up after 5 s, so that a trigger that never comes fails it.
    bool grab(gpointer data, GError **error)
    {
        g_usleep(locked(PROP_FRAME_INTERVAL_US));
        const gint64 deadline = g_get_monotonic_time() + 5 * G_TIME_SPAN_SECOND;
        guint32 sequence;
        {
            g_autoptr(GMutexLocker) hold = g_mutex_locker_new(&lock);
            if (get(PROP_FAIL_GRAB_AFTER) > 0 &&
                get(PROP_FRAMES_GRABBED) >= get(PROP_FAIL_GRAB_AFTER)) {
                g_set_error_literal(error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                                    "Detector lost");
                return false;
            }
            bool triggered_ = true;
            if (get(PROP_GRAB_WAITS_FOR_TRIGGER)) {
                set(PROP_WAITING_GRABS, get(PROP_WAITING_GRABS) + 1);
                while (triggered_ && get(PROP_TRIGGERS) == triggersConsumed)
                    triggered_ = g_cond_wait_until(&triggered, &lock, deadline);
                set(PROP_WAITING_GRABS, get(PROP_WAITING_GRABS) - 1);
                triggersConsumed += triggered_;
            }
            if (!triggered_) {
                g_set_error_literal(error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_TIMEOUT,
                                    "No trigger arrived");
                return false;
            }
            sequence = get(PROP_FRAMES_GRABBED) + 1;
            set(PROP_FRAMES_GRABBED, sequence);
        }
        fill(data, sequence);
        return true;
    }
};

struct UcaTestCameraClass {
    UcaCameraClass parent;
};

GType uca_test_camera_get_type(void);
extern "C" G_MODULE_EXPORT GType camera_plugin_get_type(void);

static void uca_test_camera_initable_iface_init(GInitableIface *iface)
{
    iface->init = [](GInitable *self, GCancellable *, GError **error) -> gboolean {
        const char *mode = g_getenv("UCA_TOOLS_TEST_INIT");
        if (g_strcmp0(mode, "fail") == 0)
            g_set_error(error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                        "Tools test camera refused to start");
        return !reinterpret_cast<UcaTestCamera *>(self)->refuse(PROP_FAIL_INIT,
                                                                "No test device attached", error) &&
               mode == nullptr;
    };
}

G_DEFINE_TYPE_WITH_CODE(UcaTestCamera, uca_test_camera, UCA_TYPE_CAMERA,
                        G_IMPLEMENT_INTERFACE(G_TYPE_INITABLE, uca_test_camera_initable_iface_init))

static UcaTestCamera *self(gpointer camera)
{
    return reinterpret_cast<UcaTestCamera *>(camera);
}

static void uca_test_camera_class_init(UcaTestCameraClass *klass)
{
    static const char *const names[] = {
        "device-recording",  "fail-init",          "fail-start",
        "fail-stop",         "fail-grab-after",    "grab-waits-for-trigger",
        "frame-interval-us", "roi-width-at-start", "frames-grabbed",
        "triggers",          "waiting-grabs",      "stops"};
    GObjectClass *oclass = G_OBJECT_CLASS(klass);
    oclass->set_property = [](GObject *object, guint id, const GValue *value, GParamSpec *) {
        g_autoptr(GMutexLocker) hold = g_mutex_locker_new(&self(object)->lock);
        g_value_copy(value, &self(object)->values[id]);
    };
    oclass->get_property = [](GObject *object, guint id, GValue *value, GParamSpec *) {
        g_autoptr(GMutexLocker) hold = g_mutex_locker_new(&self(object)->lock);
        if (id == PROP_IS_RECORDING)
            g_value_set_boolean(value, self(object)->get(PROP_DEVICE_RECORDING));
        else
            g_value_copy(&self(object)->values[id], value);
    };
    oclass->finalize = [](GObject *object) {
        g_cond_clear(&self(object)->triggered);
        g_mutex_clear(&self(object)->lock);
        G_OBJECT_CLASS(uca_test_camera_parent_class)->finalize(object);
    };

    UcaCameraClass *slots = UCA_CAMERA_CLASS(klass);
    slots->start_recording = [](UcaCamera *camera, GError **error) {
        const guint width = self(camera)->locked(PROP_ROI_WIDTH_AT_START);
        if (self(camera)->refuse(PROP_FAIL_START, "Device refused to start", error))
            return;
        if (width > 0)
            self(camera)->change(PROP_ROI_WIDTH, width, true);
        self(camera)->change(PROP_DEVICE_RECORDING, TRUE, true);
    };
    slots->stop_recording = [](UcaCamera *camera, GError **error) {
        if (self(camera)->refuse(PROP_FAIL_STOP, "Device refused to stop", error))
            return;
        self(camera)->change(PROP_DEVICE_RECORDING, FALSE, true);
        self(camera)->change(PROP_STOPS, 1);
    };
    slots->start_readout = slots->stop_readout = [](UcaCamera *, GError **) {};
    slots->trigger = [](UcaCamera *camera, GError **) { self(camera)->change(PROP_TRIGGERS, 1); };
    slots->grab = [](UcaCamera *camera, gpointer data, GError **error) -> gboolean {
        return self(camera)->grab(data, error);
    };
    slots->readout = [](UcaCamera *camera, gpointer data, guint index, GError **) -> gboolean {
        self(camera)->fill(data, index);
        return TRUE;
    };

    for (guint id : overridden)
        g_object_class_override_property(oclass, id, uca_camera_props[id]);
    for (guint id = N_BASE_PROPERTIES; id < PROP_LEVEL_X; id++) {
        const char *name = names[id - N_BASE_PROPERTIES];
        const auto flags = GParamFlags(
            id < PROP_FRAMES_GRABBED ? G_PARAM_READWRITE | G_PARAM_CONSTRUCT : G_PARAM_READABLE);
        ownProperties[id] = g_param_spec_uint(name, name, name, 0, G_MAXUINT, 0, flags);
    }
    const GParamFlags RW = G_PARAM_READWRITE, R = G_PARAM_READABLE;
    GParamSpec **own = ownProperties;
    own[PROP_LEVEL_X] = g_param_spec_int("levelX", "Level X", "Signed level", -100, 100, -5, RW);
    own[PROP_LEVEL_2] = g_param_spec_float("level2", "Level 2", "Float level", 0.5f, 1000.0f, 2.5f,
                                           GParamFlags(RW | G_PARAM_STATIC_STRINGS));
    own[PROP_LEVEL_B] =
        g_param_spec_enum("level-b", "Level B", "Operating mode", modeType("ToolsTestMode"), 0, RW);
    own[PROP_LEVEL] = voidEnumParam("level");
    own[PROP_SECRET] =
        g_param_spec_uint("secret", "Secret", "Write-only key", 0, 10, 3, G_PARAM_WRITABLE);
    own[PROP_DORMANT] =
        g_param_spec_boolean("dormant", "Dormant", "Neither readable nor writable", TRUE, R);
    own[PROP_SERIAL] = g_param_spec_string("serial", "Serial", "Serial number", "none",
                                           GParamFlags(R | G_PARAM_STATIC_STRINGS));
    own[PROP_CAPACITY] = g_param_spec_uint("capacity", "Capacity", "Bytes of storage", 0, G_MAXUINT,
                                           3000000000u, RW);
    own[PROP_QUIET] = g_param_spec_double("quiet", "Quiet", nullptr, 0.0, 1.0, 0.5, R);
    own[PROP_INITIAL] = g_param_spec_unichar("initial", "Initial", "A character", 'A', R);
    own[PROP_ZOOM] = g_param_spec_uint("Zoom", "Zoom", "Zoom factor", 1, 8, 1, RW);
    own[PROP_LONG_NAMED] = g_param_spec_boolean("a-property-with-a-rather-long-name", "Long",
                                                "The longest name", FALSE, RW);
    // Installed in id order, which is the order the type system lists them in.
    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++)
        g_object_class_install_property(oclass, id, own[id]);
    // GObject refuses to install a property without access, so the flags are cleared after.
    own[PROP_DORMANT]->flags = GParamFlags(0);
}

static void uca_test_camera_init(UcaTestCamera *camera)
{
    GValue *v = camera->values;
    g_mutex_init(&camera->lock);
    g_cond_init(&camera->triggered);
    auto initialise = [v](guint id, GParamSpec *pspec) {
        g_param_value_set_default(pspec, g_value_init(&v[id], G_PARAM_SPEC_VALUE_TYPE(pspec)));
    };
    for (guint id : overridden)
        initialise(id,
                   g_object_class_find_property(G_OBJECT_GET_CLASS(camera), uca_camera_props[id]));
    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++)
        initialise(id, ownProperties[id]);
    g_value_set_static_string(&v[PROP_NAME], "tools test camera");
    g_value_set_double(&v[PROP_EXPOSURE_TIME], 0.25);
    g_value_set_boolean(&v[PROP_HAS_STREAMING], TRUE);
    g_value_set_int(&v[PROP_LEVEL_X], -7);
    g_value_set_enum(&v[PROP_LEVEL_B], 7);
    g_value_set_static_string(&v[PROP_SERIAL], "TT-0042");
    for (auto [id, value] : {std::pair<guint, guint>{PROP_SENSOR_WIDTH, 640},
                             {PROP_ROI_WIDTH, 640},
                             {PROP_SENSOR_HEIGHT, 480},
                             {PROP_ROI_HEIGHT, 480},
                             {PROP_SENSOR_BITDEPTH, 12},
                             {PROP_CAPACITY, 4000000000u},
                             {PROP_INITIAL, 'T'},
                             {PROP_ZOOM, 2}})
        camera->set(id, value);
    g_value_set_boolean(&v[PROP_LONG_NAMED], TRUE);
}

GType camera_plugin_get_type(void)
{
    return uca_test_camera_get_type();
}
