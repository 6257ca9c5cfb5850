#include "traces.h"

#include <algorithm>

namespace brovascope {

void Trace::append(double seconds, double value)
{
    points_.emplace_back(seconds, value);
}

void Trace::keep(double seconds)
{
    if (points_.empty())
        return;
    const double oldest = points_.back().x() - seconds;
    while (!points_.empty() && points_.front().x() < oldest)
        points_.pop_front();
}

QVector<QPointF> Trace::decimated(double from, double to, int columns, double& min, double& max) const
{
    QVector<QPointF> out;
    auto it = std::lower_bound(points_.begin(), points_.end(), from,
                               [](const QPointF& p, double t) { return p.x() < t; });
    if (it == points_.end() || columns <= 0)
        return out;
    const double width = std::max(to - from, 1e-9) / columns;
    out.reserve(std::min<int>(4 * columns, static_cast<int>(points_.end() - it)));
    while (it != points_.end()) {
        // One column: its lowest and highest point, in time order.
        const int column = static_cast<int>((it->x() - from) / width);
        const double end = from + (column + 1) * width;
        QPointF low = *it, high = *it;
        for (++it; it != points_.end() && it->x() < end; ++it) {
            if (it->y() < low.y())
                low = *it;
            if (it->y() > high.y())
                high = *it;
        }
        if (low.x() > high.x())
            std::swap(low, high);
        out.append(low);
        if (high != low)
            out.append(high);
        min = std::min({min, low.y(), high.y()});
        max = std::max({max, low.y(), high.y()});
    }
    return out;
}

} // namespace brovascope
