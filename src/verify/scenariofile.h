// Scenario files: indented JSON with the format's version under "scenario". A file that cannot be
// used is refused whole, with a Russian text that names its first bad entry; the caller's scenario
// stays as it was.
//
//   { "scenario": 1, "program": "1.4.27", "title": "...", "module": "VEK72-1-8",
//     "items": [ { "category": "Канал 1", "items": [ ... ] },
//                { "step": "title or empty", "channel": 1..8,
//                  "type": "DC" | "AC" | "custom",  "shape": "sine" | "triangle" | "saw" | "pulse" | "line",
//                  "range": "full" | "tenth", "voltage_V", "frequency_Hz", "offset_V",
//                  "dacRate_Hz": 48000 | 96000 | 192000, "mode": "cyclic" | "streaming",
//                  "measure": "DC" | "AC" | "frequency", "acFilter_Hz": 3 | 20 | 200,
//                  "settle_ms", "readings", "expected": "auto" | number,
//                  "tolerance": { "value_pct", "range_pct" } | { "absolute" } } ] }
//
// Only "channel", "type", "range", "voltage_V", "measure" and "tolerance" are needed in a step; the
// rest take the values of a new step (scenario.h), the settle time that of its measurement.
#ifndef VERIFY_SCENARIOFILE_H
#define VERIFY_SCENARIOFILE_H

#include <QByteArray>
#include <QString>

#include "scenario.h"

namespace verify {
namespace scenariofile {

constexpr int formatVersion = 1;

// "json": the suffix the file dialogs offer.
QString suffix();
QByteArray toJson(const Scenario& scenario);
// False with `error` when the bytes are not a usable scenario; `scenario` is then unchanged.
bool fromJson(const QByteArray& bytes, Scenario* scenario, QString* error);

// The file on disk: written whole or not at all; read whole.
bool save(const QString& path, const Scenario& scenario, QString* error);
bool load(const QString& path, Scenario* scenario, QString* error);

} // namespace scenariofile

} // namespace verify

#endif
