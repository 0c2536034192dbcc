// Frames on demand: every channel of a plan filled piece by piece at any stream position, and
// interleaved from there.

#include "synthesis.h"

#include <algorithm>

namespace synthesis {

namespace {

// Frames of every channel filled at a time before they are interleaved: the pieces stay in the
// cache between the fill and the interleaving.
constexpr qint64 pieceFrames = 1024;

} // namespace

FrameSource::FrameSource(const Plan& plan) : signalLength(plan.length)
{
    fillers.reserve(size_t(plan.channels.size()));
    for (const ChannelPlan& channel : plan.channels)
        fillers.emplace_back(channel, plan.length);
    if (fillers.size() > 1)
        pieces.resize(fillers.size() * size_t(pieceFrames));
}

qint64 FrameSource::fill(double* dst, qint64 position, qint64 frames)
{
    if (fillers.empty() || signalLength <= 0)
        return 0;
    const int e = channelCount();
    position %= signalLength;
    double* from[8];
    std::vector<double*> many;
    double** channels = from;
    if (e > 8) {
        many.resize(size_t(e));
        channels = many.data();
    }
    for (int i = 0; i < e && e > 1; ++i)
        channels[i] = pieces.data() + i * pieceFrames;
    while (frames > 0) {
        // Up to the end of the signals, then from their start again.
        const qint64 run = std::min(frames, signalLength - position);
        if (e == 1) {
            fillers.front().fillInto(dst, position, position + run);
        } else {
            for (qint64 done = 0; done < run; done += pieceFrames) {
                const qint64 count = std::min(pieceFrames, run - done);
                for (int i = 0; i < e; ++i)
                    fillers[size_t(i)].fillInto(channels[i], position + done, position + done + count);
                interleaveFrames(channels, e, dst + e * done, count);
            }
        }
        dst += e * run;
        frames -= run;
        position += run;
        if (position == signalLength)
            position = 0;
    }
    return position;
}

} // namespace synthesis
