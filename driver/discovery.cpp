// SPDX-License-Identifier: LGPL-2.1-or-later
#include "discovery.h"

#include "logging.h"

namespace TessaraVolt {

namespace {

// Sensors with an older header do not describe themselves well enough to be driven.
constexpr uint32_t oldestUsableHeader = 14;

struct SensorCloser {
    void operator()(void *sensor) const { Acquisition_Close(sensor); }
};

// An opened sensor not yet owned by a Detector: closed if discovery gives it up or fails.
using OpenSensor = std::unique_ptr<void, SensorCloser>;

} // namespace

std::vector<std::unique_ptr<Detector>> findDetectors()
{
    UINT count = 0;
    if (Acquisition_EnumSensors(&count, 1, 0) != 0)
        throwError("Unable to enumerate sensors");
    getLogger()->info("Found {0} sensors", count);

    std::vector<std::unique_ptr<Detector>> detectors;
    ACQDESCPOS cursor = 0;
    do {
        HACQDESC handle = nullptr;
        if (Acquisition_GetNextSensor(&cursor, &handle) != 0)
            throwError("Unable to get next sensor");
        OpenSensor sensor(handle);

        XislHwHeaderInfo header{};
        if (Acquisition_GetHwHeaderInfo(handle, &header) != 0)
            throwError("Unable to get hardware header info");
        getLogger()->info("Camera: PROM {0}, header {1}", header.promId, header.headerId);
        if (header.headerId < oldestUsableHeader)
            continue; // the sensor closes as it goes out of scope

        XislHwHeaderInfoEx extended{};
        const XislStatus status = Acquisition_GetHwHeaderInfoEx(handle, &header, &extended);
        getLogger()->info("Camera (extended): header {0}, type {1}", extended.headerId,
                          extended.cameraType);
        if (status != 0)
            throwError("Unable to get extended hardware header info");

        auto detector = std::make_unique<Detector>(handle);
        sensor.release(); // the detector owns it now
        detectors.push_back(std::move(detector));
    } while (cursor != 0);
    return detectors;
}

} // namespace TessaraVolt
