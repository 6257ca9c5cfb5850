// The samples a live view keeps for drawing: per trace, the newest stretch
// of (time, value) points, and a decimation that keeps every peak.
#pragma once

#include <QPointF>
#include <QString>
#include <QVector>

#include <deque>
#include <vector>

namespace brovascope {

class Trace {
public:
    explicit Trace(QString name = QString()) : name_(std::move(name)) {}

    const QString& name() const { return name_; }
    void append(double seconds, double value);
    // Drops what is older than seconds before the newest point.
    void keep(double seconds);
    void clear() { points_.clear(); }
    bool empty() const { return points_.empty(); }
    double newestValue() const { return points_.empty() ? 0.0 : points_.back().y(); }
    double newestTime() const { return points_.empty() ? 0.0 : points_.back().x(); }
    size_t size() const { return points_.size(); }

    // The points from `from` on, cut into `columns` equal time columns, each
    // drawn by its lowest and highest point (in time order): no peak is lost,
    // and at most 2 points per column are drawn. min and max receive the
    // value range seen.
    QVector<QPointF> decimated(double from, double to, int columns, double& min, double& max) const;

private:
    QString name_;
    std::deque<QPointF> points_;
};

} // namespace brovascope
