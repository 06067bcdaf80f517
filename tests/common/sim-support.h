/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What every test on the simulated detector shares: its control interface read as C++ values,
// bounded polling, and the base fixture that starts each test on a fresh simulator and offers the
// checks of its rules. Free of GLib, so that the Windows build can use it.
#pragma once

#include <gtest/gtest.h>

#include "wait-until.h"
#include "xisl-sim.h"

#include <cstdint>
#include <string>
#include <vector>

namespace TessaraVoltTest {

inline XislSimSensor sensor(uint32_t width, uint32_t height, uint32_t headerId = 14,
                            uint32_t promId = 1)
{
    XislSimSensor result{};
    result.promId = promId;
    result.headerId = headerId;
    result.extendedHeaderId = static_cast<uint16_t>(headerId);
    result.cameraType = 7;
    result.width = width;
    result.height = height;
    return result;
}

// Every logged call of `function`, or every call when it is null, from the `first` on.
inline std::vector<XislSimCall> callsOf(const char *function, size_t first = 0)
{
    std::vector<XislSimCall> calls;
    XislSimCall call{};
    for (size_t i = first; xisl_sim_get_call(i, &call) == 0; i++)
        if (function == nullptr || function == std::string(call.function))
            calls.push_back(call);
    return calls;
}

// Names of the calls logged from `first` on, in order.
inline std::vector<std::string> callNamesFrom(size_t first)
{
    std::vector<std::string> names;
    for (const XislSimCall &call : callsOf(nullptr, first))
        names.emplace_back(call.function);
    return names;
}

// The handle of the last logged call of `function`, or null.
inline HACQDESC handleOfLast(const char *function)
{
    const std::vector<XislSimCall> calls = callsOf(function);
    return calls.empty() ? nullptr : calls.back().handle;
}

inline XislSimCounters counters()
{
    XislSimCounters result{};
    xisl_sim_get_counters(&result);
    return result;
}

// Starts every test on a freshly reset simulator. The checks are the simulator's rules for the
// code under test; each fixture runs those its code must keep.
class SimulatorFixture : public ::testing::Test {
protected:
    void SetUp() override { xisl_sim_reset(); }

    // No callback came after a close or an abort, and none overlapped another.
    static void expectCallbacksInOrder()
    {
        const XislSimCounters seen = counters();
        EXPECT_EQ(seen.callbacksAfterClose, 0u);
        EXPECT_EQ(seen.overlappingCallbacks, 0u);
    }
    static void expectNoCallOnClosedHandles() { EXPECT_EQ(counters().callsOnClosedHandles, 0u); }
    // After the code under test is gone: every handle closed, and nothing came too late.
    static void expectDetectorReleased()
    {
        EXPECT_EQ(counters().openHandles, 0u) << "a handle was left open";
        expectNoCallOnClosedHandles();
        expectCallbacksInOrder();
    }
};

} // namespace TessaraVoltTest
