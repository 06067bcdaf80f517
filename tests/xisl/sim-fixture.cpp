// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-fixture.h"

#include <algorithm>

namespace TessaraVoltTest {

namespace {

Recorder *recorderOf(HACQDESC handle)
{
    void *data = nullptr;
    Acquisition_GetAcqData(handle, &data);
    return static_cast<Recorder *>(data);
}

} // namespace

void Recorder::endOfFrame(HACQDESC handle)
{
    Recorder *self = recorderOf(handle);
    FrameRecord record;
    Acquisition_GetActFrame(handle, &record.acquired, &record.bufferFrame);
    record.thread = std::this_thread::get_id();
    size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        index = self->frames.size();
        self->frames.push_back(record);
        self->events.push_back('F');
    }
    if (self->onFrame)
        self->onFrame(handle, index);
    Acquisition_SetReady(handle, 1);
}

void Recorder::endOfAcquisition(HACQDESC handle)
{
    Recorder *self = recorderOf(handle);
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back('A');
    }
    if (self->onEndOfAcquisition)
        self->onEndOfAcquisition(handle);
}

void SimTest::useSensor(uint32_t width, uint32_t height)
{
    const XislSimSensor one = sensor(width, height);
    ASSERT_EQ(xisl_sim_set_sensors(&one, 1), 0);
}

HACQDESC SimTest::openFirst()
{
    UINT count = 0;
    EXPECT_EQ(Acquisition_EnumSensors(&count, 1, 0), 0u);
    ACQDESCPOS cursor = 0;
    HACQDESC handle = nullptr;
    EXPECT_EQ(Acquisition_GetNextSensor(&cursor, &handle), 0u);
    return handle;
}

Acquisition SimTest::prepare(Recorder &recorder, uint32_t frames, WORD binning)
{
    Acquisition acquisition;
    acquisition.handle = openFirst();
    EXPECT_EQ(Acquisition_SetCameraBinningMode(acquisition.handle, binning), 0u);
    XislHwHeaderInfo header{};
    EXPECT_EQ(Acquisition_GetHwHeaderInfo(acquisition.handle, &header), 0u);
    acquisition.width = header.columns;
    acquisition.height = header.rows;
    acquisition.buffer.assign(static_cast<size_t>(frames) * header.columns * header.rows, 0);
    EXPECT_EQ(Acquisition_DefineDestBuffers(acquisition.handle, acquisition.buffer.data(), frames,
                                            header.rows, header.columns),
              0u);
    EXPECT_EQ(Acquisition_SetAcqData(acquisition.handle, &recorder), 0u);
    EXPECT_EQ(Acquisition_SetCallbacksAndMessages(acquisition.handle, nullptr, 0, 0,
                                                  Recorder::endOfFrame, Recorder::endOfAcquisition),
              0u);
    return acquisition;
}

} // namespace TessaraVoltTest
