#include "gui/results_window.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QScreen>
#include <QTableView>
#include <QtCharts/QCandlestickSeries>
#include <QtCharts/QCandlestickSet>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QXYSeries>

#include <array>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// Two samples, two pairs; s2 lies outside the domain for pH, Carbon has no predictive bounds.
const std::string summary = std::string(summary_header) +
                            "\n"
                            "s1,mir,Carbon,1.5,0.2,1.1,1.49,1.9,NA,NA,unknown,NA,NA,NA\n"
                            "s2,mir,Carbon,2.25,0.3,1.7,2.2,2.8,NA,NA,unknown,NA,NA,NA\n"
                            "s1,mir,pH,6.1,0.1,5.9,6.1,6.3,5.5,6.7,inside,3.2,0.01,0.88\n"
                            "s2,mir,pH,7.4,0.2,7,7.4,7.8,6.8,8,outside,40.5,0.9,0.88\n";

QtCharts::QXYSeries* series(const ResultsWindow& window, const QString& name) {
    for (QtCharts::QAbstractSeries* s :
         window.findChild<QtCharts::QChartView*>("results_chart")->chart()->series()) {
        if (s->name() == name) {
            return dynamic_cast<QtCharts::QXYSeries*>(s);
        }
    }
    return nullptr;
}

// The error bars of the chart's candlestick series `name`: x, box low and high, whisker low
// and high, per sample.
std::vector<std::array<double, 5>> bars(const ResultsWindow& window, const QString& name) {
    std::vector<std::array<double, 5>> found;
    for (QtCharts::QAbstractSeries* s :
         window.findChild<QtCharts::QChartView*>("results_chart")->chart()->series()) {
        if (auto* candles = dynamic_cast<QtCharts::QCandlestickSeries*>(s);
            candles != nullptr && s->name() == name) {
            for (const QtCharts::QCandlestickSet* set : candles->sets()) {
                found.push_back(
                    {set->timestamp(), set->open(), set->close(), set->low(), set->high()});
            }
        }
    }
    return found;
}

TEST(ResultsWindow, SpectraOfTheChosenSampleAsReadAndTransformed) {
    ResultsWindow window(nullptr, parse_summary(summary, "job-summary.csv"), "Results");
    auto* view = window.findChild<QtCharts::QChartView*>("results_spectra");
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->chart()->series().isEmpty()); // nothing kept

    SpectraTable read;
    read.ids = {"s1", "s2"};
    read.names = {"wn_4000", "wn_3998", "wn_3996", "wn_3994"};
    read.rows = {{1, 2, 4, 8}, {0.5, 0.25, 1, 3}};
    auto preview = std::make_shared<SpectraPreview>();
    preview->add(read, Transformation::first_derivative);
    JobRecord record;
    record.recorded = true;
    record.spectra = preview;
    window.set_record("job-summary.csv", record);
    const auto selected = [&]() -> QtCharts::QXYSeries* {
        for (QtCharts::QAbstractSeries* s : view->chart()->series()) {
            if (s->objectName() == "selected") {
                return dynamic_cast<QtCharts::QXYSeries*>(s);
            }
        }
        return nullptr;
    };
    EXPECT_EQ(view->chart()->series().size(), 2); // no sample chosen yet: both in grey
    EXPECT_EQ(selected(), nullptr);

    window.choose_row(1);
    ASSERT_NE(selected(), nullptr);
    EXPECT_EQ(selected()->name(), "s2");
    EXPECT_EQ(selected()->pointsVector(),
              (QVector<QPointF>{{4000, 0.5}, {3998, 0.25}, {3996, 1}, {3994, 3}}));
    EXPECT_EQ(view->chart()->series().size(), 2); // s1 behind it
    window.findChild<QCheckBox*>("results_transformed")->setChecked(true);
    ASSERT_NE(selected(), nullptr);
    EXPECT_EQ(selected()->pointsVector(),
              (QVector<QPointF>{{4000, -0.25}, {3998, 0.75}, {3996, 2}, {3994, 0}}));
}

