// SPDX-License-Identifier: LGPL-2.1-or-later
#include "corrector.h"

#include <algorithm>
#include <exception>

namespace TessaraVolt {

namespace {

bool operator==(const CorrectionSwitches &a, const CorrectionSwitches &b)
{
    return a.offset == b.offset && a.gain == b.gain && a.defects == b.defects &&
           a.pedestal == b.pedestal;
}

std::string switchesText(const CorrectionSwitches &switches)
{
    std::string text;
    for (const auto &[on, name] :
         {std::pair{switches.offset, "offset"}, std::pair{switches.gain, "gain"},
          std::pair{switches.defects, "defects"}}) {
        if (on)
            text += (text.empty() ? "" : ", ") + std::string(name);
    }
    if (switches.offset)
        text += ", pedestal " + std::to_string(switches.pedestal);
    return text;
}

} // namespace

std::vector<std::string> Corrector::setCalibrationPath(const std::string &path, FrameSize sensor)
{
    MutexLocker locker(mutex_);
    path_ = path;
    std::vector<std::string> warnings = makeIndex(sensor);
    if (armed_ || armedUnknown_) {
        const std::vector<std::string> applied = apply();
        warnings.insert(warnings.end(), applied.begin(), applied.end());
    }
    return warnings;
}

std::vector<std::string> Corrector::makeIndex(FrameSize sensor)
{
    std::vector<std::string> warnings;
    index_.reset();
    indexError_.clear();
    loaded_.reset();
    lastPlan_.reset();
    if (path_.empty())
        return warnings;
    try {
        index_ = std::make_unique<CalibrationIndex>(indexCalibrations(path_, sensor));
        for (const std::string &unusable : index_->unusable)
            warnings.push_back("Calibration file left out: " + unusable);
        for (const CalibrationEntry &entry : index_->entries) {
            if (!entry.flatsUnusable.empty())
                warnings.push_back("Calibration file " + entry.path +
                                   " serves no gain correction: " + entry.flatsUnusable);
        }
    } catch (const std::exception &error) {
        indexError_ = error.what();
        warnings.push_back("Calibration file cannot be used: " + indexError_);
    }
    return warnings;
}

std::string Corrector::getCalibrationPath() const
{
    MutexLocker locker(mutex_);
    return path_;
}

std::vector<std::string> Corrector::setSwitches(const CorrectionSwitches &switches)
{
    MutexLocker locker(mutex_);
    switches_ = switches;
    return armed_ || armedUnknown_ ? apply() : std::vector<std::string>{};
}

CorrectionSwitches Corrector::getSwitches() const
{
    MutexLocker locker(mutex_);
    return switches_;
}

std::vector<std::string> Corrector::arm(const CalibrationKey &settings)
{
    MutexLocker locker(mutex_);
    armed_ = std::make_unique<const CalibrationKey>(settings);
    armedUnknown_ = false;
    armedUnknownReason_.clear();
    return refreshAndApply();
}

std::vector<std::string> Corrector::armUnknown(const std::string &reason)
{
    MutexLocker locker(mutex_);
    armed_.reset();
    armedUnknown_ = true;
    armedUnknownReason_ = reason;
    return refreshAndApply();
}

std::vector<std::string> Corrector::refreshAndApply()
{
    std::vector<std::string> warnings;
    // Files rewritten since they were read are read again, before they are judged.
    if (index_ && !isCurrent(*index_)) {
        warnings.push_back("Calibration " + std::string(index_->folder ? "folder " : "file ") +
                           path_ + " changed since it was indexed; read again");
        const std::vector<std::string> indexed = makeIndex(index_->sensor);
        warnings.insert(warnings.end(), indexed.begin(), indexed.end());
    }
    const std::vector<std::string> applied = apply();
    warnings.insert(warnings.end(), applied.begin(), applied.end());
    return warnings;
}

void Corrector::disarm()
{
    MutexLocker locker(mutex_);
    armed_.reset();
    armedUnknown_ = false;
    armedUnknownReason_.clear();
    armedStatus_.clear();
    std::atomic_store(&plan_, std::shared_ptr<const CorrectionPlan>());
}

std::string Corrector::getStatus(const std::optional<CalibrationKey> &next,
                                 const std::string &nextUnknown) const
{
    MutexLocker locker(mutex_);
    if (armed_ || armedUnknown_)
        return armedStatus_;
    const Outcome outcome = next ? judge(*next) : judgeUnknown(nextUnknown);
    return "forecast for the next start: " + compose(outcome, outcome.rawReason);
}

CorrectionInForce Corrector::getInForce(const std::optional<CalibrationKey> &next) const
{
    MutexLocker locker(mutex_);
    CorrectionInForce inForce;
    const CalibrationEntry *entry = nullptr;
    CorrectionSwitches switches;
    if (armed_ || armedUnknown_) {
        // What the copy applies: the published plan, made for the loaded calibration.
        if (!std::atomic_load(&plan_) || !loaded_)
            return inForce;
        entry = &loaded_->entry;
        switches = lastPlanSwitches_;
    } else {
        if (!next)
            return inForce;
        const Outcome outcome = judge(*next);
        if (!outcome.entry || !outcome.rawReason.empty() || !switches_.any())
            return inForce;
        entry = outcome.entry;
        switches = switches_;
    }
    inForce.corrections.clear();
    for (const auto &[on, name] :
         {std::pair{switches.offset, "offset"}, std::pair{switches.gain, "gain"},
          std::pair{switches.defects, "defects"}}) {
        if (on)
            inForce.corrections += (inForce.corrections.empty() ? "" : ",") + std::string(name);
    }
    inForce.calibrationPath = entry->path;
    inForce.calibrationStartTime = entry->startTime;
    return inForce;
}

AppliedMaps Corrector::getAppliedMaps(bool flatfield, bool pixelMask) const
{
    MutexLocker locker(mutex_);
    AppliedMaps maps;
    const std::shared_ptr<const CorrectionPlan> plan = std::atomic_load(&plan_);
    if (!(armed_ || armedUnknown_) || !plan || !loaded_)
        return maps;
    maps.width = plan->width;
    maps.height = plan->height;
    // The factors in the steps the copy multiplies with, not the flat's unrounded ratio.
    constexpr float unit = 1 << CorrectionPlan::gainFractionBits;
    if (flatfield) {
        maps.flatfield.reserve(plan->gain.size());
        for (const uint16_t gain : plan->gain)
            maps.flatfield.push_back(static_cast<float>(gain) / unit);
    }
    if (pixelMask && lastPlanSwitches_.defects)
        maps.pixelMask = nexusPixelMask(loaded_->defects, plan->width);
    return maps;
}

std::shared_ptr<const CorrectionPlan> Corrector::getPlan() const
{
    return std::atomic_load(&plan_);
}

Corrector::Outcome Corrector::judge(const CalibrationKey &settings) const
{
    Outcome outcome;
    if (!index_) {
        if (switches_.any())
            outcome.rawReason = indexError_.empty()
                                    ? "no calibration-file is set"
                                    : "the calibration file cannot be used: " + indexError_;
        return outcome;
    }

    std::vector<const CalibrationEntry *> fitting;
    for (const CalibrationEntry &entry : index_->entries) {
        if (entry.key == settings)
            fitting.push_back(&entry);
    }
    if (fitting.size() == 1)
        outcome.entry = fitting.front();
    if (!index_->folder) {
        outcome.fit = outcome.entry ? "fits the current settings"
                                    : "does not fit the current settings: " +
                                          describeDifferences(settings, index_->entries[0].key);
    } else if (fitting.empty()) {
        outcome.fit = "none fits the current settings (" + describe(settings) + ")";
    } else if (fitting.size() > 1) {
        // Which of them is right cannot be told; taking either could apply a stale dark.
        outcome.fit = "several fit the current settings:";
        for (const CalibrationEntry *entry : fitting)
            outcome.fit += " " + entry->path;
    } else {
        outcome.fit = outcome.entry->path + " fits the current settings";
    }

    if (!switches_.any())
        return outcome;
    if (!outcome.entry)
        outcome.rawReason =
            (index_->folder ? "calibration folder " : "") + index_->path + ": " + outcome.fit;
    else if (switches_.gain && !switches_.offset)
        outcome.rawReason = "gain correction needs offset correction";
    else if (const std::string flats = flatsUnusable(*outcome.entry);
             switches_.gain && !flats.empty())
        outcome.rawReason = outcome.entry->path + ": " + flats;
    else if (switches_.gain && outcome.entry->flatFrames == 0)
        outcome.rawReason =
            outcome.entry->path + " has no flats (/exchange/data_white) for gain correction";
    return outcome;
}

std::string Corrector::flatsUnusable(const CalibrationEntry &entry) const
{
    if (!entry.flatsUnusable.empty())
        return entry.flatsUnusable;
    return loaded_ && loaded_->entry.path == entry.path ? loaded_->flatsUnusable : std::string();
}

Corrector::Outcome Corrector::judgeUnknown(const std::string &reason) const
{
    Outcome outcome;
    if (index_)
        outcome.fit = "whether it fits cannot be known: " + reason;
    if (switches_.any())
        outcome.rawReason = index_ ? "the settings in force are not known (" + reason + ")"
                                   : judge(CalibrationKey{}).rawReason;
    return outcome;
}

std::vector<std::string> Corrector::apply()
{
    const auto judgeArmed = [this]() TESSARAVOLT_REQUIRES(mutex_) {
        return armed_ ? judge(*armed_) : judgeUnknown(armedUnknownReason_);
    };
    Outcome outcome = judgeArmed();
    std::string failure = outcome.rawReason;
    std::shared_ptr<const CorrectionPlan> plan;
    std::vector<std::string> warnings;
    if (failure.empty() && outcome.entry && switches_.any()) {
        try {
            plan = planFor(*outcome.entry, failure, warnings);
        } catch (const CalibrationChanged &changed) {
            // Judged anew as the files are now, once: a file changing again stays raw.
            const std::vector<std::string> indexed = makeIndex(index_->sensor);
            warnings.push_back(changed.what());
            warnings.insert(warnings.end(), indexed.begin(), indexed.end());
            outcome = judgeArmed();
            failure = outcome.rawReason;
            if (failure.empty() && outcome.entry && switches_.any()) {
                try {
                    plan = planFor(*outcome.entry, failure, warnings);
                } catch (const CalibrationChanged &again) {
                    failure = again.what();
                }
            }
        }
    }
    // The flats just read may have shown that they cannot serve the gain correction asked for.
    if (plan) {
        outcome = judgeArmed();
        failure = outcome.rawReason;
    }
    std::atomic_store(&plan_, failure.empty() ? plan : nullptr);
    armedStatus_ = compose(outcome, failure);

    if (!failure.empty() && failure != lastWarning_)
        warnings.push_back("Frames stay raw: " + failure);
    lastWarning_ = failure;
    return warnings;
}

std::shared_ptr<const CorrectionPlan> Corrector::planFor(const CalibrationEntry &entry,
                                                         std::string &failure,
                                                         std::vector<std::string> &warnings)
{
    if (!loaded_ || loaded_->entry.path != entry.path) {
        loaded_.reset();
        lastPlan_.reset();
        try {
            auto loaded = std::make_unique<Loaded>();
            loaded->entry = entry;
            loaded->maps = loadCalibration(entry, index_->sensor);
            loaded->flatsUnusable = unusableFlats(loaded->maps);
            if (!loaded->flatsUnusable.empty()) {
                // The darks still serve; such flats would make every pixel a defect.
                loaded->maps.flat.clear();
                warnings.push_back("Calibration file " + entry.path +
                                   " serves no gain correction: " + loaded->flatsUnusable);
            }
            loaded->defects = findDefects(loaded->maps);
            loaded->defectCount =
                static_cast<size_t>(std::count_if(loaded->defects.begin(), loaded->defects.end(),
                                                  [](uint8_t kind) { return kind != 0; }));
            loaded_ = std::move(loaded);
        } catch (const CalibrationChanged &) {
            throw;
        } catch (const std::exception &error) {
            failure = error.what();
            return nullptr;
        }
    }
    if (!lastPlan_ || !(lastPlanSwitches_ == switches_)) {
        lastPlan_ = std::make_shared<const CorrectionPlan>(
            makeCorrectionPlan(loaded_->maps, loaded_->defects, switches_));
        lastPlanSwitches_ = switches_;
    }
    return lastPlan_;
}

std::string Corrector::describeSource() const
{
    if (path_.empty())
        return "no calibration file";
    if (!index_)
        return "calibration file cannot be used: " + indexError_;
    std::string text;
    if (index_->folder) {
        text = "calibration folder " + index_->path + ": " +
               std::to_string(index_->entries.size()) + " usable files";
        if (!index_->unusable.empty())
            text += ", " + std::to_string(index_->unusable.size()) + " left out";
    } else {
        const CalibrationEntry &entry = index_->entries.front();
        text = "calibration " + entry.path + ": " + std::to_string(entry.darkFrames) + " darks, " +
               std::to_string(entry.flatFrames) + " flats, taken at " + describe(entry.key);
        if (!entry.flatsUnusable.empty())
            text += "; " + entry.flatsUnusable;
    }
    if (loaded_) {
        text += "; " + std::to_string(loaded_->defectCount) + " defects found in " +
                loaded_->entry.path;
        if (!loaded_->flatsUnusable.empty())
            text += "; " + loaded_->flatsUnusable;
    }
    return text;
}

std::string Corrector::compose(const Outcome &outcome, const std::string &failure) const
{
    std::string text = describeSource();
    if (!outcome.fit.empty())
        text += "; " + outcome.fit;
    if (!switches_.any())
        return text + "; corrections off";
    if (failure.empty())
        return text + "; frames get: " + switchesText(switches_);
    // A calibration that does not fit is said just before.
    return text +
           (outcome.entry || !index_ ? "; frames stay raw: " + failure : "; frames stay raw");
}

} // namespace TessaraVolt
