/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The rate the memory passes of a recording mode allow, the limit bench-record measures each
// mode against: once as a memcpy of one reused frame, which stays in the cache, and once over the
// buffers the mode's frames really cycle through.
#pragma once

#include <cstddef>
#include <cstdint>

// Where a mode's frames go: the simulator writes each into the next of `acquisitionFrames`, the
// plug-in copies it out, into the next of `ringBlocks` (libuca's ring, in buffered mode) and from
// there into the destination, or straight into the destination.
struct WorkingSet {
    unsigned acquisitionFrames;
    unsigned ringBlocks; // 0: no ring
};

// Whole-frame passes per frame: the simulator's write and the copies.
unsigned copyPasses(const WorkingSet &buffers);

// Bytes per second of a memcpy of one frame between two buffers used over and over: the mean over
// a batch of copies, best of several batches.
double cachedCopyRate(size_t bytes);

enum class CopyKind {
    Memcpy,
    NonTemporal, // stores that bypass the cache
    // The first copy also reads a calibration of 4 bytes a pixel, as a corrected copy does, with
    // no more arithmetic than it takes to use them; later copies are memcpy.
    Calibrated,
};

// Frames per second of a mode's passes alone, over buffers laid out as the mode's: the simulator's
// own frame writer, then the copies, each frame in the next buffer of each stage; the mean over a
// batch, best of several batches. Copies of kind NonTemporal fall back to memcpy where the
// processor has no such stores.
double fairBoundRate(const WorkingSet &buffers, uint32_t side, CopyKind kind);
