// SPDX-License-Identifier: LGPL-2.1-or-later
#include "fuzz-support.h"

#include <uca/uca-plugin-manager.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace TessaraVoltFuzz {

namespace {

thread_local unsigned expectedCriticals = 0;

void handleLog(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer)
{
    // Warnings are the camera's answers to bad values; only what GLib calls a programming error
    // fails a run.
    if ((level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR)) && expectedCriticals == 0)
        fail("GLib %s from %s: %s", (level & G_LOG_LEVEL_ERROR) ? "error" : "critical",
             domain ? domain : "the program", message);
}

// Logged calls of `function` that XISL refused; every refusal when the log overflowed is unknown.
uint64_t refusedCalls(const char *function)
{
    uint64_t refused = 0;
    XislSimCall call{};
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++)
        if (call.status != 0 && function == std::string(call.function))
            refused++;
    return refused;
}

// libuca allocates a buffered recording's ring of num-buffers frames, any number a client may
// set: an allocation it cannot get must fail as it would without the sanitizer (g_try_malloc
// answers NULL), not end the run. Memory the code asks for with new stays a failure.
constexpr const char *mallocLimit = "-malloc_limit_mb=2147483647";

} // namespace

void prepareProcess(int *argc, char ***argv)
{
    // First, so that the caller's own flags win; the array lives as long as the process.
    static std::vector<char *> arguments(*argv, *argv + *argc);
    arguments.insert(arguments.begin() + 1, const_cast<char *>(mallocLimit));
    arguments.push_back(nullptr);
    *argc = static_cast<int>(arguments.size() - 1);
    *argv = arguments.data();

    g_setenv("UCA_CAMERA_PATH", TESSARAVOLT_PLUGIN_DIR, TRUE);
    g_unsetenv("XISL_SIM");
    // The driver logs every start and binning change; a run makes thousands.
    spdlog::register_logger(std::make_shared<spdlog::logger>(
        "Detector", std::make_shared<spdlog::sinks::null_sink_mt>()));
    g_log_set_default_handler(handleLog, nullptr);
}

void preloadCamera()
{
    createCamera(nullptr);
    xisl_sim_reset();
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

void trace(const char *format, ...)
{
    static const bool enabled = g_getenv("TESSARAVOLT_FUZZ_TRACE") != nullptr;
    if (!enabled)
        return;
    std::fprintf(stderr, "%.3f ", g_get_monotonic_time() / 1e6);
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

ExpectedCriticals::ExpectedCriticals()
{
    expectedCriticals++;
}

ExpectedCriticals::~ExpectedCriticals()
{
    expectedCriticals--;
}

CameraPtr createCamera(GError **error)
{
    // Kept for the process: it only holds the search path.
    static UcaPluginManager *const manager = uca_plugin_manager_new();
    return CameraPtr(
        uca_plugin_manager_get_camera(manager, "tessaravolt", error, nullptr, nullptr));
}

HACQDESC detectorHandle()
{
    HACQDESC handle = nullptr;
    XislSimCall call{};
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++)
        if (std::strcmp(call.function, "Acquisition_GetHwHeaderInfoEx") == 0)
            handle = call.handle;
    return handle;
}

Roi roiOf(UcaCamera *camera)
{
    Roi roi{};
    g_object_get(camera, "roi-x0", &roi.x0, "roi-y0", &roi.y0, "roi-width", &roi.width,
                 "roi-height", &roi.height, nullptr);
    return roi;
}

void keepWaitsShort(UcaCamera *camera)
{
    constexpr gdouble longestExposure = 0.002;
    constexpr gdouble longestFrameTimeout = 0.02;
    constexpr guint mostBuffers = 16;
    gdouble exposure = 0;
    gdouble frameTimeout = 0;
    guint buffers = 0;
    g_object_get(camera, "exposure-time", &exposure, "frame-timeout", &frameTimeout, "num-buffers",
                 &buffers, nullptr);
    if (exposure > longestExposure)
        g_object_set(camera, "exposure-time", longestExposure, nullptr);
    if (frameTimeout > longestFrameTimeout)
        g_object_set(camera, "frame-timeout", longestFrameTimeout, nullptr);
    if (buffers > mostBuffers)
        g_object_set(camera, "num-buffers", mostBuffers, nullptr);
}

void checkPropertiesReadable(UcaCamera *camera)
{
    guint count = 0;
    GParamSpec **pspecs = g_object_class_list_properties(G_OBJECT_GET_CLASS(camera), &count);
    gdouble exposure = 0;
    g_object_get(camera, "exposure-time", &exposure, nullptr);
    for (guint i = 0; i < count; i++) {
        GParamSpec *pspec = pspecs[i];
        if (!(pspec->flags & G_PARAM_READABLE))
            continue;
        // libuca answers 0, with a warning, while the exposure is 0: a rate it cannot give.
        if (exposure == 0 && g_str_equal(pspec->name, "frames-per-second"))
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, pspec->value_type);
        g_object_get_property(G_OBJECT(camera), pspec->name, &value);
        gchar *text = g_strdup_value_contents(&value);
        const bool outside = g_param_value_validate(pspec, &value);
        FUZZ_CHECK(!outside, "property %s reads %s, outside its range", pspec->name, text);
        g_free(text);
        g_value_unset(&value);
    }
    g_free(pspecs);
}

void checkSimulatorRules()
{
    XislSimCounters seen{};
    xisl_sim_get_counters(&seen);
    FUZZ_CHECK(seen.callbacksAfterClose == 0, "%llu callbacks after close or abort",
               static_cast<unsigned long long>(seen.callbacksAfterClose));
    FUZZ_CHECK(seen.overlappingCallbacks == 0, "%llu overlapping callbacks",
               static_cast<unsigned long long>(seen.overlappingCallbacks));
    FUZZ_CHECK(seen.callsOnClosedHandles == 0, "%llu calls on closed handles",
               static_cast<unsigned long long>(seen.callsOnClosedHandles));
    if (xisl_sim_call_count() >= XISL_SIM_LOG_CAPACITY)
        return; // the refusals are no longer all in the log
    const uint64_t refusedHandBacks = refusedCalls("Acquisition_SetReady");
    FUZZ_CHECK(seen.framesNotHandedBack <= refusedHandBacks,
               "%llu frames not handed back, %llu hand-backs refused",
               static_cast<unsigned long long>(seen.framesNotHandedBack),
               static_cast<unsigned long long>(refusedHandBacks));
    FUZZ_CHECK(seen.openHandles <= refusedCalls("Acquisition_Close"),
               "%u handles left open after the camera went", seen.openHandles);
}

} // namespace TessaraVoltFuzz
