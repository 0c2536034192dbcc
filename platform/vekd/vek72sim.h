// The simulated VEK72 module of the crate service: configuration, cyclic pages, the streaming FIFO
// played in real time, counters, present outputs and the capture of the last frames played.
//
// Time is passed in by the caller (nanoseconds of a monotonic clock), so the module is a plain object
// that tests drive with a clock of their own. Playback is computed lazily: advance(now) plays every
// frame period that has passed since the last call, which gives exact counts however seldom it runs.
#ifndef VEKD_VEK72SIM_H
#define VEKD_VEK72SIM_H

#include "vek72api.h"
#include "wire.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vekd {

using Nanos = int64_t;

struct Vek72Identity {
    std::string serial;        // at most 15 bytes
    uint16_t firmware = 0;
    uint8_t modification = 1;
    uint8_t channels = 8;      // DAC channel count 1..8
};

struct Vek72Counters {
    uint64_t wordsReceived = 0;  // words taken by VEK72_Send
    uint64_t framesPlayed = 0;   // frames put out from a page or the FIFO
    uint64_t underruns = 0;      // times the FIFO ran empty while streaming
    uint64_t underrunFrames = 0; // frame periods without data (the outputs held)
    uint64_t clippedSamples = 0; // words that carry the saturated flag
    uint64_t badWords = 0;       // words with a wrong tag or for a channel that is not enabled
    uint64_t sends = 0;          // VEK72_Send calls that reached the module
    uint64_t starts = 0;         // times output began (a stream start, a page switch of a stopped module)
    uint64_t stops = 0;          // times output ended (a stop, the client letting go while it ran)
    uint64_t stoppedFramePeriods = 0; // frame periods from a stop to the next start, at the stopped rate
    uint64_t pageSwitches = 0;   // pages that became the playing page while output ran
};

// The recent history of one output, as an instrument touching it would see it.
struct OutputTrace {
    std::vector<double> volts; // oldest first, in volts
    double rate = 0;           // values per second; 0: the output holds volts[0] (one value)
};

// A gain and an offset error of one output in one range: what a module out of calibration plays,
// v * (1 + gainPpm / 1e6) + offsetMicrovolts / 1e6 for a sample of v volts.
struct OutputError {
    double gainPpm = 0;
    double offsetMicrovolts = 0;
    bool any() const { return gainPpm != 0 || offsetMicrovolts != 0; }
};

struct Vek72Capture {
    std::vector<uint8_t> channels; // physical channel index of each column
    uint32_t frames = 0;
    std::vector<double> volts;     // frames x channels.size(), row by row
};

class Vek72Module {
public:
    static constexpr uint32_t kPageWords = VEK72_PAGE_WORDS;
    static constexpr uint32_t kFifoWords = VEK72_FIFO_WORDS;
    static constexpr uint32_t kCaptureWords = 1u << 20; // words kept for capture

    explicit Vek72Module(Vek72Identity id);

    const Vek72Identity& identity() const { return id_; }

    // Each operation answers 0 or a negative VEK72_E_* code.
    int configure(const vekproto::ModuleConfig& c, Nanos now);
    // Takes up to limit words now (page or FIFO room); answers the number taken or an error code.
    int64_t send(const uint32_t* words, uint32_t count, uint32_t limit, Nanos now);
    int streamStart(Nanos now);
    // flags 0: the loading page (else a scheduled one) plays at once from its first frame, starting
    // output when it is stopped. VEK72_SWITCH_AT_PASS_END while a page plays: the loading page is
    // scheduled and becomes the playing page right after the last frame of the current pass.
    int switchPage(Nanos now, uint32_t flags = 0);
    // Streaming, while output runs: keeps the first keepWords words of the FIFO (whole frames) and
    // discards the rest; answers the words kept, *nextFrame the stream position of the next word sent.
    int streamCut(uint32_t keepWords, Nanos now, uint64_t* nextFrame);
    int stop(Nanos now);
    // The client let go of the module: output ends and the configuration is forgotten, the outputs
    // holding their last value; with `keepPlaying` output goes on as it was (a module whose service
    // does not stop it), until a client stops it.
    void release(Nanos now, bool keepPlaying = false);

    // Plays what is due up to now.
    void advance(Nanos now);

