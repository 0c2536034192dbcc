// The arbitrary waveform record: validation, normalisation and the spectrum of the period.

#include "waveform.h"

#include "synthesisfft.h"

#include <QMutexLocker>

#include <algorithm>
#include <cmath>

QSharedPointer<const Waveform> Waveform::create(const QVector<double>& values, const QString& fileName,
                                                Problem* problem, int* badIndex)
{
    auto refuse = [problem](Problem why) {
        if (problem)
            *problem = why;
        return QSharedPointer<const Waveform>();
    };
    if (values.isEmpty())
        return refuse(NoPoints);
    if (values.size() < minPoints)
        return refuse(OnePoint);
    if (values.size() > maxPoints)
        return refuse(TooManyPoints);
    double lowest = values.first(), highest = values.first(), peak = 0.0;
    for (int i = 0; i < values.size(); ++i) {
        const double v = values.at(i);
        if (!std::isfinite(v)) {
            if (badIndex)
                *badIndex = i;
            return refuse(NotFinite);
        }
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
        peak = std::max(peak, std::abs(v));
    }
    if (peak == 0.0)
        return refuse(AllZero);

    QSharedPointer<Waveform> w(new Waveform);
    w->normalised.resize(values.size());
    for (int i = 0; i < values.size(); ++i)
        w->normalised[i] = values.at(i) / peak;
    w->name = fileName;
    w->lowest = lowest;
    w->highest = highest;
    w->largestMagnitude = peak;
    w->harmonics = synthesis::fft::realSpectrum(w->normalised.constData(), values.size());
    const double scale = 1.0 / double(values.size());
    for (std::complex<double>& c : w->harmonics)
        c *= scale;
    if (problem)
        *problem = NoProblem;
    return w;
}

Waveform::Table Waveform::table(qint64 harmonics, const std::function<Table()>& make) const
{
    QMutexLocker locker(&tables->lock);
    Table found = tables->made.value(harmonics).toStrongRef();
    if (!found) {
        found = make();
        for (auto it = tables->made.begin(); it != tables->made.end();) {
            if (it->isNull())
                it = tables->made.erase(it);
            else
                ++it;
        }
        tables->made.insert(harmonics, found.toWeakRef());
    }
    tables->last = found;
    return found;
}
