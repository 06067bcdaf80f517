/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <cstdint>
#include <optional>

// Heap allocations made by any thread of the process so far, or nothing when the count is not
// kept (sanitizer builds bring their own allocator).
std::optional<uint64_t> allocationCount();
