// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fuzz-support.h"

#include <uca/uca-plugin-manager.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace TessaraVoltFuzz {

thread_local unsigned expectedCriticals = 0;

namespace {

void handleLog(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
    // Warnings are the camera's answers to bad values; only what GLib calls a programming error
    // fails a run.
    if ((level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) && expectedCriticals == 0)
        fail("GLib message from %s: %s", domain ? domain : "the program", message);
}

// Logged calls of `function` that XISL refused.
uint64_t refusedCalls(const char *function)
{
    uint64_t refused = 0;
    XislSimCall call{};
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++)
        refused += call.status != 0 && std::strcmp(call.function, function) == 0;
    return refused;
}

} // namespace

void prepareProcess(int *argc, char ***argv, bool camera)
{
    // libuca allocates a buffered recording's ring of num-buffers frames, any number a client may
    // set: an allocation it cannot get must fail as it would without the sanitizer (g_try_malloc
    // answers NULL), not end the run. First, so that the caller's own flags win.
    static std::vector<char *> arguments(*argv, *argv + *argc);
    arguments.insert(arguments.begin() + 1, const_cast<char *>("-malloc_limit_mb=2147483647"));
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size() - 1);
    *argv = arguments.data();

    g_setenv("UCA_CAMERA_PATH", TESSARAVOLT_PLUGIN_DIR, TRUE);
    g_unsetenv("XISL_SIM");
    // The driver logs every start and binning change; a run makes thousands.
    spdlog::register_logger(std::make_shared<spdlog::logger>(
        "Detector", std::make_shared<spdlog::sinks::null_sink_mt>()));
    g_log_set_default_handler(handleLog, nullptr);
    if (camera) {
        createCamera(nullptr);
        xisl_sim_reset();
    }
}

void fail(const char *format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("fuzz check failed: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
    std::abort();
}

CameraPtr createCamera(GError **error)
{
    // Kept for the process: it only holds the search path.
    static UcaPluginManager *const manager = uca_plugin_manager_new();
    return CameraPtr(
        uca_plugin_manager_get_camera(manager, "tessaravolt", error, nullptr, nullptr));
}

void checkPropertiesReadable(UcaCamera *camera)
{
    guint count = 0;
    GParamSpec **pspecs = g_object_class_list_properties(G_OBJECT_GET_CLASS(camera), &count);
    gdouble exposure = 0;
    g_object_get(camera, "exposure-time", &exposure, nullptr);
    for (guint i = 0; i < count; i++) {
        // libuca answers 0, with a warning, while the exposure is 0: a rate it cannot give.
        if (!(pspecs[i]->flags & G_PARAM_READABLE) ||
            (exposure == 0 && g_str_equal(pspecs[i]->name, "frames-per-second")))
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, pspecs[i]->value_type);
        g_object_get_property(G_OBJECT(camera), pspecs[i]->name, &value);
        FUZZ_CHECK(!g_param_value_validate(pspecs[i], &value),
                   "property %s reads %s, outside its range", pspecs[i]->name,
                   g_strdup_value_contents(&value));
        g_value_unset(&value);
    }
    g_free(pspecs);
}

void checkSimulatorRules()
{
    XislSimCounters seen{};
    xisl_sim_get_counters(&seen);
    // Once the log is full, the refusals are no longer all in it.
    const bool logged = xisl_sim_call_count() < XISL_SIM_LOG_CAPACITY;
    // A camera goes with its last reference, which a callback still returning may hold for a
    // moment (libuca's stop notifies "is-recording" holding one): its detector closes on that
    // thread. One left open for seconds is left open.
    const uint64_t refusedCloses = logged ? refusedCalls("Acquisition_Close") : 0;
    for (int waited = 0; logged && seen.openHandles > refusedCloses && waited < 10000; waited++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        xisl_sim_get_counters(&seen);
    }
    FUZZ_CHECK(seen.callbacksAfterClose == 0 && seen.overlappingCallbacks == 0 &&
                   seen.callsOnClosedHandles == 0 &&
                   (!logged || (seen.framesNotHandedBack <= refusedCalls("Acquisition_SetReady") &&
                                seen.openHandles <= refusedCloses)),
               "callbacks after close or abort %llu, overlapping %llu, calls on closed handles "
               "%llu, frames not handed back %llu, handles left open %u",
               static_cast<unsigned long long>(seen.callbacksAfterClose),
               static_cast<unsigned long long>(seen.overlappingCallbacks),
               static_cast<unsigned long long>(seen.callsOnClosedHandles),
               static_cast<unsigned long long>(seen.framesNotHandedBack), seen.openHandles);
}

} // namespace TessaraVoltFuzz
