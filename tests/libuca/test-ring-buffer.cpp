// SPDX-License-Identifier: LGPL-2.1-or-later
// UcaRingBuffer: its two ever-growing indices over a small ring, and the criticals that replace
// bad pointers.
#include "test-support.h"

#include <uca/uca-ring-buffer.h>

namespace TessaraVoltTest {
namespace {

using RingPtr = std::unique_ptr<UcaRingBuffer, GObjectUnref>;

constexpr gsize blockSize = 8;
constexpr guint nBlocks = 3;

enum class Op { Write, Read, Peek, PointerAtOne, Reset };

struct Step {
    Op op;
    int block;          // block the call returns (-1: none)
    bool available;     // uca_ring_buffer_available() afterwards
    guint filledBlocks; // uca_ring_buffer_get_num_blocks() afterwards
};

TEST(RingBuffer, IndicesWrapAroundTheBlocksAndResetToZero)
{
    // clang-format off
    const Step steps[] = {
        {Op::Peek, 0, false, 0}, {Op::Write, 0, true, 1}, {Op::Write, 1, true, 2},
        {Op::Read, 0, true, 2}, {Op::PointerAtOne, 2, true, 2}, // counted from the read index
        {Op::Write, 2, true, 3}, {Op::Write, 0, true, 3}, // the writer does not wait for the reader
        {Op::Read, 1, true, 3}, {Op::Read, 2, true, 3}, {Op::Read, 0, false, 3},
        {Op::Peek, 1, false, 3}, {Op::Reset, -1, false, 0}, {Op::Peek, 0, false, 0},
        {Op::Write, 0, true, 1}, {Op::Read, 0, false, 1},
    };
    // clang-format on
    RingPtr ring(uca_ring_buffer_new(blockSize, nBlocks));
    UcaRingBuffer *r = ring.get();
    EXPECT_EQ(get<guint64>(r, "block-size"), blockSize);
    EXPECT_EQ(get<guint>(r, "num-blocks"), nBlocks);
    auto *base = static_cast<guint8 *>(uca_ring_buffer_peek_pointer(r));
    ASSERT_NE(base, nullptr);
    int index = 0;
    for (const Step &step : steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        gpointer block = nullptr;
        // clang-format off
        switch (step.op) {
        case Op::Write: block = uca_ring_buffer_get_write_pointer(r); uca_ring_buffer_write_advance(r); break;
        case Op::Read: block = uca_ring_buffer_get_read_pointer(r); break;
        case Op::Peek: block = uca_ring_buffer_peek_pointer(r); break;
        case Op::PointerAtOne: block = uca_ring_buffer_get_pointer(r, 1); break;
        case Op::Reset: uca_ring_buffer_reset(r); break;
        }
        // clang-format on
        EXPECT_EQ(block ? int((static_cast<guint8 *>(block) - base) / blockSize) : -1, step.block);
        EXPECT_EQ(uca_ring_buffer_available(r), step.available);
        EXPECT_EQ(uca_ring_buffer_get_num_blocks(r), step.filledBlocks);
    }
}

TEST(RingBuffer, BadCallsGiveCriticalsInsteadOfPointers)
{
    RingPtr ring(uca_ring_buffer_new(blockSize, nBlocks));
    RingPtr empty(uca_ring_buffer_new(0, 0));
    gpointer first = uca_ring_buffer_peek_pointer(ring.get());
    LogCapture log;

    EXPECT_EQ(uca_ring_buffer_get_read_pointer(ring.get()), nullptr);
    EXPECT_EQ(log.messages().size(), 1u) << "a critical on an empty read";
    uca_ring_buffer_write_advance(ring.get());
    EXPECT_EQ(uca_ring_buffer_get_read_pointer(ring.get()), first) << "the read index did not move";
    EXPECT_EQ(uca_ring_buffer_get_write_pointer(empty.get()), nullptr);
    EXPECT_EQ(uca_ring_buffer_get_pointer(empty.get(), 0), nullptr);
    EXPECT_FALSE(uca_ring_buffer_available(nullptr));
    EXPECT_EQ(log.messages().size(), 4u);
}

} // namespace
} // namespace TessaraVoltTest
