#include "plots.h"

#include <QChart>
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
        Chart c{new QChartView(chart), new QValueAxis, new QValueAxis};
        c.x->setTitleText(QStringLiteral("time (s)"));
        c.x->setLabelFormat(QStringLiteral("%.1f"));
        c.y->setTitleText(QStringLiteral("raw counts"));
        c.y->setLabelFormat(QStringLiteral("%d"));
        chart->addAxis(c.x, Qt::AlignBottom);
        chart->addAxis(c.y, Qt::AlignLeft);
        for (int i = 0; i < SensorSession::tracesPerGroup; ++i) {
            auto* s = new QLineSeries;
            const QString name = session.traces()[static_cast<size_t>(g * SensorSession::tracesPerGroup + i)].name();
            s->setName(name.section(' ', -1));
            QPen pen(colors[i], 1);
            pen.setCosmetic(true);  // drawn as thin lines, without path stroking
            s->setPen(pen);
            chart->addSeries(s);
            s->attachAxis(c.x);
            s->attachAxis(c.y);
            series_.push_back(s);
        }
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
        double low = INFINITY, high = -INFINITY;
        for (size_t i = 0; i < SensorSession::tracesPerGroup; ++i) {
            const size_t t = SensorSession::tracesPerGroup * g + i;
            series_[t]->replace(traces[t].decimated(from, to, columns, low, high));
        }
        c.x->setRange(from, to);
        if (low > high)
            low = high = 0;
        // Grow at once, shrink slowly: a steady axis for a steady signal.
        const double pad = std::max(10.0, (high - low) * 0.1);
        const bool outside = low < c.low || high > c.high;
        const bool far = (c.high - c.low) > 4 * (high - low + 2 * pad);
        if (outside || far || c.low == c.high) {
            c.y->setRange(std::floor(low - pad), std::ceil(high + pad));
            c.y->applyNiceNumbers();  // round tick values
            c.low = c.y->min();
            c.high = c.y->max();
        }
    }
}

} // namespace brovascope
