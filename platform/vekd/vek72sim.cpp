#include "vek72sim.h"

#include "dacword.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vekd {

using namespace vekproto;

namespace {

// Whole frame periods at `rate` frames per second in the time from `from` to `to`.
uint64_t periodsBetween(Nanos from, Nanos to, uint32_t rate)
{
    if (to <= from || rate == 0) return 0;
    return uint64_t((__int128)(to - from) * rate / 1000000000);
}

} // namespace

Vek72Module::Vek72Module(Vek72Identity id) : id_(std::move(id)) {}

int Vek72Module::configure(const ModuleConfig& c, Nanos now)
{
    advance(now);
    if (running_) return VEK72_E_RUNNING;
    if (c.dacRateHz != 48000 && c.dacRateHz != 96000 && c.dacRateHz != 192000) return VEK72_E_BAD_RATE;
    if (c.outputMode > 1) return VEK72_E_ARGUMENT;
    unsigned count = 0;
    std::array<uint8_t, 8> list{};
    uint8_t mask = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if (!c.enabled[i]) continue;
        if (i >= id_.channels || c.output[i] > 1 || c.source[i] != 0) return VEK72_E_ARGUMENT;
        list[count++] = uint8_t(i);
        mask |= uint8_t(1u << i);
    }
    config_ = c;
    configured_ = true;
    enabled_ = count;
    enabledList_ = list;
    enabledMask_ = mask;
    unsigned k = count <= 1 ? 1 : count <= 2 ? 2 : count <= 4 ? 4 : 8;
    rate_ = count ? c.dacRateHz / k : 0;
    loading_.clear();
    playing_.clear();
    scheduled_.clear();
    pagePos_ = 0;
    fifoHead_ = fifoCount_ = 0;
    ringHead_ = ringFill_ = 0;
    ringCap_ = count ? (kCaptureWords / count) * count : 0;
    if (count == 0) {
        outputs_.fill(0.0); // the zeroing configuration: the outputs are put at rest, not stopped
        stoppedStretch_ = false;
    }
    return VEK72_OK;
}

int Vek72Module::readyCheck() const
{
    if (!configured_) return VEK72_E_NOT_CONFIGURED;
    if (enabled_ == 0) return VEK72_E_NO_CHANNELS;
    return VEK72_OK;
}

int64_t Vek72Module::send(const uint32_t* words, uint32_t count, uint32_t limit, Nanos now)
{
    if (int rc = readyCheck()) return rc;
    advance(now);
    uint32_t n = std::min(count, limit);
    uint32_t take;
    if (config_.outputMode == 0) {
        // every send loads a page of its own
        take = std::min<uint32_t>(n, kPageWords);
        loading_.assign(words, words + take);
    } else {
        if (fifo_.empty()) fifo_.resize(kFifoWords);
        take = std::min(n, kFifoWords - fifoCount_);
        uint32_t tail = (fifoHead_ + fifoCount_) % kFifoWords;
        uint32_t first = std::min(take, kFifoWords - tail);
        std::memcpy(&fifo_[tail], words, size_t(first) * 4);
        std::memcpy(&fifo_[0], words + first, size_t(take - first) * 4);
        fifoCount_ += take;
        if (fifoCount_ >= enabled_) inUnderrun_ = false;
    }
    uint64_t clipped = 0, bad = 0;
    for (uint32_t i = 0; i < take; ++i) {
        uint32_t w = words[i];
        clipped += (w >> 19) & 1u;
        bad += ((w >> 24) != kWordTag) | (((enabledMask_ >> ((w >> 16) & 7u)) & 1u) == 0);
    }
    counters_.clippedSamples += clipped;
    counters_.badWords += bad;
    counters_.wordsReceived += take;
    return take;
}

int Vek72Module::streamStart(Nanos now)
{
    advance(now);
    if (int rc = readyCheck()) return rc;
    if (config_.outputMode != 1) return VEK72_E_WRONG_MODE;
    if (running_) return VEK72_E_RUNNING;
    beginOutput(now);
    return VEK72_OK;
}

