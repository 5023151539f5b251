#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QList>
#include <QtAlgorithms>
#include <cstdio>

// Median and 99th percentile of a set of samples (milliseconds).
inline void printPercentiles(const char* label, QList<double> samples)
{
    if (samples.isEmpty())
        return;
    std::sort(samples.begin(), samples.end());
    const double median = samples.at(samples.size() / 2);
    int index = int(samples.size() * 0.99 + 0.5) - 1;
    index = qBound(0, index, samples.size() - 1);
    std::printf("%s: n=%d median=%.3f ms p99=%.3f ms max=%.3f ms\n", label, int(samples.size()), median,
                samples.at(index), samples.last());
}

#endif // BENCHSUPPORT_H
