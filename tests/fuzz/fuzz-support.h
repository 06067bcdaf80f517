/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What the fuzz targets share: a process prepared for many short runs (libuca finds this build's
// plug-in, the driver's log goes nowhere, GLib's criticals are failures), the camera made through
// libuca's plug-in manager, and the checks that end a run with a message libFuzzer records with
// the input.
#pragma once

#include <uca/uca-camera.h>

#include <cstdint>
#include <memory>

#include "xisl-sim.h"

namespace TessaraVoltFuzz {

// Once per process, from LLVMFuzzerInitialize and before any XISL call (the simulated detector
// reads XISL_SIM only then). Puts this target's defaults for libFuzzer before the caller's flags.
// With `camera`, the plug-in is loaded too, so that its edges count from the first run on.
void prepareProcess(int *argc, char ***argv, bool camera);

// A failed check: prints the message and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char *format, ...) G_GNUC_PRINTF(1, 2);
#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::TessaraVoltFuzz::fail(__VA_ARGS__);                                                  \
    } while (0)

// While one lives on a thread, GLib criticals raised there are expected: the caller misuses an
// interface on purpose (libuca's readout calls on a camera without readout).
extern thread_local unsigned expectedCriticals;
struct ExpectedCriticals {
    ExpectedCriticals() { expectedCriticals++; }
    ~ExpectedCriticals() { expectedCriticals--; }
    ExpectedCriticals(const ExpectedCriticals &) = delete;
    ExpectedCriticals &operator=(const ExpectedCriticals &) = delete;
};

struct CameraUnref {
    void operator()(UcaCamera *camera) const { g_object_unref(camera); }
};
using CameraPtr = std::unique_ptr<UcaCamera, CameraUnref>;

// The tessaravolt camera, or null with `error` set.
CameraPtr createCamera(GError **error);

// Every value a readable property answers lies in its range: a property must not report what a
// client could not have written.
void checkPropertiesReadable(UcaCamera *camera);

// The simulator's rules once the camera is gone: no callback after a close or an abort, no
// callbacks overlapping, no call on a closed handle, every frame handed back unless that
// hand-back was refused, and no handle left open unless its close was refused. Refusals are read
// from the call log, which must be on.
void checkSimulatorRules();

} // namespace TessaraVoltFuzz
