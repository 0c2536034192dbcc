#ifndef WAVEFORM_H
#define WAVEFORM_H

#include <QHash>
#include <QMetaType>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QVector>

#include <complex>
#include <functional>
#include <memory>
#include <vector>

// One period of an arbitrary waveform, as loaded from a file: an immutable record shared by every
// copy of the channel signals that play it (ChannelSignal::waveform).
//
// The points are normalised to their own peak (the largest absolute value becomes 1); synthesis
// scales them by the signal's amplitude and shifts them by its offset. The record also keeps what
// the file held (name, count, minimum and maximum before normalisation) for display, and the
// spectrum of the period, computed once here so that every synthesis only has to band-limit it.
class Waveform
{
public:
    static constexpr int minPoints = 2;
    static constexpr int maxPoints = 1048576;

    // Why a set of values cannot be a waveform.
    enum Problem { NoProblem, NoPoints, OnePoint, TooManyPoints, NotFinite, AllZero };

    // A waveform of the given values (one period) or null with the problem, and for NotFinite the
    // index of the first value that is NaN or infinite in *badIndex. The spectrum is computed here:
    // some hundreds of milliseconds for the largest periods whose length is not a power of two.
    static QSharedPointer<const Waveform> create(const QVector<double>& values, const QString& fileName,
                                                 Problem* problem = nullptr, int* badIndex = nullptr);

    const QVector<double>& points() const { return normalised; }  // peak 1
    int pointCount() const { return normalised.size(); }
    const QString& fileName() const { return name; }     // without the folder
    double minimum() const { return lowest; }             // of the values as read
    double maximum() const { return highest; }
    double peak() const { return largestMagnitude; }      // the divisor of the normalisation

    // Harmonics 0 .. pointCount() / 2 of the normalised period, scaled so that
    // point[j] = sum over h of c[h] exp(2 pi i h j / N) with c[-h] = conj(c[h]).
    const std::vector<std::complex<double>>& spectrum() const { return harmonics; }

    // A table that synthesis makes of this period (the band-limited period of `harmonics`
    // harmonics): made by `make` the first time it is asked for and shared by every channel that
    // plays it. A table is kept while any channel holds it, and the last one made as long as the
    // waveform itself lives (a channel or a setup holds it), so that a channel started again at
    // the same frequency finds its table. Any thread; a second caller of the same table waits for
    // the first one's to be made.
    using Table = QSharedPointer<const QVector<double>>;
    Table table(qint64 harmonics, const std::function<Table()>& make) const;

private:
    Waveform() = default;

    struct Tables
    {
        QMutex lock;
        QHash<qint64, QWeakPointer<const QVector<double>>> made;
        Table last;
    };

    QVector<double> normalised;
    QString name;
    double lowest = 0.0;
    double highest = 0.0;
    double largestMagnitude = 0.0;
    std::vector<std::complex<double>> harmonics;
    std::unique_ptr<Tables> tables{new Tables};
};

using WaveformPointer = QSharedPointer<const Waveform>;
// Carried in a QVariant by a setup (the custom signal's waveform).
Q_DECLARE_METATYPE(WaveformPointer)

#endif
