/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "calibration.h"
#include "correction.h"

namespace TessaraVolt {

// What the readout needs of a correction: to be told the settings of each acquisition before its
// first frame, and a plan for each frame. The readout borrows it for a recording.
//
// Threads: arm(), armUnknown() and disarm() run on client threads; getPlan() on XISL's callback
// thread for each frame, without waiting for the others.
class FrameCorrection {
public:
    virtual ~FrameCorrection() = default;

    // At the set-up of an acquisition taken with `settings`; returns the warnings to log.
    virtual std::vector<std::string> arm(const CalibrationKey &settings) = 0;
    // At a set-up whose settings are not all known (XISL refused one, said by `reason`).
    virtual std::vector<std::string> armUnknown(const std::string &reason) = 0;
    // Once the acquisition has ended.
    virtual void disarm() = 0;
    // The plan for the frame at hand; null for raw frames.
    virtual std::shared_ptr<const CorrectionPlan> getPlan() const = 0;
};

} // namespace TessaraVolt
