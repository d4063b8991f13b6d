#include "report/pair_chart.h"

#include <QtCharts/QCandlestickSeries>
#include <QtCharts/QCandlestickSet>
#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace veldra {

using namespace QtCharts;

QString pair_name(const std::pair<std::string, std::string>& pair) {
    return QString::fromStdString(pair.first + " " + pair.second);
}

bool remeasure(const SummaryRow& row) {
    return row.decision.rfind("re-measure", 0) == 0;
}

namespace {

// One sample's figures as the chart draws them.
struct ChartSample {
    double mean = 0.0;
    double box_low = 0.0; // credible 95%
    double box_high = 0.0;
    double whisker_low = 0.0; // the outer band
    double whisker_high = 0.0;
    bool outside = false;
    bool remeasure = false;
};

// The calibrated interval of a row at level place `l` of the table, or nothing.
std::optional<std::pair<double, double>> calibrated_band(const SummaryRow& row, std::size_t l) {
    if (2 * l + 1 < row.calibrated.size() && !std::isnan(row.calibrated[2 * l]) &&
        !std::isnan(row.calibrated[2 * l + 1])) {
        return std::make_pair(row.calibrated[2 * l], row.calibrated[2 * l + 1]);
    }
    return std::nullopt;
}

QString level_text(double level) {
    return QString::number(100.0 * level, 'g', 6) + "%";
}

// The samples of a pair as the chart draws them, in the chart's order, and the name of their
// error bars. Calibrated rows: whiskers at the widest level, a box at the narrowest (none with
// one level). Others: the credible 95% interval as the box, the predictive 95% band (else the
// credible one) as whiskers.
struct ChartSamples {
    std::vector<ChartSample> samples;
    QString bars_name;
};

ChartSamples chart_samples(const SummaryTable& table,
                           const std::pair<std::string, std::string>& pair,
                           const PairChartOptions& options) {
    std::size_t widest = 0;
    std::size_t narrowest = 0;
    for (std::size_t l = 0; l < table.levels.size(); ++l) {
        widest = table.levels[l] > table.levels[widest] ? l : widest;
        narrowest = table.levels[l] < table.levels[narrowest] ? l : narrowest;
    }
    ChartSamples chosen;
    bool calibrated = false;
    bool predictive = false;
    for (const SummaryRow& row : table.rows) {
        if (!row.of_pair(pair) || std::isnan(row.figures[0]) ||
            (options.only_remeasure && !remeasure(row))) {
            continue;
        }
        ChartSample sample;
        sample.mean = row.figures[0];
        if (const auto outer = calibrated_band(row, widest)) {
            calibrated = true;
            std::tie(sample.whisker_low, sample.whisker_high) = *outer;
            const auto inner = narrowest != widest ? calibrated_band(row, narrowest) : std::nullopt;
            sample.box_low = inner ? inner->first : sample.mean;
            sample.box_high = inner ? inner->second : sample.mean;
        } else {
            sample.box_low = row.figures[2];
            sample.box_high = row.figures[4];
            predictive = predictive || !std::isnan(row.figures[5]);
            sample.whisker_low = std::isnan(row.figures[5]) ? row.figures[2] : row.figures[5];
            sample.whisker_high = std::isnan(row.figures[6]) ? row.figures[4] : row.figures[6];
        }
        sample.outside = row.domain() == "outside";
        sample.remeasure = remeasure(row);
        chosen.samples.push_back(sample);
    }
    if (options.by_mean) {
        std::stable_sort(
            chosen.samples.begin(), chosen.samples.end(),
            [](const ChartSample& a, const ChartSample& b) { return a.mean < b.mean; });
    }
    chosen.bars_name = "credible 95% (box), " +
                       QString(predictive ? "predictive 95%" : "credible 95%") + " (whiskers)";
    if (calibrated) {
        chosen.bars_name =
            "calibrated " +
            (narrowest != widest ? level_text(table.levels[narrowest]) + " (box), " : QString()) +
            level_text(table.levels[widest]) + " (whiskers)";
    }
    return chosen;
}

QScatterSeries* markers(QChart* chart, const QString& name, const QColor& fill, double size) {
    auto* series = new QScatterSeries(chart);
    series->setName(name);
    series->setColor(fill);
    series->setPen(Qt::NoPen);
    series->setMarkerSize(size);
    return series;
}

// Sample numbers along the bottom (whole, about ten ticks), the pair's values up the side.
void add_axes(QChart* chart, double samples, double low, double high, const QString& x_title,
              const QString& y_title) {
    auto* x_axis = new QValueAxis(chart);
    auto* y_axis = new QValueAxis(chart);
    chart->addAxis(x_axis, Qt::AlignBottom);
    chart->addAxis(y_axis, Qt::AlignLeft);
    for (QAbstractSeries* series : chart->series()) {
        series->attachAxis(x_axis);
        series->attachAxis(y_axis);
    }
    x_axis->setRange(0.5, samples + 0.5);
    x_axis->setLabelFormat("%d");
    x_axis->setTickType(QValueAxis::TicksDynamic);
    x_axis->setTickAnchor(1);
    x_axis->setTickInterval(std::max(1.0, std::ceil(samples / 10)));
    x_axis->setTitleText(x_title);
    if (std::isfinite(low) && std::isfinite(high)) {
        const double margin = high > low ? 0.05 * (high - low) : 1.0;
        y_axis->setRange(low - margin, high + margin);
        y_axis->applyNiceNumbers();
    }
    y_axis->setTitleText(y_title);
}

// The range of the samples' finite figures; an open bound's whisker runs to the edge beyond it.
std::pair<double, double> finite_range(const std::vector<ChartSample>& samples) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const ChartSample& s : samples) {
        for (const double value : {s.mean, s.box_low, s.box_high, s.whisker_low, s.whisker_high}) {
            if (std::isfinite(value)) {
                low = std::min(low, value);
                high = std::max(high, value);
            }
        }
    }
    return {low, high};
}

