/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace TessaraVoltTest {

// Polls `condition` until it holds or `limit` passes; true when it held.
inline bool waitUntil(const std::function<bool()> &condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace TessaraVoltTest