TEST(ResultsWindow, ShowsTheSummarysValuesAndMarksOutsideSamples) {
    ResultsWindow window(nullptr, parse_summary(summary, "job-summary.csv"), "Results");
    // It starts inside the screen (the test platform's is 800 by 600, smaller than its 1200 by
    // 820 on a large one).
    const QRect screen = window.screen()->availableGeometry();
    EXPECT_LE(window.width(), screen.width());
    EXPECT_LE(window.height(), screen.height());
    auto* table = window.findChild<QTableView*>("results_table");
    ASSERT_NE(table, nullptr);
    const QAbstractItemModel* cells = table->model();
    ASSERT_EQ(cells->rowCount(), 2);
    ASSERT_EQ(cells->columnCount(), 3);
    EXPECT_EQ(cells->headerData(1, Qt::Horizontal).toString(), "mir Carbon");
    EXPECT_EQ(cells->headerData(2, Qt::Horizontal).toString(), "mir pH");
    // The texts of the file: credible bounds where there is no predictive one.
    EXPECT_EQ(window.cell_text(0, 1), "1.5 [1.1, 1.9]");
    EXPECT_EQ(window.cell_text(1, 2), "7.4 [6.8, 8]");
    EXPECT_EQ(cells->index(1, 2).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 205, 205));
    EXPECT_FALSE(cells->index(0, 2).data(Qt::BackgroundRole).isValid());
    EXPECT_TRUE(cells->index(1, 2)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains("domain outside (T2 40.5, Q 0.9)"));

    // Sorted by the pH mean, descending: s2 first; then by identifier.
    window.sort_by(2, Qt::DescendingOrder);
    EXPECT_EQ(window.cell_text(0, 0), "s2");
    table->selectAll();
    EXPECT_EQ(window.selected_text(),
              "s2\t2.25 [1.7, 2.8]\t7.4 [6.8, 8]\ns1\t1.5 [1.1, 1.9]\t6.1 [5.5, 6.7]");
    window.sort_by(0, Qt::AscendingOrder);
    EXPECT_EQ(window.cell_text(0, 0), "s1");

    // The chart of each pair: means and error bars per sample in input order, outside marked;
    // no line joins one sample to the next.
    EXPECT_EQ(series(window, "mean")->count(), 2);
    EXPECT_EQ(series(window, "mean")->at(1), QPointF(2, 2.25));
    EXPECT_EQ(
        bars(window, "credible 95% (box), credible 95% (whiskers)"),
        (std::vector<std::array<double, 5>>{{1, 1.1, 1.9, 1.1, 1.9}, {2, 1.7, 2.8, 1.7, 2.8}}));
    EXPECT_EQ(series(window, "outside the domain")->count(), 0);
    window.findChild<QComboBox*>("results_pair")->setCurrentIndex(1);
    // Box: credible; whiskers: predictive.
    EXPECT_EQ(bars(window, "credible 95% (box), predictive 95% (whiskers)"),
              (std::vector<std::array<double, 5>>{{1, 5.9, 6.3, 5.5, 6.7}, {2, 7, 7.8, 6.8, 8}}));
    ASSERT_EQ(series(window, "outside the domain")->count(), 1);
    EXPECT_EQ(series(window, "outside the domain")->at(0), QPointF(2, 7.4));
    for (QtCharts::QAbstractSeries* s :
         window.findChild<QtCharts::QChartView*>("results_chart")->chart()->series()) {
        EXPECT_NE(s->type(), QtCharts::QAbstractSeries::SeriesTypeLine) << s->name().toStdString();
    }
}

