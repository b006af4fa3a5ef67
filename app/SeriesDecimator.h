// Reduces a long series to what a chart of a given width can show: per
// bucket of neighbouring points only the lowest and the highest, so every
// spike and dip stays visible while the drawn count stays bounded by the
// width whatever the length of the run. The data itself is not touched.
#ifndef SERIESDECIMATOR_H
#define SERIESDECIMATOR_H

#include <QList>
#include <QPointF>

#include <functional>

class SeriesDecimator
{
public:
    // Point i of [from, to) is (x(i), y(i)); a y that is NaN is no point.
    using Value = std::function<double(int)>;

    // At most 2 points per bucket (and the range's first and last point), in
    // the order of i; every point when the range holds no more than that.
    static QList<QPointF> minMax(int from, int to, int buckets, const Value &x, const Value &y);
    // Marks: the first point of each bucket for which y is not NaN, so a
    // single marked point is never lost and the count stays bounded.
    static QList<QPointF> firstPerBucket(int from, int to, int buckets, const Value &x, const Value &y);
};

#endif // SERIESDECIMATOR_H