int Vek72Module::switchPage(Nanos now, uint32_t flags)
{
    advance(now);
    if (flags & ~uint32_t(VEK72_SWITCH_AT_PASS_END)) return VEK72_E_ARGUMENT;
    if (int rc = readyCheck()) return rc;
    if (config_.outputMode != 0) return VEK72_E_WRONG_MODE;
    const size_t frames = loading_.size() / enabled_;
    if (running_ && (flags & VEK72_SWITCH_AT_PASS_END)) {
        // Scheduled apart from the loading page, replacing a page scheduled before; at a pass
        // boundary (the next frame is the page's first) it takes effect at once.
        if (frames == 0) return VEK72_E_EMPTY_PAGE;
        loading_.resize(frames * enabled_);
        scheduled_.swap(loading_);
        loading_.clear();
        if (pagePos_ == 0) takeScheduled();
        return VEK72_OK;
    }
    if (frames > 0) {
        loading_.resize(frames * enabled_);
        playing_.swap(loading_);
        loading_.clear();
        scheduled_.clear(); // an older page must not follow the newer one
    } else if (running_ && !scheduled_.empty()) {
        playing_.swap(scheduled_); // nothing loaded since: the scheduled page, now
        scheduled_.clear();
    } else if (running_ || playing_.empty()) {
        // nothing new to switch to (a stopped module restarts the page it kept)
        return VEK72_E_EMPTY_PAGE;
    }
    pagePos_ = 0;
    if (running_) ++counters_.pageSwitches;
    else beginOutput(now);
    return VEK72_OK;
}

int Vek72Module::streamCut(uint32_t keepWords, Nanos now, uint64_t* nextFrame)
{
    advance(now);
    if (int rc = readyCheck()) return rc;
    if (config_.outputMode != 1) return VEK72_E_WRONG_MODE;
    if (!running_) return VEK72_E_NOT_RUNNING;
    // Whole frames only: a partial frame at the end goes too, so the next word sent begins a frame.
    const uint32_t keep = std::min(keepWords, fifoCount_) / enabled_ * enabled_;
    fifoCount_ = keep;
    if (nextFrame) *nextFrame = streamFrames_ + keep / enabled_;
    return int(keep);
}

int Vek72Module::stop(Nanos now)
{
    advance(now);
    if (!running_) return VEK72_E_NOT_RUNNING;
    endOutput(now);
    return VEK72_OK;
}

void Vek72Module::release(Nanos now, bool keepPlaying)
{
    advance(now);
    if (keepPlaying && running_)
        return;
    if (running_) endOutput(now);
    stoppedStretch_ = false; // letting go is no gap in output
    configured_ = false;
    enabled_ = 0;
    enabledMask_ = 0;
    rate_ = 0;
    loading_.clear();
    playing_.clear();
    scheduled_.clear();
    std::vector<uint32_t>().swap(fifo_);
    fifoHead_ = fifoCount_ = 0;
}

void Vek72Module::beginOutput(Nanos now)
{
    if (stoppedStretch_) counters_.stoppedFramePeriods += periodsBetween(stoppedSince_, now, stoppedRate_);
    stoppedStretch_ = false;
    ++counters_.starts;
    running_ = true;
    startedAt_ = now;
    periodsDone_ = 0;
    streamFrames_ = 0;
    inUnderrun_ = false;
}

void Vek72Module::endOutput(Nanos now)
{
    ++counters_.stops;
    stoppedStretch_ = true;
    stoppedSince_ = now;
    stoppedRate_ = rate_;
    running_ = false;
    inUnderrun_ = false;
    fifoHead_ = fifoCount_ = 0;
    scheduled_.clear();
}

void Vek72Module::takeScheduled()
{
    playing_.swap(scheduled_);
    scheduled_.clear();
    pagePos_ = 0;
    ++counters_.pageSwitches;
}

