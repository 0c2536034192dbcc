// The two ends of the wire protocol under arbitrary input, shared by the fuzzers (one entry point
// each) and by the test that runs every kept input as an ordinary test.
#ifndef STENDIX_TESTS_WIREHARNESS_H
#define STENDIX_TESTS_WIREHARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Feeds one client's byte stream (after a first byte choosing the piece size) to vekd's connection.
// False, with the reason, when an answer vekd wrote is not a whole, well-formed answer frame within
// what a client accepts.
bool serveClientStream(const uint8_t* data, size_t size, std::string* problem);

// Gives one client library call (chosen by the first byte) the rest of the input as the service's
// answer. False, with the reason, when the call accepted an answer longer than its request allows.
bool answerLibraryCall(const uint8_t* data, size_t size, std::string* problem);

// Runs remote control's command lines (the input split at '\n') through one client's session. False,
// with the reason, when an answer is not one line, the error queue outgrows its 32 entries, or the
// module is given a number that is not finite.
bool interpretCommandLines(const uint8_t* data, size_t size, std::string* problem);

// A fuzzer's entry: an input the harness finds a problem with ends the run, and libFuzzer keeps it.
inline int fuzzOneInput(bool (*harness)(const uint8_t*, size_t, std::string*), const uint8_t* data, size_t size)
{
    std::string problem;
    if (!harness(data, size, &problem)) {
        std::fprintf(stderr, "fuzzer: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

#endif
