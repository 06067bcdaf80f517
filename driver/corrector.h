/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The camera's correction state: what its properties ask for, the calibrations found, and the
// plan the copy applies to the frames of the running acquisition.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "calibration.h"
#include "correction.h"
#include "mutex.h"

namespace TessaraVolt {

// Frames are corrected only by a calibration taken with the settings they are taken with, and
// only with every correction asked for; otherwise they stay raw, and a warning and the status
// say why. No partial correction, no wrong dark.
//
// Threads: client threads call every member but getPlan(), which XISL's callback thread calls
// for each frame without waiting for the others. mutex_ serialises the client threads, a
// calibration being loaded included. Members return their warnings for the caller to log.
class Corrector {
public:
    Corrector() = default;
    Corrector(const Corrector &) = delete;
    Corrector &operator=(const Corrector &) = delete;
    Corrector(Corrector &&) = delete;
    Corrector &operator=(Corrector &&) = delete;

    // A calibration file or a folder of them, indexed at once; empty for none. `sensor` is the
    // detector's unbinned size. Warns about what makes it, or files of the folder, unusable.
    std::vector<std::string> setCalibrationPath(const std::string &path, FrameSize sensor);
    std::string getCalibrationPath() const;
    std::vector<std::string> setSwitches(const CorrectionSwitches &switches);
    CorrectionSwitches getSwitches() const;

    // At the set-up of an acquisition, before its first frame: decides what its frames get,
    // loading the matching calibration. Warns when a correction was asked for and the frames stay
    // raw, once for each reason in a row.
    std::vector<std::string> arm(const CalibrationKey &settings);
    // Once the acquisition has ended.
    void disarm();
    // What is loaded, whether it fits the settings (those of the armed acquisition, else
    // `idleSettings`) and what the frames get.
    std::string getStatus(const CalibrationKey &idleSettings) const;

    // XISL's thread: the plan for the frame at hand; null for raw frames.
    std::shared_ptr<const CorrectionPlan> getPlan() const;

private:
    struct Loaded {
        CalibrationEntry entry;
        CalibrationMaps maps;
        std::vector<uint8_t> defects;
        size_t defectCount = 0;
    };
    // What frames taken with some settings get, and why.
    struct Outcome {
        const CalibrationEntry *entry = nullptr; // the calibration that fits, if one does
        std::string fit;                         // for the status; empty without calibrations
        std::string rawReason;                   // set when a correction was asked for in vain
    };

    // Indexes path_ anew, dropping what was loaded; the warnings.
    std::vector<std::string> makeIndex(FrameSize sensor) TESSARAVOLT_REQUIRES(mutex_);
    Outcome judge(const CalibrationKey &settings) const TESSARAVOLT_REQUIRES(mutex_);
    // Publishes the plan for the armed settings; the warnings, if any.
    std::vector<std::string> apply() TESSARAVOLT_REQUIRES(mutex_);
    // Throws CalibrationChanged when the entry's file no longer is what the index says.
    std::shared_ptr<const CorrectionPlan> planFor(const CalibrationEntry &entry,
                                                  std::string &failure)
        TESSARAVOLT_REQUIRES(mutex_);
    std::string describeSource() const TESSARAVOLT_REQUIRES(mutex_);
    std::string compose(const Outcome &outcome, const std::string &failure) const
        TESSARAVOLT_REQUIRES(mutex_);

    mutable Mutex mutex_;
    CorrectionSwitches switches_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string path_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::unique_ptr<CalibrationIndex> index_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string indexError_ TESSARAVOLT_GUARDED_BY(mutex_); // why path_ cannot serve
    std::unique_ptr<const Loaded> loaded_ TESSARAVOLT_GUARDED_BY(mutex_);
    // The last plan made, for the loaded calibration and the switches it was made with.
    std::shared_ptr<const CorrectionPlan> lastPlan_ TESSARAVOLT_GUARDED_BY(mutex_);
    CorrectionSwitches lastPlanSwitches_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::unique_ptr<const CalibrationKey> armed_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string armedStatus_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string lastWarning_ TESSARAVOLT_GUARDED_BY(mutex_);
    // Written under mutex_ with std::atomic_store; XISL's thread reads it with std::atomic_load.
    std::shared_ptr<const CorrectionPlan> plan_;
};

} // namespace TessaraVolt
