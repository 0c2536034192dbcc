#ifndef WAVEFORMFILE_H
#define WAVEFORMFILE_H

#include <QString>
#include <QVector>

#include "waveform.h"

class QIODevice;

// Readers of one period of an arbitrary waveform from a file.
//
// CSV: one value per line, or two columns (time, value) of which the value is used; ";", "," or a
// tab between the columns; "." or "," as decimal mark (a spreadsheet saved with Russian regional
// settings, ";" and decimal commas, loads); one optional header line before the first value;
// empty lines and comment lines (starting with "#") are skipped; double quotes around a cell
// are dropped. Without ";" or a tab in
// the file, a "," separates columns when the header has one (not followed by a space), when a
// value has a "." or when a line has more than one ","; otherwise it is the decimal mark of a
// single column ("0,5").
//
// WAV: PCM with 8 (unsigned), 16, 24 or 32 bits, or IEEE floats of 32 (or 64) bits, in the plain
// or the extensible format; any sample rate; the first channel. Integer samples are read as
// fractions of full scale (-1 .. 1), so the minimum and maximum shown are in those units.
//
// 2 to Waveform::maxPoints points, finite, not all zero. A file that cannot be used gives one
// message (Russian, naming the file, and the line or point where there is one) and no waveform.
namespace waveformfile {

struct Result
{
    WaveformPointer waveform;  // null when the file is refused
    QString message;           // why it is refused
    bool ok() const { return !waveform.isNull(); }
};

// Reads the file: as WAV when its contents start with a RIFF WAVE header or its name ends in
// ".wav", as CSV otherwise. The waveform keeps the file's name without its folder.
Result load(const QString& path);

// The readers on an open device (from its current position); fileName names the file in the
// messages and in the waveform.
Result readCsv(QIODevice& device, const QString& fileName);
Result readWav(QIODevice& device, const QString& fileName);

// A waveform of values already in memory (a setup that embeds one), with the same checks and
// messages; fileName names the source in them.
Result fromValues(const QVector<double>& values, const QString& fileName);

} // namespace waveformfile

#endif
