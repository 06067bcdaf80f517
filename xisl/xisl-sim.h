/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Control interface of the simulated detector that stands in for XISL on Linux.
 *
 * Tests, benchmarks and demonstrations use it; the driver and the plug-in never do. Every call is
 * thread-safe, and declared XISL_EXPORT: the Windows DLL exports only what is marked. Nothing here
 * aborts the process: bad input gives a non-zero result and changes nothing.
 *
 * Frame content. Frame number n is the value of the handle's acquired-frames counter after the
 * frame was produced (the first counter of Acquisition_GetActFrame); it starts at the configured
 * first frame number, so a counter near its wrap-around shows up early. The pixel at column x,
 * row y of frame n is xisl_sim_pixel(content, seed, x, y, n):
 *   XISL_SIM_CONTENT_PATTERN: (uint16_t)((x ^ (y << 6)) + 17 * n)
 *   XISL_SIM_CONTENT_PHANTOM: a picture of a disc phantom with noise drawn from a generator
 *                             seeded by the seed and n, so it too is a pure function. The
 *                             phantom repeats every 512 pixels in x and y (so binned and
 *                             unbinned frames both show whole phantoms): open beam about 40000
 *                             counts, the disc (radius 230) 14000, six inserts of rising size
 *                             and contrast, a dense core 4000; noise sigma about 150, never
 *                             beyond +-600.
 * Before the first frame of an acquisition the second counter of Acquisition_GetActFrame is 0;
 * during it, the 1-based buffer frame last written. A frame's pixels are written and both
 * counters advanced before its end-of-frame callback runs.
 *
 * Environment. Processes that cannot call this interface (the tools, the demonstration) set
 * XISL_SIM before the first XISL call, a ';'-separated list of settings:
 *   sensors=none                     no sensor attached
 *   sensors=W1xH1[:HEADER],W2xH2...  the sensor list (header identifier up to 65535, default 14;
 *                                    PROM identifiers 1, 2, ...; camera type 1)
 *   content=pattern|phantom          the content mode
 *   seed=N                           the noise seed
 *   readout_ns_per_pixel=N           the readout time per pixel, default 32 (0: none)
 *   first_frame=N                    the first frame number
 *   fail=FUNCTION:STATUS             make every call of FUNCTION return STATUS
 * for example XISL_SIM="sensors=2048x2048,1024x1024:13;content=phantom;seed=7". A malformed
 * item makes the simulator ignore the whole variable (with a message on standard error).
 * xisl_sim_reset() returns to the built-in defaults, not to XISL_SIM's settings.
 *
 * Acquisitions. Frames come from one thread per handle, never from the calling thread. Timing is
 * real: the readout time of a frame is width * height * readout_ns_per_pixel nanoseconds (33.5 ms
 * for 1024 x 1024 at the default 32 ns). In frame-sync mode 2 every frame, the first of an
 * acquisition included, ends max(cycle, readout time) after the previous one or after the start
 * (a cycle and a readout of 0 run as fast as the machine allows); a late frame restarts the cycle
 * instead of catching up. In modes 1 and 3 each Acquisition_SetFrameSync or xisl_sim_pulse
 * counts and gives one frame, which ends one readout time after its trigger; a trigger that
 * comes while an earlier one is read out is read out after it. Stepped frames (manual mode) come
 * at once. While an acquisition runs, binning and destination buffers cannot change
 * (XISL_SIM_ERROR_BUSY). Acquisition_Acquire_Image ignores skipFrames and the three correction
 * pointers; `frames` may not exceed the destination buffer's frames.
 *
 * Strict starts, as the vendor library may be: an acquisition runs until its end-of-acquisition
 * callback has returned, and Acquisition_Acquire_Image before that is refused with
 * XISL_SIM_ERROR_BUSY, whichever thread asks; a consumer of a one-buffer acquisition's last
 * frame included. Acquisition_Abort from another thread returns once that callback has
 * returned, so it is the way to wait for an ending acquisition. There is no lenient mode.
 *
 * Abort and close. Acquisition_Abort from another thread returns once no callback of the handle
 * runs or will run, the end-of-acquisition callback having run once. Called from one of the
 * handle's own callbacks it cannot wait for itself: it returns at once, no end-of-frame callback
 * follows, and the end-of-acquisition callback runs once after the current callback returns.
 * Acquisition_Close aborts first, the same way. Closed from one of its own callbacks, the handle
 * is closed at once and no further callback runs, not even end-of-acquisition: the owner of the
 * callbacks is taken to be going away. Handles are never reused, not even after a reset. */