    // Checks that do not change anything: the error code a send or a start would get before the
    // checks of its mode (0 when the module is configured with at least one channel).
    int readyCheck() const;
    // Counts one VEK72_Send that reached the module (one call may take its words in several steps).
    void noteSend() { ++counters_.sends; }
    bool streaming() const { return configured_ && config_.outputMode == 1; }
    bool running() const { return running_; }
    uint32_t fifoRoom() const { return kFifoWords - fifoCount_; }
    uint32_t fifoWords() const { return fifoCount_; }
    uint32_t loadingPageWords() const { return uint32_t(loading_.size()); }
    uint32_t playingPageWords() const { return uint32_t(playing_.size()); }
    uint32_t scheduledPageWords() const { return uint32_t(scheduled_.size()); }
    // Frame periods of the stop in progress so far (counted in stoppedFramePeriods at the next start).
    uint64_t stoppedStretchFrames(Nanos now) const;
    // The earliest time at which the FIFO will have room for `words` words; -1 when it never will
    // by playback alone (output stopped).
    Nanos timeForRoom(uint32_t words) const;

    vekproto::ModuleState state() const;
    const vekproto::ModuleConfig& config() const { return config_; }
    bool configured() const { return configured_; }
    const Vek72Counters& counters() const { return counters_; }
    unsigned enabledCount() const { return enabled_; }
    const std::array<uint8_t, 8>& enabledChannels() const { return enabledList_; }
    // Present output of each physical channel in volts.
    const std::array<double, 8>& outputs() const { return outputs_; }
    // The last `frames` frames played (fewer when fewer are kept), decoded to volts.
    Vek72Capture capture(uint32_t frames) const;
    // The last `seconds` of output `channel` (0..7) as played: the frames kept for the capture while
    // output runs with that channel enabled (the earliest one repeated where fewer are kept), else
    // the value the output holds. Call advance() first. Everything that probes an output reads it here.
    OutputTrace outputTrace(unsigned channel, double seconds) const;
    double volts(uint32_t word) const;

    // Output errors by channel (0..7) and output selector (0 full range, 1 one-tenth): every path
    // an output is seen by (present outputs, capture, traces) plays them.
    void setOutputError(unsigned channel, unsigned selector, const OutputError& error);
    const OutputError& outputError(unsigned channel, unsigned selector) const { return errors_[channel & 7u][selector & 1u]; }
    void clearOutputErrors();

private:
    // The volts output `channel` puts out for a code, in its present range, with its error.
    double outputVolts(unsigned channel, unsigned code) const;
    void playFrames(const uint32_t* src, uint64_t frames); // contiguous whole frames
    // Keeps `words` words played from a ring (the FIFO or the page played over and over) of
    // sourceWords words, starting at index `at`, for the capture.
    void keepForCapture(const uint32_t* source, size_t sourceWords, size_t at, uint64_t words);
    void setOutputsFrom(const uint32_t* frame);
    void beginOutput(Nanos now);
    void endOutput(Nanos now);
    // The scheduled page becomes the playing page, from its first frame.
    void takeScheduled();
    uint64_t framesDue(Nanos now) const;

    Vek72Identity id_;
    vekproto::ModuleConfig config_;
    bool configured_ = false;
    unsigned enabled_ = 0;
    std::array<uint8_t, 8> enabledList_{};
    uint8_t enabledMask_ = 0;
    uint32_t rate_ = 0; // frames per second while output runs

    bool running_ = false;
    Nanos startedAt_ = 0;
    uint64_t periodsDone_ = 0; // frame periods accounted for since the start
    bool inUnderrun_ = false;
    uint64_t streamFrames_ = 0; // frames taken from the FIFO since the stream started

    // a stop of configured output not yet followed by a start
    bool stoppedStretch_ = false;
    Nanos stoppedSince_ = 0;
    uint32_t stoppedRate_ = 0;

    // cyclic pages
    std::vector<uint32_t> loading_;
    std::vector<uint32_t> playing_;
    std::vector<uint32_t> scheduled_; // to play after the current pass of playing_
    uint64_t pagePos_ = 0; // next frame of the playing page

    // streaming FIFO (ring)
    std::vector<uint32_t> fifo_;
    uint32_t fifoHead_ = 0;
    uint32_t fifoCount_ = 0;

    // capture ring of whole frames
    std::vector<uint32_t> ring_;
    size_t ringHead_ = 0;  // next write position
    size_t ringFill_ = 0;  // words held
    size_t ringCap_ = 0;   // whole frames' worth of words

    std::array<double, 8> outputs_{};
    Vek72Counters counters_;
    OutputError errors_[8][2];
};

} // namespace vekd

#endif
