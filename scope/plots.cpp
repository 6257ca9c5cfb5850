#include "plots.h"

#include <QChart>
#include <QAreaSeries>
#include <QChartView>
#include <QEvent>
#include <QGridLayout>
#include <QLineSeries>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

#include "session.h"

using namespace QtCharts;

namespace brovascope {

PlotPanel::PlotPanel(QWidget* parent) : QWidget(parent)
{
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(2);
}

void PlotPanel::clear()
{
    for (Chart& c : charts_)
        delete c.view;
    charts_.clear();
    series_.clear();
}

void PlotPanel::setUp(const SensorSession& session)
{
    clear();
    auto* grid = static_cast<QGridLayout*>(layout());
    const QStringList titles = session.groupTitles();
    const int columns = titles.size() > 2 ? 2 : titles.size();
    static const QColor colors[SensorSession::tracesPerGroup] = {QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c), QColor(0x1f, 0x77, 0xb4)};
    for (int g = 0; g < titles.size(); ++g) {
        auto* chart = new QChart;
        chart->setTitle(titles[g]);
        chart->setAnimationOptions(QChart::NoAnimation);
        chart->legend()->setAlignment(Qt::AlignTop);
        chart->setMargins(QMargins(2, 2, 2, 2));
        Chart c{new QChartView(chart), new QValueAxis, {new QValueAxis}, {new QValueAxis}};
        QStringList names;
        for (int i = 0; i < SensorSession::tracesPerGroup; ++i)
            names << session.traces()[static_cast<size_t>(g * SensorSession::tracesPerGroup + i)].name().section(' ', -1);
        c.x->setTitleText(QStringLiteral("time (s)"));
        c.x->setTickAnchor(0);
        c.x->setTickInterval(1);  // before dynamic ticks: an interval of 0 would never end
        c.x->setTickType(QValueAxis::TicksDynamic);
        // The value axes' titles are their unit only: the legend's colours
        // tell which is which (the right one in z's colour), and room goes to
        // the labels.
        const QString unit = session.groupUnit(g);
        for (ValueAxis* a : {&c.y, &c.z}) {
            a->counts = unit == QLatin1String("counts");
            a->axis->setTitleText(unit);
            a->axis->setLabelFormat(a->counts ? QStringLiteral("%d") : QStringLiteral("%.4g"));
        }
        c.z.axis->setLabelsColor(colors[2]);
        c.z.axis->setTitleBrush(colors[2]);
        c.z.axis->setGridLineVisible(false);
        chart->addAxis(c.x, Qt::AlignBottom);
        chart->addAxis(c.y.axis, Qt::AlignLeft);
        chart->addAxis(c.z.axis, Qt::AlignRight);
        for (int i = 0; i < SensorSession::tracesPerGroup; ++i) {
            auto* s = new QLineSeries;
            s->setName(names[i]);
            QPen pen(colors[i], 1);
            pen.setCosmetic(true);  // drawn as thin lines, without path stroking
            s->setPen(pen);
            chart->addSeries(s);
            s->attachAxis(c.x);
            s->attachAxis(i < 2 ? c.y.axis : c.z.axis);
            series_.push_back(s);
        }
        // The band last, on the left axis: the lines' series keep their
        // places; it spans the axis's range where samples were flagged.
        // An area series does not own its edges: they are its children.
        auto* band = new QAreaSeries;
        c.band = new QLineSeries(band);
        c.bandBase = new QLineSeries(band);
        band->setUpperSeries(c.band);
        band->setLowerSeries(c.bandBase);
        band->setName(QStringLiteral("flagged"));
        band->setColor(QColor(0xc6, 0x28, 0x28, 70));
        band->setBorderColor(QColor(0xc6, 0x28, 0x28, 70));
        chart->addSeries(band);
        band->attachAxis(c.x);
        band->attachAxis(c.y.axis);
        c.view->setRenderHint(QPainter::Antialiasing, false);
        c.view->setMinimumSize(260, 180);
        c.view->viewport()->installEventFilter(this);
        grid->addWidget(c.view, g / columns, g % columns);
        charts_.push_back(c);
    }
}

int PlotPanel::pointsInSeries(int i) const
{
    return i >= 0 && i < seriesCount() ? series_[static_cast<size_t>(i)]->count() : 0;
}

bool PlotPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Paint)
        ++frames_;
    return QWidget::eventFilter(watched, event);
}

void PlotPanel::ValueAxis::follow(double newLow, double newHigh)
{
    if (newLow > newHigh)
        newLow = newHigh = 0;
    // Grow at once, shrink slowly: a steady axis for a steady signal. Counts
    // are padded by at least 10; N and N·m by a share of their magnitude.
    const double least = counts ? 10.0 : std::max(1e-6, 0.02 * std::max(std::fabs(newLow), std::fabs(newHigh)));
    const double pad = std::max(least, (newHigh - newLow) * 0.1);
    const bool outside = newLow < low || newHigh > high;
    const bool far = (high - low) > 4 * (newHigh - newLow + 2 * pad);
    if (outside || far || low == high) {
        if (counts)
            axis->setRange(std::floor(newLow - pad), std::ceil(newHigh + pad));
        else
            axis->setRange(newLow - pad, newHigh + pad);
        axis->applyNiceNumbers();  // round tick values
        low = axis->min();
        high = axis->max();
    }
}

void PlotPanel::refresh(const SensorSession& session, double windowSeconds)
{
    const auto& traces = session.traces();
    if (traces.size() != series_.size())
        return;
    const double to = std::max(session.now(), windowSeconds);
    const double from = to - windowSeconds;
    for (size_t g = 0; g < charts_.size(); ++g) {
        Chart& c = charts_[g];
        // A column (its lowest and highest point) every two pixels of the
        // plot's width.
        const int columns = std::max(50, (c.view->width() - 80) / 2);
        double low = INFINITY, high = -INFINITY, zLow = INFINITY, zHigh = -INFINITY;
        for (size_t i = 0; i < SensorSession::tracesPerGroup; ++i) {
            const size_t t = SensorSession::tracesPerGroup * g + i;
            series_[t]->replace(i < 2 ? traces[t].decimated(from, to, columns, low, high)
                                      : traces[t].decimated(from, to, columns, zLow, zHigh));
        }
        if (c.window != windowSeconds) {
            // Ticks on round times, 4 to 10 across the window: 1, 2 or 5
            // times a power of ten seconds apart.
            c.window = windowSeconds;
            const double span = std::max(windowSeconds, 0.01);
            const double unit = std::pow(10.0, std::floor(std::log10(span / 4)));
            double step = unit;
            for (double m : {2.0, 5.0, 10.0})
                if (span / step > 10)
                    step = m * unit;
            c.x->setTickInterval(step);
            c.x->setLabelFormat(step < 1 ? QStringLiteral("%.1f") : QStringLiteral("%.0f"));
        }
        c.x->setRange(from, to);
        c.y.follow(low, high);
        QVector<QPointF> band, base;
        for (const auto& span : session.flaggedSpans()) {
            if (span.second < from || span.first > to)
                continue;
            // At least a pixel's width: one flagged sample shows.
            const double a = std::max(span.first, from), b = std::max(span.second, a + (to - from) / 500);
            band << QPointF(a, c.y.low) << QPointF(a, c.y.high) << QPointF(b, c.y.high) << QPointF(b, c.y.low);
            base << QPointF(a, c.y.low) << QPointF(a, c.y.low) << QPointF(b, c.y.low) << QPointF(b, c.y.low);
        }
        c.band->replace(band);
        c.bandBase->replace(base);
        c.z.follow(zLow, zHigh);
    }
}

} // namespace brovascope