uint64_t Vek72Module::stoppedStretchFrames(Nanos now) const
{
    return stoppedStretch_ ? periodsBetween(stoppedSince_, now, stoppedRate_) : 0;
}

uint64_t Vek72Module::framesDue(Nanos now) const
{
    if (now <= startedAt_ || rate_ == 0) return 0;
    return uint64_t((__int128)(now - startedAt_) * rate_ / 1000000000);
}

Nanos Vek72Module::timeForRoom(uint32_t words) const
{
    if (!running_ || !streaming() || enabled_ == 0 || rate_ == 0) return -1;
    uint32_t room = fifoRoom();
    uint64_t frames = words > room ? (uint64_t(words - room) + enabled_ - 1) / enabled_ : 0;
    uint64_t period = periodsDone_ + frames;
    // first instant at which framesDue() reaches `period`
    __int128 ns = ((__int128)period * 1000000000 + rate_ - 1) / rate_;
    return startedAt_ + Nanos(ns);
}

void Vek72Module::advance(Nanos now)
{
    if (!running_ || enabled_ == 0) return;
    uint64_t target = framesDue(now);
    if (target <= periodsDone_) return;
    uint64_t due = target - periodsDone_;
    periodsDone_ = target;
    const unsigned e = enabled_;
    if (config_.outputMode == 1) {
        uint64_t take = std::min<uint64_t>(due, fifoCount_ / e);
        if (take) {
            uint64_t words = take * e;
            keepForCapture(fifo_.data(), kFifoWords, fifoHead_, words);
            uint32_t last[8];
            uint32_t lastAt = uint32_t((fifoHead_ + words - e) % kFifoWords);
            for (unsigned i = 0; i < e; ++i) last[i] = fifo_[(lastAt + i) % kFifoWords];
            setOutputsFrom(last);
            fifoHead_ = uint32_t((fifoHead_ + words) % kFifoWords);
            fifoCount_ -= uint32_t(words);
            counters_.framesPlayed += take;
            streamFrames_ += take;
        }
        if (due > take) {
            counters_.underrunFrames += due - take;
            if (!inUnderrun_) {
                ++counters_.underruns;
                inUnderrun_ = true;
            }
        }
    } else {
        // At most two runs: the rest of the current pass, then the scheduled page from its first frame.
        while (due > 0) {
            uint64_t pageFrames = playing_.size() / e;
            if (pageFrames == 0) return;
            uint64_t run = scheduled_.empty() ? due : std::min(due, pageFrames - pagePos_);
            keepForCapture(playing_.data(), playing_.size(), pagePos_ * e, run * e);
            pagePos_ = (pagePos_ + run) % pageFrames;
            uint64_t lastFrame = (pagePos_ + pageFrames - 1) % pageFrames;
            setOutputsFrom(&playing_[lastFrame * e]);
            counters_.framesPlayed += run;
            due -= run;
            // right after the last frame of the pass
            if (pagePos_ == 0 && !scheduled_.empty()) takeScheduled();
        }
    }
}

void Vek72Module::keepForCapture(const uint32_t* source, size_t sourceWords, size_t at, uint64_t words)
{
    if (ringCap_ == 0) return;
    if (ring_.size() != ringCap_) {
        ring_.assign(ringCap_, 0);
        ringHead_ = ringFill_ = 0;
    }
    // only the last ringCap_ words (whole frames) can stay
    if (words > ringCap_) {
        at = size_t((at + (words - ringCap_)) % sourceWords);
        words = ringCap_;
    }
    while (words) {
        size_t seg = std::min({size_t(words), sourceWords - at, ringCap_ - ringHead_});
        std::memcpy(&ring_[ringHead_], source + at, seg * 4);
        ringHead_ = (ringHead_ + seg) % ringCap_;
        ringFill_ = std::min(ringCap_, ringFill_ + seg);
        at = (at + seg) % sourceWords;
        words -= seg;
    }
}