#ifndef XISL_SIM_H
#define XISL_SIM_H

#include "xisl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The simulator's own non-zero statuses (injected faults return whatever they were given). */
enum {
    XISL_SIM_ERROR_ARGUMENT = 2,  /* NULL pointer, mismatched size, unknown mode or option */
    XISL_SIM_ERROR_HANDLE = 3,    /* closed or unknown handle, or nothing to step */
    XISL_SIM_ERROR_BUSY = 4,      /* an acquisition runs */
    XISL_SIM_ERROR_NO_SENSOR = 5, /* the cursor has no sensor to return */
    XISL_SIM_ERROR_NOT_READY = 6, /* no destination buffer for the acquisition */
    XISL_SIM_ERROR_TIMEOUT = 7,   /* a control call's wait ran out */
};

typedef struct XislSimSensor {
    uint32_t promId;
    uint32_t headerId;
    uint16_t extendedHeaderId;
    uint16_t cameraType;
    uint32_t width; /* at binning mode 1 */
    uint32_t height;
} XislSimSensor;

typedef enum XislSimContent {
    XISL_SIM_CONTENT_PATTERN = 0,
    XISL_SIM_CONTENT_PHANTOM = 1,
} XislSimContent;

/* Closes every open handle (waiting for its callbacks), clears the call log, the counters and
 * the faults, and restores the defaults: one sensor (PROM 1, header 14, extended header 14,
 * camera type 1, 1024 x 1024), pattern content, seed 1, first frame number 1, frames produced
 * automatically, readout 32 ns per pixel, no wind-down, call log on. */
XISL_EXPORT void xisl_sim_reset(void);

/* Applies settings written as XISL_SIM takes them (see Environment above) on top of the current
 * ones: 0, or non-zero with nothing changed when an item is malformed. */
XISL_EXPORT int xisl_sim_configure(const char *settings);

/* Replaces the sensor list used by the next enumeration; count 0 means no sensor. */
XISL_EXPORT int xisl_sim_set_sensors(const XislSimSensor *sensors, size_t count);
XISL_EXPORT int xisl_sim_set_content(XislSimContent content);
XISL_EXPORT void xisl_sim_set_seed(uint32_t seed);
/* The readout time per pixel: a frame takes width * height * nanoseconds / 1000 microseconds to
 * read out, and Acquisition_SetTimerSync answers at least that. */
XISL_EXPORT void xisl_sim_set_readout_ns_per_pixel(uint32_t nanoseconds);
/* Time an acquisition takes to wind down after its last frame's callback, before its
 * end-of-acquisition callback (default 0). An abort cuts it short. */
XISL_EXPORT void xisl_sim_set_wind_down(uint32_t microseconds);
/* The acquired-frames counter of handles opened from now on starts here. */
XISL_EXPORT void xisl_sim_set_first_frame_number(uint32_t first);

/* The content function documented above. */
XISL_EXPORT uint16_t xisl_sim_pixel(XislSimContent content, uint32_t seed, uint32_t x, uint32_t y,
                                    uint32_t n);

/* Fault injection. `function` is an XISL call's name, e.g. "Acquisition_SetFrameSyncMode".
 * nth 0: every call from now on returns `status`; nth k >= 1: only the k-th call from now on
 * does. A failing call changes nothing and writes no output. A fault with status 0 is removed. */
