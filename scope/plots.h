// The live plots: one chart per group of three traces (a channel's x, y, z,
// or a six-axis sensor's forces and torques), over a sliding time window,
// redrawn from the session's traces at a steady frame rate. The third trace
// of a group (z, Fz, Tz) has a value axis of its own on the right: a large z
// would flatten x and y on a shared one. Time ticks fall on round seconds.
// The value axes are titled with the unit shown: counts, N or N·m. A red
// band marks where samples were flagged (a field at its converter's rail, a
// value over its rated range): a clipped reading, whatever it shows.
#pragma once

#include <QWidget>

#include <vector>

namespace QtCharts {
class QChart;
class QAreaSeries;
class QChartView;
class QLineSeries;
class QValueAxis;
} // namespace QtCharts

namespace brovascope {

class SensorSession;

class PlotPanel : public QWidget {
    Q_OBJECT

public:
    explicit PlotPanel(QWidget* parent = nullptr);

    // Builds the charts for the session's traces (after it opened).
    void setUp(const SensorSession& session);
    void clear();
    // Draws the newest windowSeconds of every trace.
    void refresh(const SensorSession& session, double windowSeconds);

    int seriesCount() const { return static_cast<int>(series_.size()); }
    int pointsInSeries(int i) const;
    int frames() const { return frames_; }  // charts painted so far

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct ValueAxis {
        QtCharts::QValueAxis* axis = nullptr;
        bool counts = true;  // whole numbers; otherwise N or N·m
        double low = 0, high = 0;  // the range shown
        // Shows low ... high: grows at once, shrinks slowly.
        void follow(double low, double high);
    };
    struct Chart {
        QtCharts::QChartView* view;
        QtCharts::QValueAxis* x;
        ValueAxis y;  // the first two traces
        ValueAxis z;  // the third
        double window = 0;  // the time span the ticks were set for
        // A red band over the stretches of flagged samples, the left axis's
        // full height: its upper and lower edges.
        QtCharts::QLineSeries* band = nullptr;
        QtCharts::QLineSeries* bandBase = nullptr;
    };
    std::vector<Chart> charts_;
    std::vector<QtCharts::QLineSeries*> series_;
    int frames_ = 0;
};

} // namespace brovascope
