/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TessaraVoltTest {

// Variables mapped to std::nullopt are removed from the child's environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ChildResult {
    bool finished = false; // false: still running at the bound, and killed
    bool exited = false;   // ended by exiting, not by a signal
    int status = -1;       // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] with the test's own environment changed by `changes`, collects what it prints,
// and kills it once `bound` has passed. Throws when it cannot be started.
ChildResult runChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes,
                     std::chrono::milliseconds bound);

} // namespace TessaraVoltTest