XISL_EXPORT int xisl_sim_fail(const char *function, XislStatus status, unsigned nth);
XISL_EXPORT void xisl_sim_clear_faults(void);

/* Manual frame stepping: while on, the internal timer produces no frame; xisl_sim_step produces
 * them. Software and external triggers work as always. */
XISL_EXPORT void xisl_sim_set_manual(int manual);
/* Produces `frames` frames on the handle's running acquisition (any frame-sync mode) and returns
 * 0 once their end-of-frame callbacks have returned, or non-zero when no acquisition runs, the
 * handle is unknown or timeout_ms passed first. Steps not served when the call returns non-zero
 * are dropped. Not from the handle's own callbacks (non-zero). */
XISL_EXPORT int xisl_sim_step(HACQDESC handle, unsigned frames, unsigned timeout_ms);
/* One external trigger pulse: a frame in frame-sync mode 3, nothing otherwise. Returns at once;
 * non-zero for an unknown or closed handle. */
XISL_EXPORT int xisl_sim_pulse(HACQDESC handle);
/* Waits until the end-of-frame callbacks run by all handles since the last reset reach `count`;
 * 0 when reached, non-zero after timeout_ms. */
XISL_EXPORT int xisl_sim_wait_frames(uint64_t count, unsigned timeout_ms);
/* Waits until the handle has no acquisition running; 0 when so, non-zero after timeout_ms. */
XISL_EXPORT int xisl_sim_wait_idle(HACQDESC handle, unsigned timeout_ms);

/* Frame latency. For the last XISL_SIM_FRAME_TIME_CAPACITY frame numbers the simulator keeps the
 * time at which the frame's end-of-frame callback began, in nanoseconds of CLOCK_MONOTONIC (the
 * clock of std::chrono::steady_clock; g_get_monotonic_time() gives the same in microseconds).
 * Frame numbers are per handle: with several handles acquiring at once, the latest frame of a
 * number wins. 0 with the time in *nanoseconds, or non-zero when the frame is not (or no longer)
 * recorded. A reset forgets every entry. */
enum { XISL_SIM_FRAME_TIME_CAPACITY = 1 << 16 };
XISL_EXPORT int xisl_sim_frame_callback_time(uint32_t frame, uint64_t *nanoseconds);

/* Call log: every XISL call in order, with its handle, its arguments as numbers (pointers as
 * addresses, the in-value of an in/out argument, the out-value in `result`) and its status.
 * It keeps the first XISL_SIM_LOG_CAPACITY calls and drops the rest uncounted. */
enum { XISL_SIM_LOG_CAPACITY = 1 << 16 };
typedef struct XislSimCall {
    char function[48];
    HACQDESC handle;
    uint64_t args[6];
    uint64_t result;
    XislStatus status;
} XislSimCall;
XISL_EXPORT void xisl_sim_set_call_log(int enabled);
XISL_EXPORT size_t xisl_sim_call_count(void);
XISL_EXPORT int xisl_sim_get_call(size_t index, XislSimCall *call);
XISL_EXPORT void xisl_sim_clear_call_log(void);

typedef struct XislSimCounters {
    uint64_t framesProduced;          /* frames written into a destination buffer */
    uint64_t endOfFrameCallbacks;     /* end-of-frame callbacks that returned */
    uint64_t endOfAcquisitionCallbacks;
    uint64_t framesHandedBack;        /* Acquisition_SetReady calls for produced frames */
    uint64_t framesNotHandedBack;     /* frames whose callback returned without hand-back */
    uint64_t callsOnClosedHandles;    /* calls with a closed or unknown handle (non-zero status) */
    uint64_t callbacksAfterClose;     /* callbacks that ran after close or abort: must stay 0 */
    uint64_t overlappingCallbacks;    /* callbacks of one handle that overlapped: must stay 0 */
    uint32_t openHandles;
} XislSimCounters;
XISL_EXPORT void xisl_sim_get_counters(XislSimCounters *counters);

#ifdef __cplusplus
}
#endif

#endif /* XISL_SIM_H */
