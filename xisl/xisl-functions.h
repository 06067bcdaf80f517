/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The XISL calls by name: what the call log shows and fault injection accepts.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace XislSim {

enum class Function {
#define XISL_CALL(name, parameters, forward) name,
#include "xisl-calls.def"
#undef XISL_CALL
};

inline constexpr std::array kFunctionNames = {
#define XISL_CALL(name, parameters, forward) std::string_view("Acquisition_" #name),
#include "xisl-calls.def"
#undef XISL_CALL
};

// Null-terminated, as the names are string literals.
constexpr const char *getFunctionName(Function function)
{
    return kFunctionNames[static_cast<size_t>(function)].data();
}

// The call an XISL name stands for, e.g. "Acquisition_SetFrameSyncMode"; none for any other text.
constexpr std::optional<Function> findFunction(std::string_view name)
{
    for (size_t i = 0; i < kFunctionNames.size(); ++i) {
        if (kFunctionNames[i] == name)
            return static_cast<Function>(i);
    }
    return std::nullopt;
}

} // namespace XislSim
