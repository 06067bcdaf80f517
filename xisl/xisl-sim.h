/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Control interface of the simulated detector that stands in for XISL on Linux.
 *
 * Tests, benchmarks and demonstrations use it; the driver and the plug-in never do. Every call is
 * thread-safe, and declared XISL_EXPORT: the Windows DLL exports only what is marked. Nothing here
 * aborts the process: bad input gives a non-zero result and changes nothing.
 *
 * Frame content. Frame number n is the value of the handle's acquired-frames counter after the
 * frame was produced (the first counter of Acquisition_GetActFrame); it starts at the configured
 * first frame number, so a counter near its wrap-around shows up early. A frame is drawn from a
 * scene (XislSimScene: content mode, seed, the sensor's size, binning and beam), and the pixel at
 * column x, row y of frame n is xisl_sim_pixel(&scene, x, y, n), a pure function:
 *   XISL_SIM_CONTENT_PATTERN: (uint16_t)((x ^ (y << 6)) + 17 * n), whatever the seed and beam;
 *                             no physics, so that tests can check pixels exactly. Defined once,
 *                             as xisl_sim_pattern_pixel in xisl-sim-pattern.h (included here),
 *                             with xisl_sim_pattern_frame_number, its inverse.
 *   XISL_SIM_CONTENT_PHANTOM: a raw flat-panel image of a disc phantom (below).
 *   XISL_SIM_CONTENT_FLAT:    the same panel in open beam, no sample: a flat (gain) image.
 *
 * The panel (phantom and flat). Each panel pixel has an offset, a gain and perhaps a defect, all
 * functions of the seed, the sensor's size and the pixel's position at binning 1
 * (xisl_sim_pixel_truth gives them):
 *   offset  the dark level: XISL_SIM_DARK_LEVEL (1000) counts, plus column structure (read-out
 *           groups of 128 columns, sd 40, and single columns, sd 20), row structure (sd 5) and a
 *           per-pixel spread (sd 10);
 *   gain    a per-pixel spread of 3 per cent (sd) times a slow variation across the panel of up to
 *           +-7 per cent (two cosines, one along each side, their phases drawn from the seed);
 *   defects about one pixel in 4096 is hot (offset raised by 3000 to 60000 counts), as many are
 *           dead (gain 0: they read their offset), and one column, drawn from the middle half of
 *           the panel, is a defective line (gain 0).
 * The signal of a pixel is the beam (open-beam counts before gain, xisl_sim_set_beam, default
 * XISL_SIM_BEAM_DEFAULT) times the transmission: 1 in a flat; in the phantom, which repeats every
 * 512 panel pixels in x and y, open beam 1, the disc (radius 230) 1/3, six inserts of rising size
 * and contrast between 0.14 and 0.55, a dense core 0.1. A pixel's expected value is
 * offset + gain * signal; its noise is Gaussian with read noise (sd XISL_SIM_READ_NOISE counts)
 * and shot noise (variance gain * signal / XISL_SIM_QUANTA_PER_COUNT). A pixel whose expected
 * value reaches 65535 saturates: it reads 65535, without noise. With the beam off
 * (xisl_sim_set_beam(0), XISL_SIM "beam=off") frames are darks: offset and read noise only.
 * Binning 2x2 averages the four panel pixels, as a binned panel reads out: offset, gain and
 * expected value (each panel pixel's capped at 65535) are their means, the noise variance is the
 * sum of theirs over 16, and the binned pixel has every defect of any of the four.
 * A pixel is drawn as its expected value and its sd, both rounded to whole counts as the truth
 * reports them, plus the sd times a standard Gaussian value from a fixed table of 16384, which
 * row y of frame n reads from an offset the seed, y and n choose; clamped to 0..65535. The first
 * frame of a scene builds its per-pixel maps: a fraction of a second at 2048 x 2048.
 * Before the first frame of an acquisition the second counter of Acquisition_GetActFrame is 0;
 * during it, the 1-based buffer frame last written. A frame's pixels are written and both
 * counters advanced before its end-of-frame callback runs.
 *
 * Environment. Processes that cannot call this interface (the tools, the demonstration) set
 * XISL_SIM before the first XISL call, a ';'-separated list of settings:
 *   sensors=none                     no sensor attached
 *   sensors=W1xH1[:HEADER],W2xH2...  the sensor list (header identifier up to 65535, default 14;
 *                                    PROM identifiers 1, 2, ...; camera type 1)
 *   content=pattern|phantom|flat     the content mode
 *   seed=N                           the seed of the panel and its noise
 *   beam=on|off|N                    the beam: on (XISL_SIM_BEAM_DEFAULT), off (darks), or N
 *                                    open-beam counts
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

#include "xisl-sim-pattern.h"
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
    XISL_SIM_CONTENT_FLAT = 2,
} XislSimContent;

/* The panel's figures, described above. */
enum {
    XISL_SIM_DARK_LEVEL = 1000,    /* counts */
    XISL_SIM_READ_NOISE = 6,       /* counts, sd at binning 1 */
    XISL_SIM_QUANTA_PER_COUNT = 2, /* shot-noise variance = gain * signal / this */
    XISL_SIM_BEAM_DEFAULT = 40000, /* open-beam counts before gain */
};

/* What a frame is drawn from besides the pixel and the frame number. */
typedef struct XislSimScene {
    XislSimContent content;
    uint32_t seed;
    uint32_t width; /* the sensor's, at binning mode 1 */
    uint32_t height;
    uint32_t binning; /* XISL_BINNING_NONE or XISL_BINNING_2X2 */
    uint32_t beam;    /* open-beam counts before gain; 0: beam off */
} XislSimScene;

/* Defects of a pixel, as bits. */
enum {
    XISL_SIM_DEFECT_DEAD = 1, /* gain 0 */
    XISL_SIM_DEFECT_HOT = 2,  /* offset raised far above the dark level */
    XISL_SIM_DEFECT_LINE = 4, /* in the defective column: gain 0 */
};

/* The planted truth of one pixel of a frame drawn from a scene. */
typedef struct XislSimPixelTruth {
    float offset;     /* dark level, counts */
    float gain;       /* counts per count of signal */
    float mean;       /* expected value: offset + gain * signal, rounded, at most 65535 */
    float sigma;      /* sd of the noise around it; 0 when saturated */
    uint32_t defects; /* XISL_SIM_DEFECT_* bits */
} XislSimPixelTruth;

/* Closes every open handle (waiting for its callbacks), clears the call log, the counters and
 * the faults, and restores the defaults: one sensor (PROM 1, header 14, extended header 14,
 * camera type 1, 1024 x 1024), pattern content, seed 1, beam XISL_SIM_BEAM_DEFAULT, first frame
 * number 1, frames produced automatically, readout 32 ns per pixel, no wind-down, call log on. */
XISL_EXPORT void xisl_sim_reset(void);

/* Applies settings written as XISL_SIM takes them (see Environment above) on top of the current
 * ones: 0, or non-zero with nothing changed when an item is malformed. */
XISL_EXPORT int xisl_sim_configure(const char *settings);

/* Replaces the sensor list used by the next enumeration; count 0 means no sensor. */
XISL_EXPORT int xisl_sim_set_sensors(const XislSimSensor *sensors, size_t count);
XISL_EXPORT int xisl_sim_set_content(XislSimContent content);
XISL_EXPORT void xisl_sim_set_seed(uint32_t seed);
/* Open-beam counts before gain; 0 turns the beam off, so that frames are darks. */
XISL_EXPORT void xisl_sim_set_beam(uint32_t counts);
/* The readout time per pixel: a frame takes width * height * nanoseconds / 1000 microseconds to
 * read out, and Acquisition_SetTimerSync answers at least that. */
XISL_EXPORT void xisl_sim_set_readout_ns_per_pixel(uint32_t nanoseconds);
/* Time an acquisition takes to wind down after its last frame's callback, before its
 * end-of-acquisition callback (default 0). An abort cuts it short. */
XISL_EXPORT void xisl_sim_set_wind_down(uint32_t microseconds);
/* The acquired-frames counter of handles opened from now on starts here. */
XISL_EXPORT void xisl_sim_set_first_frame_number(uint32_t first);

/* The scene the handle's next frame is drawn from; non-zero for an unknown or closed handle. */
XISL_EXPORT int xisl_sim_get_scene(HACQDESC handle, XislSimScene *scene);
/* The content function documented above; 0 for a malformed scene. */
XISL_EXPORT uint16_t xisl_sim_pixel(const XislSimScene *scene, uint32_t x, uint32_t y, uint32_t n);
/* Frame n of the scene, written as the simulator writes it into a destination buffer: binned width
 * x binned height pixels, row after row. Non-zero for a malformed scene. */
XISL_EXPORT int xisl_sim_render(const XislSimScene *scene, uint32_t n, uint16_t *frame);
/* The truth of the pixel at column x, row y of the scene's frames; non-zero for a pixel outside
 * the frame, a malformed scene, or pattern content, which has no panel. */
XISL_EXPORT int xisl_sim_pixel_truth(const XislSimScene *scene, uint32_t x, uint32_t y,
                                     XislSimPixelTruth *truth);

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