// A bound no draw reached, on a card of an earlier version: "-Inf" in the summary reads back,
// the cell and the tooltip say so, the decision gives the reason, and the chart's whisker runs
// to the margin beyond the finite figures instead of stretching the axis without end.
TEST(ResultsWindow, AnOpenBoundIsShownOpen) {
    const std::string open = std::string(summary_header) +
                             ",model preprocessing,calibrated 5%,calibrated 95%,decision,"
                             "domain reason\n"
                             "s1,mir,pH,6.2,0.1,5.9,6.1,6.3,5.5,6.7,inside,3.2,0.01,0.88,"
                             "first_der,5.8,6.6,accept,\n"
                             "s2,mir,pH,5.0,0.2,4.6,5.0,5.4,4.4,5.6,inside,3.2,0.01,0.88,"
                             "first_der,-Inf,5.8,re-measure: interval open,\n";
    const SummaryTable table = parse_summary(open, "job-summary.csv");
    ASSERT_EQ(table.rows[1].calibrated.size(), 2u);
    EXPECT_TRUE(std::isinf(table.rows[1].calibrated[0]) && table.rows[1].calibrated[0] < 0);
    ResultsWindow window(nullptr, table, "Results");
    const QAbstractItemModel* cells = window.findChild<QTableView*>("results_table")->model();
    EXPECT_EQ(cells->index(1, 1).data().toString(), "5.0 [-Inf, 5.8]");
    const QString tip = cells->index(1, 1).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("calibrated 90% [-Inf, 5.8]; re-measure: interval open"))
        << tip.toStdString();
    const auto whiskers =
        bars(window, "calibrated 90% (whiskers); open bounds drawn to the margin");
    ASSERT_EQ(whiskers.size(), 2u);
    // The finite figures run from 5.0 to 6.6: the open whisker ends 5% of that below them.
    EXPECT_DOUBLE_EQ(whiskers[1][3], 5.0 - 0.05 * 1.6);
    EXPECT_EQ(whiskers[1][4], 5.8);
}

// A job with decisions: calibrated bounds, decisions and reasons in the tooltips, samples to
// re-measure marked, shown alone on request, and the chart ordered by the mean.
TEST(ResultsWindow, SamplesToReMeasureAreMarkedAndShownAlone) {
    const std::string decided =
        std::string(summary_header) +
        ",model preprocessing,calibrated 5%,calibrated 95%,decision,domain reason\n"
        "s1,mir,pH,6.2,0.1,5.9,6.1,6.3,5.5,6.7,inside,3.2,0.01,0.88,first_der,5.8,6.6,accept,\n"
        "s2,mir,pH,6.1,0.2,5.6,6.0,6.6,5.2,7.0,outside,40.5,0.9,0.88,first_der,5.3,6.9,"
        "re-measure: outside; too wide,2390–2280 cm⁻¹ (CO₂)\n"
        "s3,mir,pH,5.0,0.2,4.6,5.0,5.4,4.4,5.6,inside,3.2,0.01,0.88,first_der,4.2,5.8,"
        "re-measure: too wide,\n";
    const SummaryTable table = parse_summary(decided, "job-summary.csv");
    ASSERT_EQ(table.levels, std::vector<double>{0.9});
    EXPECT_EQ(table.rows[1].calibrated, (std::vector<double>{5.3, 6.9}));
    EXPECT_EQ(table.rows[1].domain_reason, "2390–2280 cm⁻¹ (CO₂)");
    ResultsWindow window(nullptr, table, "Results");
    auto* table_view = window.findChild<QTableView*>("results_table");
    const QAbstractItemModel* cells = table_view->model();
    const QString tip = cells->index(1, 1).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("calibrated 90% [5.3, 6.9]")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("; re-measure: outside at 2390–2280 cm⁻¹ (CO₂); too wide"))
        << tip.toStdString();
    // The cell shows the interval the decision was made on, and the legend says which.
    EXPECT_EQ(cells->index(1, 1).data().toString(), "6.1 [5.3, 6.9]");
    bool legend_told = false;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        legend_told = legend_told ||
                      label->text().startsWith("Mean and the calibrated 90% interval its decision");
    }
    EXPECT_TRUE(legend_told);
    EXPECT_EQ(cells->index(2, 1).data(Qt::BackgroundRole).value<QColor>(), QColor(255, 225, 180));
    EXPECT_FALSE(cells->index(0, 1).data(Qt::BackgroundRole).isValid());
    // Whiskers: the calibrated 90% interval; with one level, no box.
    EXPECT_EQ(bars(window, "calibrated 90% (whiskers)").front(),
              (std::array<double, 5>{1, 6.2, 6.2, 5.8, 6.6}));
    ASSERT_EQ(series(window, "re-measure")->count(), 2);

    auto* only = window.findChild<QCheckBox*>("results_remeasure");
    ASSERT_TRUE(only->isEnabled());
    only->setChecked(true);
    ASSERT_EQ(cells->rowCount(), 2);
    EXPECT_EQ(window.cell_text(0, 0), "s2");
    EXPECT_EQ(window.cell_text(1, 0), "s3");
    EXPECT_EQ(series(window, "mean")->pointsVector(), (QVector<QPointF>{{1, 6.1}, {2, 5.0}}));
    window.findChild<QCheckBox*>("results_by_mean")->setChecked(true);
    EXPECT_EQ(series(window, "mean")->pointsVector(), (QVector<QPointF>{{1, 5.0}, {2, 6.1}}));
    only->setChecked(false);
    EXPECT_EQ(cells->rowCount(), 3);
    EXPECT_EQ(series(window, "mean")->pointsVector(),
              (QVector<QPointF>{{1, 5.0}, {2, 6.1}, {3, 6.2}}));
}

