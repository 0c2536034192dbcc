// The two ends of the wire protocol under arbitrary input, shared by the fuzzers (one entry point
// each) and by the test that runs every kept input as an ordinary test.
#ifndef STENDIX_TESTS_WIREHARNESS_H
#define STENDIX_TESTS_WIREHARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>

// Feeds one client's byte stream (after a first byte choosing the piece size) to vekd's connection.
// False, with the reason, when an answer vekd wrote is not a whole, well-formed answer frame within
// what a client accepts.
bool serveClientStream(const uint8_t* data, size_t size, std::string* problem);

// Gives one client library call (chosen by the first byte) the rest of the input as the service's
// answer. False, with the reason, when the call accepted an answer longer than its request allows.
bool answerLibraryCall(const uint8_t* data, size_t size, std::string* problem);

#endif
