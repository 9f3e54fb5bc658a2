#pragma once
// The frames of the stream a measuring algorithm counts: the announced range
// when the loop knows it, everything otherwise (a pipe, an endless source).
// Frames outside it (a composite's padding of a delayed branch) are not part
// of the recording.
#include <cstdint>

#include "tonewright/SoundAlgo.h"

inline void streamBounds(const SoundAlgo::LoopContext& ctx, int64_t& start, int64_t& end) {
    if (ctx.frameNbToProcess > 0) {
        start = ctx.startOffset;
        end = int64_t(ctx.startOffset) + ctx.frameNbToProcess;
    } else {
        start = INT64_MIN;
        end = INT64_MAX;
    }
}
