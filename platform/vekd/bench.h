// The crates the simulator serves: read from a crate file (JSON) or the built-in bench.
//
// Crate file:
//   { "crates": [
//       { "serial": "4B210736",              // 1..15 bytes, unique; at most 16 crates
//         "refuseOpen": false,               // optional: VEK_OpenCrate is refused
//         "slots": [
//           { "slot": 1, "type": 4660 },     // any module type identifier 1..65535
//           { "slot": 3, "type": 8995,       // a VEK72:
//             "modification": 1,             //   optional, default 1 (0..255; 1, 2, 3 are known kinds)
//             "channels": 8,                 //   optional DAC channel count 1..8, default 8
//             "serial": "72A10419",          //   optional serial text, 1..15 bytes
//             "firmware": 214,               //   optional 0..65535, default 100
//             "faulty": false }              //   optional: every VEK72_Open fails (VEK72_E_HARDWARE)
//         ] } ] }
#ifndef VEKD_BENCH_H
#define VEKD_BENCH_H

#include "vek72sim.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vekd {

// The next `remaining` calls of a function fail with `code`.
struct FunctionFault {
    int remaining = 0;
    int code = 0;
};
using FaultTable = std::map<std::string, FunctionFault>;

class Connection;

struct Slot {
    uint16_t type = 0;
    bool faulty = false;
    std::unique_ptr<Vek72Module> module; // for a VEK72
    Connection* owner = nullptr;         // client that has the module open
    FaultTable faults;
    int shortSendRemaining = 0;          // next sends accept at most shortSendWords words
    uint32_t shortSendWords = 0;
    bool keepPlaying = false;            // output goes on when the client lets go (fault keep-playing)
};

struct Crate {
    std::string serial;
    bool refuseOpen = false;
    std::array<Slot, 16> slots;
    FaultTable faults;
};

struct Bench {
    std::vector<std::unique_ptr<Crate>> crates;
    Crate* find(const std::string& serial) const;
};

// Parses a crate file; on failure answers false with a message naming the offending entry.
bool parseBench(const QByteArray& json, Bench& bench, QString* error);
void builtinBench(Bench& bench);

// Takes one call of `function` off the table: true (and the code) when that call is to fail.
bool takeFault(FaultTable& table, const std::string& function, int* code);

} // namespace vekd

#endif
