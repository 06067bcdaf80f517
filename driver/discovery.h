/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <memory>
#include <vector>

#include "detector.h"

namespace TessaraVolt {

// Every attached sensor with a header identifier of 14 or above, in XISL's enumeration order.
// Throws std::runtime_error (already logged) when XISL fails; closes what it opened.
std::vector<std::unique_ptr<Detector>> findDetectors();

} // namespace TessaraVolt
