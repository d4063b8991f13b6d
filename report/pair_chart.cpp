#include "report/pair_chart.h"

#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <map>

namespace veldra {

using namespace QtCharts;

QString pair_name(const std::pair<std::string, std::string>& pair) {
    return QString::fromStdString(pair.first + " " + pair.second);
}

QChart* make_pair_chart(const SummaryTable& table, int index) {
    auto* chart = new QChart();
    if (index >= 0 && static_cast<std::size_t>(index) < table.pairs.size()) {
        const auto& pair = table.pairs[static_cast<std::size_t>(index)];
        // Thousands of samples: small markers without outlines, quick to draw and still apart.
        const bool many = table.samples.size() > 1000;
        auto* mean = new QScatterSeries(chart);
        mean->setName("mean");
        mean->setMarkerSize(many ? 3 : 7);
        mean->setColor(QColor(30, 30, 30));
        if (many) {
            mean->setPen(Qt::NoPen);
        }
        auto* outside = new QScatterSeries(chart);
        outside->setName("outside the domain");
        outside->setColor(Qt::red);
        outside->setMarkerSize(9);
        const auto line = [&](const char* name, const QColor& color, Qt::PenStyle style) {
            auto* series = new QLineSeries(chart);
            series->setName(name);
            QPen pen(color);
            pen.setStyle(style);
            pen.setWidthF(1.2);
            series->setPen(pen);
            return series;
        };
        QLineSeries* credible_low = line("credible 95%", QColor(40, 110, 200), Qt::SolidLine);
        QLineSeries* credible_high = line("", QColor(40, 110, 200), Qt::SolidLine);
        // Dashes along thousands of points take the raster engine seconds: solid then.
        const Qt::PenStyle dashes = many ? Qt::SolidLine : Qt::DashLine;
        QLineSeries* predictive_low = line("predictive 95%", QColor(120, 120, 120), dashes);
        QLineSeries* predictive_high = line("", QColor(120, 120, 120), dashes);
        // Points gathered first and handed over at once: appending them one by one makes
        // the series announce every point.
        std::map<QXYSeries*, QVector<QPointF>> points;
        double x = 0;
        for (const SummaryRow& row : table.rows) {
            if (!row.of_pair(pair)) {
                continue;
            }
            ++x;
            const auto add = [&](QXYSeries* series, double y) {
                if (!std::isnan(y)) {
                    points[series].append(QPointF(x, y));
                }
            };
            add(mean, row.figures[0]);
            add(credible_low, row.figures[2]);
            add(credible_high, row.figures[4]);
            add(predictive_low, row.figures[5]);
            add(predictive_high, row.figures[6]);
            if (row.domain() == "outside") {
                add(outside, row.figures[0]);
            }
        }
        for (const auto& [series, values] : points) {
            series->replace(values);
        }
        for (QAbstractSeries* series : std::initializer_list<QAbstractSeries*>{
                 predictive_low, predictive_high, credible_low, credible_high, mean, outside}) {
            chart->addSeries(series);
        }
        chart->createDefaultAxes();
        if (auto* samples = qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).front())) {
            // Whole sample numbers, about ten ticks.
            samples->setRange(0.5, x + 0.5);
            samples->setLabelFormat("%d");
            samples->setTickType(QValueAxis::TicksDynamic);
            samples->setTickAnchor(1);
            samples->setTickInterval(std::max(1.0, std::ceil(x / 10)));
        }
        chart->axes(Qt::Horizontal).front()->setTitleText("sample, in input order");
        chart->axes(Qt::Vertical).front()->setTitleText(pair_name(pair));
        for (QLegendMarker* marker : chart->legend()->markers()) {
            marker->setVisible(!marker->label().isEmpty());
        }
        chart->setTitle(pair_name(pair) + ": mean with credible and predictive 95% intervals");
    }
    return chart;
}

} // namespace veldra