TEST(ResultsWindow, ACellWithoutFiguresIsEmptyAndSortsFirst) {
    // s3 has no pH line: its cell stays empty, before every number when sorting up.
    const std::string text = summary + "s3,mir,Carbon,0.5,0.1,0.3,0.5,0.7,NA,NA,unknown,NA,NA,NA\n";
    ResultsWindow window(nullptr, parse_summary(text, "job-summary.csv"), "Results");
    EXPECT_EQ(window.cell_text(2, 0), "s3");
    EXPECT_EQ(window.cell_text(2, 2), "");
    window.sort_by(2, Qt::AscendingOrder);
    EXPECT_EQ(window.cell_text(0, 0), "s3");
    EXPECT_EQ(window.cell_text(1, 0), "s1");
    window.sort_by(1, Qt::AscendingOrder);
    EXPECT_EQ(window.cell_text(0, 0), "s3"); // 0.5 is the least Carbon
}

TEST(ResultsWindow, SummaryFilesAreReadWithCare) {
    const SummaryTable table = parse_summary(summary, "s.csv");
    ASSERT_EQ(table.rows.size(), 4u);
    EXPECT_EQ(table.samples, (std::vector<std::string>{"s1", "s2"}));
    ASSERT_EQ(table.pairs.size(), 2u);
    EXPECT_EQ(table.rows[3].t2, 40.5);
    EXPECT_TRUE(std::isnan(table.rows[0].figures[5]));
    const std::string header = std::string(summary_header) + "\n";
    EXPECT_EQ(test::error_text([] { parse_summary("SSN,x\n", "s.csv"); }),
              "The summary file \"s.csv\", line 1: is not the header of a summary (" +
                  std::string(summary_header) + ").");
    EXPECT_EQ(test::error_text([&] { parse_summary(header + "s1,mir,pH,1\n", "s.csv"); }),
              "The summary file \"s.csv\", line 2: has 4 fields; the header has 14.");
    EXPECT_EQ(test::error_text([&] {
                  parse_summary(header + "s1,mir,pH,x,1,1,1,1,NA,NA,unknown,NA,NA,NA\n", "s.csv");
              }),
              "The summary file \"s.csv\", line 2: field 4 is \"x\", neither a number nor NA.");
    EXPECT_EQ(test::error_text([&] {
                  parse_summary(header + "s1,mir,pH,1,1,1,1,1,NA,NA,maybe,NA,NA,NA\n", "s.csv");
              }),
              "The summary file \"s.csv\", line 2: the domain is \"maybe\", not inside, outside "
              "or unknown.");
    // The first field that is wrong is the one named.
    EXPECT_EQ(test::error_text([&] {
                  parse_summary(header + "s1,mir,pH,1,1,1,1,1,NA,NA,inside,y,z,NA\n", "s.csv");
              }),
              "The summary file \"s.csv\", line 2: field 12 is \"y\", neither a number nor NA.");
    EXPECT_EQ(test::error_text([&] {
                  parse_summary(header + "s1,mir,pH,1,1,1,1,1,NA,NA,inside,NA,NA,NA,9\n", "s.csv");
              }),
              "The summary file \"s.csv\", line 2: has 15 fields; the header has 14.");
}

} // namespace
} // namespace veldra