// The intervals as boxes and whiskers; thousands of samples get thin bars, quick to draw and
// still apart.
QCandlestickSeries* interval_bars(QChart* chart, const QString& name, bool many) {
    auto* bars = new QCandlestickSeries(chart);
    bars->setName(name);
    bars->setIncreasingColor(QColor(150, 190, 235));
    bars->setDecreasingColor(QColor(150, 190, 235));
    bars->setBodyWidth(many ? 1.0 : 0.5);
    bars->setCapsVisible(!many);
    bars->setBodyOutlineVisible(!many);
    QPen pen(QColor(40, 90, 160));
    pen.setWidthF(many ? 0.5 : 1.0);
    bars->setPen(pen);
    return bars;
}

} // namespace

QChart* make_pair_chart(const SummaryTable& table, int index, const PairChartOptions& options) {
    auto* chart = new QChart();
    if (index < 0 || static_cast<std::size_t>(index) >= table.pairs.size()) {
        return chart;
    }
    const auto& pair = table.pairs[static_cast<std::size_t>(index)];
    const ChartSamples chosen = chart_samples(table, pair, options);
    // Thousands of samples: thin bars and small markers, quick to draw and still apart.
    const bool many = chosen.samples.size() > 1000;
    QCandlestickSeries* bars = interval_bars(chart, chosen.bars_name, many);
    QScatterSeries* mean = markers(chart, "mean", QColor(20, 20, 20), many ? 2 : 6);
    QScatterSeries* outside = markers(chart, "outside the domain", Qt::red, many ? 5 : 9);
    QScatterSeries* again = markers(chart, "re-measure", Qt::transparent, many ? 4 : 14);
    again->setPen(QPen(QColor(230, 120, 0)));
    QList<QCandlestickSet*> sets;
    QVector<QPointF> means;
    QVector<QPointF> outsides;
    QVector<QPointF> agains;
    const std::pair<double, double> range = finite_range(chosen.samples);
    const double low = range.first;
    const double high = range.second;
    const double edge = std::isfinite(low) && high > low ? 0.05 * (high - low) : 1.0;
    bool open = false;
    const auto shown = [&](double value, double fallback) {
        if (std::isinf(value)) {
            open = true;
            return value < 0 ? low - edge : high + edge;
        }
        return std::isnan(value) ? fallback : value;
    };
    for (std::size_t k = 0; k < chosen.samples.size(); ++k) {
        const ChartSample& s = chosen.samples[k];
        const double x = static_cast<double>(k + 1);
        const double box_low = shown(s.box_low, s.mean);
        const double box_high = shown(s.box_high, s.mean);
        const double whisker_low = std::min(box_low, shown(s.whisker_low, box_low));
        const double whisker_high = std::max(box_high, shown(s.whisker_high, box_high));
        sets.append(new QCandlestickSet(box_low, whisker_high, whisker_low, box_high, x));
        means.append(QPointF(x, s.mean));
        if (s.outside) {
            outsides.append(QPointF(x, s.mean));
        }
        if (s.remeasure) {
            agains.append(QPointF(x, s.mean));
        }
    }
    if (open) {
        bars->setName(chosen.bars_name + "; open bounds drawn to the margin");
    }
    bars->append(sets);
    mean->replace(means);
    outside->replace(outsides);
    again->replace(agains);
    for (QAbstractSeries* series :
         std::initializer_list<QAbstractSeries*>{bars, mean, again, outside}) {
        chart->addSeries(series);
    }
    add_axes(chart, static_cast<double>(chosen.samples.size()), low, high,
             options.by_mean ? "sample, ordered by the mean" : "sample, in input order",
             pair_name(pair));
    for (QLegendMarker* marker : chart->legend()->markers()) {
        marker->setVisible((marker->series() != outside || !outsides.isEmpty()) &&
                           (marker->series() != again || !agains.isEmpty()));
    }
    chart->setTitle(pair_name(pair) + ": mean with its intervals" +
                    (options.only_remeasure ? QString(", samples to re-measure") : QString()));
    return chart;
}

} // namespace veldra
