/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The camera's correction state: what its properties ask for, the calibrations found, and the
// plan the copy applies to the frames of the running acquisition.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibration.h"
#include "correction.h"
#include "frame-correction.h"
#include "mutex.h"

namespace TessaraVolt {

// What is done to frames, for whoever describes them.
struct CorrectionInForce {
    std::string corrections = "none"; // or "offset", "gain", "defects", comma-separated
    std::string calibrationPath;      // the calibration file that serves; empty when raw
    std::string calibrationStartTime; // its darks' start time, as the file says
};

// The calibration maps the frames of the armed acquisition are corrected with, of their region:
// each empty where its correction is not applied, both while none is armed.
struct AppliedMaps {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<float> flatfield; // the gain factor each pixel is multiplied with
    std::vector<uint32_t>
        pixelMask; // NeXus pixel_mask bits of the pixels replaced (nexusPixelMask)
};

// Frames are corrected only by a calibration taken with the settings they are taken with, and
// only with every correction asked for; otherwise they stay raw, and a warning and the status
// say why. No partial correction, no wrong dark.
//
// Threads: client threads call every member but getPlan(), which XISL's callback thread calls
// for each frame without waiting for the others. mutex_ serialises the client threads, a
// calibration being loaded included. Members return their warnings for the caller to log.
class Corrector final : public FrameCorrection {
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
    std::vector<std::string> arm(const CalibrationKey &settings) override;
    // At a set-up whose settings are not all known (XISL refused one, said by `reason`): no
    // calibration can be known to fit, so the frames stay raw.
    std::vector<std::string> armUnknown(const std::string &reason) override;
    // Once the acquisition has ended.
    void disarm() override;
    // What is loaded, whether it fits the settings of the armed acquisition and what its frames
    // get. While none is armed: the forecast for the next start's settings, `next` (unset, with
    // the reason in `nextUnknown`, where they cannot be known), saying that it is one.
    std::string getStatus(const std::optional<CalibrationKey> &next,
                          const std::string &nextUnknown) const;
    // What the frames of the armed acquisition get (or, while none is armed, those of the next
    // start, as getStatus() forecasts).
    CorrectionInForce getInForce(const std::optional<CalibrationKey> &next) const;

    // What getInForce() says of the armed acquisition, as maps; from the same published plan.
    // Only those asked for are made: at 8192 x 8192 each is 256 MiB.
    AppliedMaps getAppliedMaps(bool flatfield, bool pixelMask) const;

    // XISL's thread: the plan for the frame at hand; null for raw frames.
    std::shared_ptr<const CorrectionPlan> getPlan() const override;

private:
    struct Loaded {
        CalibrationEntry entry;
        CalibrationMaps maps;
        std::vector<uint8_t> defects;
        size_t defectCount = 0;
        std::string flatsUnusable; // why its flats, as read, cannot serve (maps without them)
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
    // Why the entry's flats cannot serve: as its attributes say, or, once read, as they show.
    std::string flatsUnusable(const CalibrationEntry &entry) const TESSARAVOLT_REQUIRES(mutex_);
    Outcome judgeUnknown(const std::string &reason) const TESSARAVOLT_REQUIRES(mutex_);
    // Publishes the plan for the armed settings; the warnings, if any.
    std::vector<std::string> apply() TESSARAVOLT_REQUIRES(mutex_);
    // At arming: reads files rewritten since they were indexed again, then apply().
    std::vector<std::string> refreshAndApply() TESSARAVOLT_REQUIRES(mutex_);
    // Throws CalibrationChanged when the entry's file no longer is what the index says. Warns
    // when the flats it reads cannot serve.
    std::shared_ptr<const CorrectionPlan>
    planFor(const CalibrationEntry &entry, std::string &failure, std::vector<std::string> &warnings)
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
    bool armedUnknown_ TESSARAVOLT_GUARDED_BY(mutex_) = false; // armed with unknown settings
    std::string armedUnknownReason_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string armedStatus_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::string lastWarning_ TESSARAVOLT_GUARDED_BY(mutex_);
    // Written under mutex_ with std::atomic_store; XISL's thread reads it with std::atomic_load.
    std::shared_ptr<const CorrectionPlan> plan_;
};

} // namespace TessaraVolt