double Vek72Module::volts(uint32_t word) const
{
    return outputVolts(wordChannel(word), wordCode(word));
}

double Vek72Module::outputVolts(unsigned channel, unsigned code) const
{
    const unsigned selector = config_.output[channel & 7u] ? 1u : 0u;
    const OutputError& e = errors_[channel & 7u][selector];
    const double v = codeToVolts(code, channelScale(id_.modification, config_.output[channel & 7u]));
    return e.any() ? v * (1 + e.gainPpm * 1e-6) + e.offsetMicrovolts * 1e-6 : v;
}

void Vek72Module::setOutputError(unsigned channel, unsigned selector, const OutputError& error)
{
    errors_[channel & 7u][selector & 1u] = error;
}

void Vek72Module::clearOutputErrors()
{
    for (auto& channel : errors_)
        for (OutputError& e : channel) e = OutputError{};
}

void Vek72Module::setOutputsFrom(const uint32_t* frame)
{
    for (unsigned i = 0; i < enabled_; ++i) {
        uint32_t w = frame[i];
        unsigned ch = wordChannel(w);
        if (wordTagValid(w) && ((enabledMask_ >> ch) & 1u)) outputs_[ch] = volts(w);
    }
}

ModuleState Vek72Module::state() const
{
    ModuleState s;
    s.running = running_ ? 1 : 0;
    s.enabledChannels = uint8_t(configured_ ? enabled_ : 0);
    s.outputMode = configured_ ? config_.outputMode : 0;
    s.configured = configured_ ? 1 : 0;
    s.outputRate = configured_ ? double(rate_) : 0.0;
    return s;
}

Vek72Capture Vek72Module::capture(uint32_t frames) const
{
    Vek72Capture c;
    const unsigned e = enabled_;
    if (e == 0 || ringCap_ == 0 || ring_.size() != ringCap_) return c;
    c.channels.assign(enabledList_.begin(), enabledList_.begin() + e);
    uint64_t available = ringFill_ / e;
    c.frames = uint32_t(std::min<uint64_t>(frames, available));
    c.volts.resize(size_t(c.frames) * e);
    size_t pos = (ringHead_ + ringCap_ - size_t(c.frames) * e) % ringCap_;
    for (size_t k = 0; k < size_t(c.frames) * e; ++k) {
        c.volts[k] = outputVolts(enabledList_[k % e], wordCode(ring_[pos]));
        pos = pos + 1 == ringCap_ ? 0 : pos + 1;
    }
    return c;
}

OutputTrace Vek72Module::outputTrace(unsigned channel, double seconds) const
{
    OutputTrace t;
    const unsigned e = enabled_;
    int column = -1;
    for (unsigned i = 0; i < e; ++i)
        if (enabledList_[i] == channel) column = int(i);
    if (!running_ || column < 0 || rate_ == 0 || ring_.size() != ringCap_ || ringFill_ < e) {
        t.volts.assign(1, channel < 8 ? outputs_[channel] : 0.0);
        return t;
    }
    // At most two capture rings' worth: no instrument looks further back.
    const uint64_t want = std::max<uint64_t>(1, std::min<uint64_t>(uint64_t(std::ceil(std::max(0.0, seconds) * rate_)),
                                                                  2 * uint64_t(kCaptureWords)));
    const uint64_t take = std::min<uint64_t>(want, ringFill_ / e);
    t.rate = rate_;
    t.volts.resize(size_t(want));
    size_t pos = (ringHead_ + ringCap_ - size_t(take) * e) % ringCap_ + size_t(column);
    for (uint64_t k = want - take; k < want; ++k) {
        t.volts[size_t(k)] = outputVolts(channel, wordCode(ring_[pos]));
        pos += e;
        if (pos >= ringCap_) pos -= ringCap_;
    }
    std::fill(t.volts.begin(), t.volts.begin() + std::ptrdiff_t(want - take), t.volts[size_t(want - take)]);
    return t;
}

} // namespace vekd
