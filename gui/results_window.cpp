#include "gui/results_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <map>

namespace veldra {

namespace {

using namespace QtCharts;

// A cell that sorts by its number (the mean), not by its text; empty cells sort first.
class NumberItem : public QTableWidgetItem {
public:
    NumberItem(const QString& text, double number) : QTableWidgetItem(text), number_(number) {}
    bool operator<(const QTableWidgetItem& other) const override {
        const auto* item = dynamic_cast<const NumberItem*>(&other);
        if (item == nullptr) {
            return QTableWidgetItem::operator<(other);
        }
        const bool mine = std::isnan(number_);
        const bool theirs = std::isnan(item->number_);
        return mine != theirs ? mine : number_ < item->number_;
    }

private:
    double number_;
};

QString pair_name(const std::pair<std::string, std::string>& pair) {
    return QString::fromStdString(pair.first + " " + pair.second);
}

// The interval a cell shows: predictive where the model gives one, else credible.
QString cell_text(const SummaryRow& row) {
    const bool predictive = row.fields[8] != "NA";
    const std::string& low = predictive ? row.fields[8] : row.fields[5];
    const std::string& high = predictive ? row.fields[9] : row.fields[7];
    return QString::fromStdString(row.fields[3] + " [" + low + ", " + high + "]");
}

} // namespace

ResultsWindow::ResultsWindow(QWidget* parent, SummaryTable table, const QString& title)
    : QWidget(parent, Qt::Window), table_(std::move(table)), cells_(new QTableWidget(this)),
      pair_box_(new QComboBox(this)), chart_view_(new QChartView(this)) {
    setWindowTitle(title);
    setObjectName("results_window");
    cells_->setObjectName("results_table");
    pair_box_->setObjectName("results_pair");
    chart_view_->setObjectName("results_chart");
    chart_view_->setRenderHint(QPainter::Antialiasing);

    auto* layout = new QVBoxLayout(this);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(cells_);
    auto* lower = new QWidget(splitter);
    auto* lower_layout = new QVBoxLayout(lower);
    lower_layout->setContentsMargins(0, 0, 0, 0);
    lower_layout->addWidget(pair_box_);
    lower_layout->addWidget(chart_view_);
    splitter->addWidget(lower);
    layout->addWidget(
        new QLabel("Mean and 95% interval (predictive where the model gives one, else credible); "
                   "red: outside the calibration domain. Ctrl+C copies the selected cells.",
                   this));
    layout->addWidget(splitter);

    auto* copy = new QAction(this);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this,
            [this] { QApplication::clipboard()->setText(selected_text()); });
    cells_->addAction(copy);

    fill_table();
    for (const auto& pair : table_.pairs) {
        pair_box_->addItem(pair_name(pair));
    }
    connect(pair_box_, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { show_pair(index); });
    show_pair(0);
    resize(1000, 760);
}

void ResultsWindow::fill_table() {
    std::map<std::pair<std::string, std::string>, int> column_of;
    QStringList header{"SSN"};
    for (std::size_t p = 0; p < table_.pairs.size(); ++p) {
        column_of[table_.pairs[p]] = static_cast<int>(p) + 1;
        header << pair_name(table_.pairs[p]);
    }
    std::map<std::string, int> row_of;
    for (std::size_t s = 0; s < table_.samples.size(); ++s) {
        row_of[table_.samples[s]] = static_cast<int>(s);
    }
    cells_->setSortingEnabled(false);
    cells_->setRowCount(static_cast<int>(table_.samples.size()));
    cells_->setColumnCount(header.size());
    cells_->setHorizontalHeaderLabels(header);
    for (std::size_t s = 0; s < table_.samples.size(); ++s) {
        auto* id = new QTableWidgetItem(QString::fromStdString(table_.samples[s]));
        id->setFlags(id->flags() & ~Qt::ItemIsEditable);
        cells_->setItem(static_cast<int>(s), 0, id);
    }
    for (const SummaryRow& row : table_.rows) {
        auto* item = new NumberItem(cell_text(row), row.figures[0]);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        item->setToolTip(QString::fromStdString(
            "std " + row.fields[4] + ", credible [" + row.fields[5] + ", " + row.fields[7] +
            "], predictive [" + row.fields[8] + ", " + row.fields[9] + "], domain " +
            row.fields[10] + " (T2 " + row.fields[11] + ", Q " + row.fields[12] + "), model R2 " +
            row.fields[13]));
        if (row.domain() == "outside") {
            item->setBackground(QColor(255, 205, 205));
        }
        cells_->setItem(row_of[row.id()], column_of[{row.fields[1], row.fields[2]}], item);
    }
    cells_->setSortingEnabled(true);
    cells_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

void ResultsWindow::show_pair(int index) {
    auto* chart = new QChart();
    if (index >= 0 && static_cast<std::size_t>(index) < table_.pairs.size()) {
        const auto& pair = table_.pairs[static_cast<std::size_t>(index)];
        auto* mean = new QScatterSeries(chart);
        mean->setName("mean");
        mean->setMarkerSize(7);
        mean->setColor(QColor(30, 30, 30));
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
        QLineSeries* predictive_low = line("predictive 95%", QColor(120, 120, 120), Qt::DashLine);
        QLineSeries* predictive_high = line("", QColor(120, 120, 120), Qt::DashLine);
        double x = 0;
        for (const SummaryRow& row : table_.rows) {
            if (row.fields[1] != pair.first || row.fields[2] != pair.second) {
                continue;
            }
            ++x;
            const auto add = [&](QXYSeries* series, double y) {
                if (!std::isnan(y)) {
                    series->append(x, y);
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
    QChart* old = chart_view_->chart();
    chart_view_->setChart(chart);
    delete old;
}

QString ResultsWindow::selected_text() const {
    QList<QTableWidgetSelectionRange> ranges = cells_->selectedRanges();
    QStringList lines;
    for (const QTableWidgetSelectionRange& range : ranges) {
        for (int r = range.topRow(); r <= range.bottomRow(); ++r) {
            QStringList fields;
            for (int c = range.leftColumn(); c <= range.rightColumn(); ++c) {
                const QTableWidgetItem* item = cells_->item(r, c);
                fields << (item != nullptr ? item->text() : QString());
            }
            lines << fields.join('\t');
        }
    }
    return lines.join('\n');
}

} // namespace veldra
