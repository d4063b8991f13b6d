#include "gui/calibration_report.h"

#include "models/model_card.h"
#include "models/model_folder.h"

#include <QtCharts/QChart>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <optional>

namespace veldra {

using namespace QtCharts;

// The written card, its list of covariate names replaced by their count: one per line, they
// would fill the view.
std::string calibration_card_text(const TrainingReport& report) {
    std::optional<ModelCard> card = read_model_card(report.folder);
    if (!card) {
        return std::string();
    }
    const std::size_t names = card->covariate_names.size();
    card->covariate_names.clear();
    std::string text = model_card_text(*card);
    if (names > 0) {
        const std::size_t at = text.find("\n  \"trees\"");
        text.insert(at == std::string::npos ? 1 : at,
                    "\n  \"covariate_names\": [" + std::to_string(names) + " names],");
    }
    return text;
}

// Observed against predicted: out of fold when cross-validated, else the training fit, with each
// sample's 95% predictive band and the 1:1 line.
QChart* observed_chart(const TrainingReport& report) {
    auto* chart = new QChart();
    const bool cv = report.cross_validation.has_value();
    const std::vector<double>& observed = cv ? report.cross_validation->observed : report.observed;
    const std::vector<double>& predicted = cv ? report.cross_validation->predicted : report.fitted;
    auto* points = new QScatterSeries(chart);
    points->setName(cv ? "out-of-fold mean" : "training fit");
    points->setMarkerSize(7);
    points->setColor(QColor(30, 90, 180));
    auto* bars = new QLineSeries(chart);
    bars->setName("95% predictive band");
    QPen bar_pen(QColor(150, 150, 150));
    bar_pen.setWidthF(1.0);
    bars->setPen(bar_pen);
    double low_end = INFINITY;
    double high_end = -INFINITY;
    QVector<QPointF> dots;
    for (std::size_t i = 0; i < predicted.size() && i < observed.size(); ++i) {
        dots.append(QPointF(observed[i], predicted[i]));
        low_end = std::min({low_end, observed[i], predicted[i]});
        high_end = std::max({high_end, observed[i], predicted[i]});
    }
    points->replace(dots);
    if (cv && predicted.size() <= 2000) {
        // One series per band, a vertical stroke at the lab value.
        const CrossValidation& c = *report.cross_validation;
        for (std::size_t i = 0; i < c.low.size(); ++i) {
            auto* band = i == 0 ? bars : new QLineSeries(chart);
            band->setPen(bar_pen);
            band->append(c.observed[i], c.low[i]);
            band->append(c.observed[i], c.high[i]);
            low_end = std::min(low_end, c.low[i]);
            high_end = std::max(high_end, c.high[i]);
            chart->addSeries(band);
        }
    }
    chart->addSeries(points); // over the bands
    if (std::isfinite(low_end)) {
        auto* identity = new QLineSeries(chart);
        identity->setName("1:1");
        QPen pen(QColor(200, 40, 40));
        pen.setStyle(Qt::DashLine);
        identity->setPen(pen);
        identity->append(low_end, low_end);
        identity->append(high_end, high_end);
        chart->addSeries(identity);
        chart->createDefaultAxes();
        const double margin = (high_end - low_end) * 0.04;
        for (QAbstractAxis* axis : chart->axes()) {
            axis->setRange(low_end - margin, high_end + margin);
        }
        chart->axes(Qt::Horizontal).front()->setTitleText("observed (lab value)");
        chart->axes(Qt::Vertical).front()->setTitleText(cv ? "predicted out of fold" : "fitted");
    }
    for (QLegendMarker* marker : chart->legend()->markers()) {
        marker->setVisible(!marker->series()->name().isEmpty());
    }
    chart->setTitle(QString::fromStdString(report.target) + ": observed and predicted");
    return chart;
}

} // namespace veldra
