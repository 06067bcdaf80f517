// The XISL calls and the simulator's control interface, with C linkage, over the one Simulator.
#include "xisl-sim.h"

#include "sim-content.h"
#include "simulator.h"

using XislSim::Simulator;

namespace {

Simulator &sim()
{
    return Simulator::instance();
}

} // namespace

extern "C" {

XislStatus XISL_API Acquisition_EnumSensors(UINT *count, BOOL /*enableIrq*/, BOOL /*alwaysOpen*/)
{
    return sim().enumSensors(count);
}

XislStatus XISL_API Acquisition_GetNextSensor(ACQDESCPOS *cursor, HACQDESC *handle)
{
    return sim().getNextSensor(cursor, handle);
}

XislStatus XISL_API Acquisition_GetHwHeaderInfo(HACQDESC handle, XislHwHeaderInfo *header)
{
    return sim().getHeader("Acquisition_GetHwHeaderInfo", handle, header, nullptr);
}

XislStatus XISL_API Acquisition_GetHwHeaderInfoEx(HACQDESC handle, XislHwHeaderInfo *header,
                                                  XislHwHeaderInfoEx *extended)
{
    return sim().getHeader("Acquisition_GetHwHeaderInfoEx", handle, header, extended);
}

XislStatus XISL_API Acquisition_Close(HACQDESC handle)
{
    return sim().close(handle);
}

XislStatus XISL_API Acquisition_SetCameraBinningMode(HACQDESC handle, WORD mode)
{
    return sim().setBinning(handle, mode);
}

XislStatus XISL_API Acquisition_DefineDestBuffers(HACQDESC handle, unsigned short *buffer,
                                                  UINT frames, UINT rows, UINT columns)
{
    return sim().defineDestBuffers(handle, buffer, frames, rows, columns);
}

XislStatus XISL_API Acquisition_SetAcqData(HACQDESC handle, void *data)
{
    return sim().setAcqData(handle, data);
}

XislStatus XISL_API Acquisition_GetAcqData(HACQDESC handle, void **data)
{
    return sim().getAcqData(handle, data);
}

XislStatus XISL_API Acquisition_SetCallbacksAndMessages(HACQDESC handle, HWND window,
                                                        UINT errorMessage, UINT lostFramesMessage,
                                                        XislCallback endOfFrame,
                                                        XislCallback endOfAcquisition)
{
    return sim().setCallbacks(handle, window, errorMessage, lostFramesMessage, endOfFrame,
                              endOfAcquisition);
}

XislStatus XISL_API Acquisition_SetCameraGain(HACQDESC handle, WORD gain)
{
    return sim().setGain(handle, gain);
}

XislStatus XISL_API Acquisition_SetFrameSyncMode(HACQDESC handle, DWORD mode)
{
    return sim().setFrameSyncMode(handle, mode);
}

XislStatus XISL_API Acquisition_SetTimerSync(HACQDESC handle, DWORD *cycleTimeMicroseconds)
{
    return sim().setTimerSync(handle, cycleTimeMicroseconds);
}

XislStatus XISL_API Acquisition_Acquire_Image(HACQDESC handle, UINT frames, UINT skipFrames,
                                              UINT option, unsigned short *offsetData,
                                              DWORD *gainData, DWORD *pixelData)
{
    return sim().acquireImage(handle, frames, skipFrames, option, offsetData, gainData, pixelData);
}

XislStatus XISL_API Acquisition_SetFrameSync(HACQDESC handle)
{
    return sim().setFrameSync(handle);
}

XislStatus XISL_API Acquisition_Abort(HACQDESC handle)
{
    return sim().abort(handle);
}

XislStatus XISL_API Acquisition_GetLatestFrameHeader(HACQDESC handle, XislHwHeaderInfo *header,
                                                     XislHwHeaderInfoEx *extended)
{
    return sim().getHeader("Acquisition_GetLatestFrameHeader", handle, header, extended);
}

XislStatus XISL_API Acquisition_GetActFrame(HACQDESC handle, DWORD *acquiredFrames,
                                            DWORD *bufferFrame)
{
    return sim().getActFrame(handle, acquiredFrames, bufferFrame);
}

XislStatus XISL_API Acquisition_SetReady(HACQDESC handle, BOOL ready)
{
    return sim().setReady(handle, ready);
}

void xisl_sim_reset(void)
{
    sim().reset();
}

int xisl_sim_set_sensors(const XislSimSensor *sensors, size_t count)
{
    return sim().setSensors(sensors, count);
}

int xisl_sim_set_content(XislSimContent content)
{
    return sim().setContent(content);
}

void xisl_sim_set_seed(uint32_t seed)
{
    sim().setSeed(seed);
}

void xisl_sim_set_readout_ns_per_pixel(uint32_t nanoseconds)
{
    sim().setReadoutNsPerPixel(nanoseconds);
}

void xisl_sim_set_wind_down(uint32_t microseconds)
{
    sim().setWindDown(microseconds);
}

void xisl_sim_set_first_frame_number(uint32_t first)
{
    sim().setFirstFrameNumber(first);
}

uint16_t xisl_sim_pixel(XislSimContent content, uint32_t seed, uint32_t x, uint32_t y, uint32_t n)
{
    return XislSim::pixel(content, seed, x, y, n);
}

int xisl_sim_fail(const char *function, XislStatus status, unsigned nth)
{
    return sim().fail(function, status, nth);
}

void xisl_sim_clear_faults(void)
{
    sim().clearFaults();
}

void xisl_sim_set_manual(int manual)
{
    sim().setManual(manual != 0);
}

int xisl_sim_step(HACQDESC handle, unsigned frames, unsigned timeout_ms)
{
    return sim().step(handle, frames, timeout_ms);
}

int xisl_sim_pulse(HACQDESC handle)
{
    return sim().pulse(handle);
}

int xisl_sim_wait_frames(uint64_t count, unsigned timeout_ms)
{
    return sim().waitFrames(count, timeout_ms);
}

int xisl_sim_wait_idle(HACQDESC handle, unsigned timeout_ms)
{
    return sim().waitIdle(handle, timeout_ms);
}

int xisl_sim_frame_callback_time(uint32_t frame, uint64_t *nanoseconds)
{
    return sim().frameCallbackTime(frame, nanoseconds);
}

void xisl_sim_set_call_log(int enabled)
{
    sim().setCallLog(enabled != 0);
}

size_t xisl_sim_call_count(void)
{
    return sim().callCount();
}

int xisl_sim_get_call(size_t index, XislSimCall *call)
{
    return sim().getCall(index, call);
}

void xisl_sim_clear_call_log(void)
{
    sim().clearCallLog();
}

void xisl_sim_get_counters(XislSimCounters *counters)
{
    sim().getCounters(counters);
}

} // extern "C"
