#include "SeriesDecimator.h"

#include <algorithm>
#include <cmath>

namespace {

// Index range of bucket b when n points share `buckets` buckets.
int bucketStart(int from, qint64 n, int buckets, int b)
{
    return from + int(n * b / buckets);
}

} // namespace

QList<QPointF> SeriesDecimator::minMax(int from, int to, int buckets, const Value &x, const Value &y)
{
    QList<QPointF> points;
    const qint64 n = qint64(to) - from;
    if (n <= 0)
        return points;
    buckets = std::max(1, buckets);
    if (n <= 2 * qint64(buckets)) {
        points.reserve(int(n));
        for (int i = from; i < to; ++i) {
            const double v = y(i);
            if (!std::isnan(v))
                points.append(QPointF(x(i), v));
        }
        return points;
    }
    points.reserve(2 * buckets + 2);
    for (int b = 0; b < buckets; ++b) {
        const int begin = bucketStart(from, n, buckets, b);
        const int end = bucketStart(from, n, buckets, b + 1);
        int low = -1;
        int high = -1;
        double lowValue = 0;
        double highValue = 0;
        for (int i = begin; i < end; ++i) {
            const double v = y(i);
            if (std::isnan(v))
                continue;
            if (low < 0 || v < lowValue) {
                low = i;
                lowValue = v;
            }
            if (high < 0 || v > highValue) {
                high = i;
                highValue = v;
            }
        }
        if (low < 0)
            continue;
        int picked[4] = {low, high, low, high};
        // The line starts at the first point and ends at the last one.
        if (b == 0)
            for (int i = begin; i < end; ++i)
                if (!std::isnan(y(i))) {
                    picked[2] = i;
                    break;
                }
        if (b == buckets - 1)
            for (int i = end - 1; i >= begin; --i)
                if (!std::isnan(y(i))) {
                    picked[3] = i;
                    break;
                }
        std::sort(std::begin(picked), std::end(picked));
        for (int k = 0; k < 4; ++k)
            if (k == 0 || picked[k] != picked[k - 1])
                points.append(QPointF(x(picked[k]), y(picked[k])));
    }
    return points;
}

QList<QPointF> SeriesDecimator::firstPerBucket(int from, int to, int buckets, const Value &x, const Value &y)
{
    QList<QPointF> points;
    const qint64 n = qint64(to) - from;
    if (n <= 0)
        return points;
    buckets = int(std::min<qint64>(std::max(1, buckets), n));
    for (int b = 0; b < buckets; ++b) {
        const int end = bucketStart(from, n, buckets, b + 1);
        for (int i = bucketStart(from, n, buckets, b); i < end; ++i) {
            const double v = y(i);
            if (!std::isnan(v)) {
                points.append(QPointF(x(i), v));
                break;
            }
        }
    }
    return points;
}
