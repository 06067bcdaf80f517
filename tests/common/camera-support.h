// What the camera tests share: the tessaravolt camera made through libuca's plug-in manager on the
// simulated detector, the driver's log captured, and the simulator's documented pattern.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <uca/uca-plugin-manager.h>
#include <xisl-sim.h>

#include "sim-pattern.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace camera_support {

struct LogLine {
    int level; // spdlog::level or GLogLevelFlags, by source
    std::string text;
};

// Collects the driver's messages: registered as the "Detector" logger before the driver's first
// use, so that the driver writes through it.
class CapturingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        captured.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg &msg) override
    {
        captured.push_back({msg.level, std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> captured; // guarded by mutex_
};

inline CapturingSink &detectorLog()
{
    static const std::shared_ptr<CapturingSink> sink = [] {
        auto created = std::make_shared<CapturingSink>();
        spdlog::register_logger(std::make_shared<spdlog::logger>("Detector", created));
        return created;
    }();
    return *sink;
}

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CameraPtr = std::unique_ptr<UcaCamera, GObjectUnref>;

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

inline CameraPtr createCamera(GError **error)
{
    std::unique_ptr<UcaPluginManager, GObjectUnref> manager(uca_plugin_manager_new());
    return CameraPtr(
        uca_plugin_manager_get_camera(manager.get(), "tessaravolt", error, nullptr, nullptr));
}

// Every logged call of `function`, or every call when it is null.
inline std::vector<XislSimCall> simulatorCalls(const char *function)
{
    std::vector<XislSimCall> calls;
    XislSimCall call;
    for (size_t i = 0; xisl_sim_get_call(i, &call) == 0; i++)
        if (function == nullptr || std::strcmp(call.function, function) == 0)
            calls.push_back(call);
    return calls;
}

inline XislSimCounters simulatorCounters()
{
    XislSimCounters counters{};
    xisl_sim_get_counters(&counters);
    return counters;
}

using SimPattern::patternPixel;

struct Roi {
    uint32_t x0, y0, width, height;
};

} // namespace camera_support
