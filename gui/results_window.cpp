#include "gui/results_window.h"

#include "gui/dialogs.h"
#include "gui/screen_fit.h"
#include "gui/summary_model.h"
#include "models/domain_reason.h"
#include "report/job_report.h"
#include "report/pair_chart.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_map>

namespace veldra {

using namespace QtCharts;

namespace {

// One sample's spectrum as read or after the transformation, added to the chart.
QLineSeries* spectrum_line(QChart* chart, const SpectraPreview& preview, bool after,
                           std::size_t sample, const QColor& color, double width) {
    auto* line = new QLineSeries(chart);
    QPen pen(color);
    pen.setWidthF(width);
    line->setPen(pen);
    QVector<QPointF> points;
    const std::vector<double>& x = preview.points(after);
    points.reserve(static_cast<int>(x.size()));
    const float* values = preview.row(after, sample);
    for (std::size_t k = 0; k < x.size(); ++k) {
        points.append(QPointF(x[k], static_cast<double>(values[k])));
    }
    line->replace(points);
    line->setName(QString::fromStdString(preview.ids[sample]));
    chart->addSeries(line);
    return line;
}

} // namespace

ResultsWindow::ResultsWindow(QWidget* parent, SummaryTable table, const QString& title,
                             Dialogs* dialogs)
    : QWidget(parent, Qt::Window), table_(std::move(table)), dialogs_(dialogs),
      cells_(new QTableView(this)), pair_box_(new QComboBox(this)), card_label_(new QLabel(this)),
      chart_view_(new QChartView(this)), spectra_view_(new QChartView(this)),
      transformed_box_(new QCheckBox("after the covariate transformation", this)),
      by_mean_box_(new QCheckBox("ordered by the mean", this)),
      remeasure_box_(new QCheckBox("only samples to re-measure", this)),
      spectra_note_(new QLabel(this)), models_(new QTableWidget(this)),
      defective_(new QTableWidget(this)), report_button_(new QPushButton("Save report...", this)) {
    setWindowTitle(title);
    setObjectName("results_window");
    cells_->setObjectName("results_table");
    pair_box_->setObjectName("results_pair");
    card_label_->setObjectName("results_card");
    chart_view_->setObjectName("results_chart");
    models_->setObjectName("results_models");
    defective_->setObjectName("results_defective");
    report_button_->setObjectName("results_report");
    report_button_->setEnabled(dialogs_ != nullptr);
    chart_view_->setRenderHint(QPainter::Antialiasing);
    spectra_view_->setObjectName("results_spectra");
    spectra_view_->setRenderHint(QPainter::Antialiasing);
    transformed_box_->setObjectName("results_transformed");
    by_mean_box_->setObjectName("results_by_mean");
    // Thousands of samples in input order are a cloud; ordered by the mean they read.
    by_mean_box_->setChecked(table_.samples.size() > 1000);
    remeasure_box_->setObjectName("results_remeasure");
    remeasure_box_->setEnabled(std::any_of(table_.rows.begin(), table_.rows.end(),
                                           [](const SummaryRow& row) { return remeasure(row); }));

    lay_out();

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
    connect_widgets();
    fill_record();
    show_pair(0);
    show_spectra();
    resize_within_screen(*this, QSize(1200, 820));
}

// The window's widgets in place: the legend and buttons, the table above the tabs.
void ResultsWindow::lay_out() {
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout();
    // The interval shown is the one decided on, where a decision was made.
    const bool decided = std::any_of(table_.rows.begin(), table_.rows.end(), decided_on_calibrated);
    auto* legend = new QLabel(
        (decided ? "Mean and the calibrated " + QString::number(100.0 * table_.levels[0], 'g', 6) +
                       "% interval its decision was made on, else the 95% interval"
                 : QString("Mean and 95% interval")) +
            " (predictive, else credible); red: outside the calibration domain; orange: to "
            "re-measure. Ctrl+C copies.",
        this);
    legend->setWordWrap(true);
    top->addWidget(legend, 1);
    top->addWidget(remeasure_box_);
    top->addWidget(report_button_);
    layout->addLayout(top);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(cells_);
    auto* tabs = new QTabWidget(splitter);
    tabs->setObjectName("results_tabs");
    tabs->addTab(charts_beside_spectra(tabs), "Charts");
    tabs->addTab(models_, "Models");
    tabs->addTab(defective_, "Files not read");
    splitter->addWidget(tabs);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    layout->addWidget(splitter);
}

QWidget* ResultsWindow::charts_beside_spectra(QWidget* parent) {
    auto* charts = new QSplitter(Qt::Horizontal, parent);
    auto* chart_page = new QWidget(charts);
    auto* chart_layout = new QVBoxLayout(chart_page);
    chart_layout->setContentsMargins(0, 0, 0, 0);
    auto* pair_row = new QHBoxLayout();
    pair_row->addWidget(pair_box_);
    pair_row->addWidget(by_mean_box_);
    pair_row->addWidget(card_label_, 1);
    chart_layout->addLayout(pair_row);
    chart_layout->addWidget(chart_view_);
    auto* spectra_page = new QWidget(charts);
    auto* spectra_layout = new QVBoxLayout(spectra_page);
    spectra_layout->setContentsMargins(0, 0, 0, 0);
    auto* spectra_row = new QHBoxLayout();
    spectra_row->addWidget(transformed_box_);
    spectra_row->addWidget(spectra_note_, 1);
    spectra_layout->addLayout(spectra_row);
    spectra_layout->addWidget(spectra_view_);
    charts->addWidget(chart_page);
    charts->addWidget(spectra_page);
    charts->setSizes({600, 600});
    return charts;
}

void ResultsWindow::connect_widgets() {
    connect(report_button_, &QPushButton::clicked, this, [this] { save_report(); });
    connect(transformed_box_, &QCheckBox::toggled, this, [this] { show_spectra(); });
    connect(by_mean_box_, &QCheckBox::toggled, this,
            [this] { show_pair(pair_box_->currentIndex()); });
    connect(remeasure_box_, &QCheckBox::toggled, this,
            [this](bool only) { show_only_remeasure(only); });
    connect(cells_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { show_spectra(); });
    connect(pair_box_, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { show_pair(index); });
}

void ResultsWindow::set_record(const std::string& summary_path, const JobRecord& record) {
    summary_path_ = summary_path;
    record_ = record;
    fill_record();
    show_pair(pair_box_->currentIndex());
    show_spectra();
}

void ResultsWindow::choose_row(int row) {
    if (row >= 0 && row < sorter_->rowCount()) {
        cells_->setCurrentIndex(sorter_->index(row, 1));
    }
}

void ResultsWindow::choose_first_outside() {
    for (const SummaryRow& row : table_.rows) {
        if (row.domain() != "outside") {
            continue;
        }
        const auto pair = std::find_if(table_.pairs.begin(), table_.pairs.end(),
                                       [&](const auto& p) { return row.of_pair(p); });
        for (int r = 0; r < sorter_->rowCount(); ++r) {
            if (sorter_->index(r, 0).data().toString().toStdString() == row.id()) {
                cells_->setCurrentIndex(
                    sorter_->index(r, 1 + static_cast<int>(pair - table_.pairs.begin())));
                return;
            }
        }
    }
    choose_row(0);
}

namespace {

// The wavenumber ranges of a "domain reason", shaded from `low` to `high`.
void shade_bands(QChart* chart, const std::string& reason, double low, double high) {
    for (const auto& [band_high, band_low] : ranges_of_bands_text(reason)) {
        auto* top = new QLineSeries(chart);
        auto* bottom = new QLineSeries(chart);
        top->append({QPointF(band_low - 2, high), QPointF(band_high + 2, high)});
        bottom->append({QPointF(band_low - 2, low), QPointF(band_high + 2, low)});
        auto* shade = new QAreaSeries(top, bottom);
        shade->setObjectName("outside_band");
        shade->setColor(QColor(255, 170, 60, 90));
        shade->setPen(Qt::NoPen);
        chart->addSeries(shade);
    }
}

} // namespace

void ResultsWindow::show_spectra() {
    auto* chart = new QChart();
    const SpectraPreview* preview = record_.spectra.get();
    if (preview == nullptr || preview->ids.empty()) {
        spectra_note_->setText(record_.recorded && record_.spectra == nullptr
                                   ? "The spectra were not kept for this job."
                                   : "The spectra are shown for jobs run in this window.");
        transformed_box_->setEnabled(false);
    } else {
        transformed_box_->setEnabled(true);
        const bool after = transformed_box_->isChecked();
        const std::size_t count = preview->ids.size();
        std::size_t selected = count;
        const QModelIndex current = cells_->currentIndex();
        if (current.isValid()) {
            const std::string id = sorter_->index(current.row(), 0).data().toString().toStdString();
            selected = static_cast<std::size_t>(
                std::find(preview->ids.begin(), preview->ids.end(), id) - preview->ids.begin());
        }
        const auto series = [&](std::size_t sample, const QColor& color, double width) {
            return spectrum_line(chart, *preview, after, sample, color, width);
        };
        // At most 100 others, evenly through the job, behind the chosen one.
        const std::size_t others = std::min<std::size_t>(count, 100);
        for (std::size_t k = 0; k < others; ++k) {
            const std::size_t sample = k * count / others;
            if (sample != selected) {
                series(sample, QColor(190, 190, 190), 0.8);
            }
        }
        double low = std::numeric_limits<double>::infinity();
        double high = -low;
        if (selected < count) {
            QLineSeries* chosen = series(selected, QColor(210, 30, 30), 2.2);
            chosen->setObjectName("selected");
            for (const QPointF& point : chosen->pointsVector()) {
                low = std::min(low, point.y());
                high = std::max(high, point.y());
            }
        }
        // The bands that put the chosen sample outside its pair's domain, shaded.
        const SummaryRow* row =
            current.isValid()
                ? static_cast<SummaryModel*>(model_)->row(sorter_->mapToSource(current))
                : nullptr;
        const bool on_wavenumbers = after ? preview->wavenumbers_after : preview->wavenumbers;
        if (row != nullptr && on_wavenumbers && std::isfinite(low) && high > low) {
            shade_bands(chart, row->domain_reason, low, high);
        }
        chart->createDefaultAxes();
        chart->legend()->hide();
        if (auto* x = qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).front())) {
            const bool wavenumbers = after ? preview->wavenumbers_after : preview->wavenumbers;
            x->setReverse(wavenumbers); // spectra run from high wavenumbers down
            x->setTitleText(wavenumbers ? "wavenumber (cm-1)" : "covariate");
        }
        chart->axes(Qt::Vertical)
            .front()
            ->setTitleText(after ? "after the transformation" : "as read");
        chart->setTitle(selected < count
                            ? "Sample " + QString::fromStdString(preview->ids[selected]) +
                                  " (red) among the job's spectra" +
                                  (row != nullptr && !row->domain_reason.empty()
                                       ? "; shaded: where it lies outside the " +
                                             pair_name({row->text(SummaryColumn::spectrometer),
                                                        row->text(SummaryColumn::property)}) +
                                             " domain"
                                       : QString())
                            : "The job's spectra (choose a sample in the table)");
        spectra_note_->setText(
            preview->samples > count
                ? QString("%1 of %2 samples kept for viewing").arg(count).arg(preview->samples)
                : QString());
    }
    QChart* old = spectra_view_->chart();
    spectra_view_->setChart(chart);
    delete old;
}

void ResultsWindow::fill_record() {
    const auto fixed = [](const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        return item;
    };
    models_->clear();
    models_->setColumnCount(3);
    models_->setHorizontalHeaderLabels({"Pair", "Model", "Folder"});
    models_->setRowCount(static_cast<int>(table_.pairs.size()));
    for (std::size_t p = 0; p < table_.pairs.size(); ++p) {
        const int row = static_cast<int>(p);
        models_->setItem(row, 0, fixed(pair_name(table_.pairs[p])));
        QString card = "not recorded";
        QString folder;
        for (const JobRecord::Pair& pair : record_.pairs) {
            if (pair.spectrometer_type == table_.pairs[p].first &&
                pair.property == table_.pairs[p].second) {
                card = QString::fromStdString(model_card_text(pair));
                folder = QString::fromStdString(pair.folder);
            }
        }
        models_->setItem(row, 1, fixed(card));
        models_->setItem(row, 2, fixed(folder));
    }
    models_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);

    defective_->clear();
    defective_->setColumnCount(2);
    defective_->setHorizontalHeaderLabels({"File", "Reason"});
    defective_->setRowCount(static_cast<int>(record_.defective.size()));
    for (std::size_t k = 0; k < record_.defective.size(); ++k) {
        defective_->setItem(static_cast<int>(k), 0,
                            fixed(QString::fromStdString(record_.defective[k].path)));
        defective_->setItem(static_cast<int>(k), 1,
                            fixed(QString::fromStdString(record_.defective[k].reason)));
    }
    defective_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
}

bool ResultsWindow::save_report() {
    if (dialogs_ == nullptr) {
        return false;
    }
    QString path = dialogs_->save_file(this, "Save report");
    if (path.isEmpty()) {
        return false;
    }
    if (!path.endsWith(".pdf", Qt::CaseInsensitive)) {
        path += ".pdf";
    }
    try {
        write_job_report(path.toStdString(), table_, summary_path_, record_);
    } catch (const std::exception& e) {
        dialogs_->critical(this, "Report", QString::fromStdString(e.what()));
        return false;
    }
    return true;
}

void ResultsWindow::fill_table() {
    model_ = new SummaryModel(table_, this);
    sorter_ = new SummarySorter(this);
    sorter_->setSourceModel(model_);
    cells_->setModel(sorter_);
    cells_->setSortingEnabled(true);
    cells_->sortByColumn(-1, Qt::AscendingOrder); // input order until a header is clicked
    cells_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    cells_->verticalHeader()->setDefaultSectionSize(cells_->fontMetrics().height() + 6);
    // Widths from the header and the first rows, not from every one of a large job's cells.
    cells_->horizontalHeader()->setResizeContentsPrecision(50);
    cells_->resizeColumnsToContents();
}

void ResultsWindow::show_pair(int index) {
    QString card;
    if (index >= 0 && static_cast<std::size_t>(index) < table_.pairs.size()) {
        const auto& shown = table_.pairs[static_cast<std::size_t>(index)];
        card = record_.recorded ? "no validation record" : "";
        for (const JobRecord::Pair& pair : record_.pairs) {
            if (pair.spectrometer_type == shown.first && pair.property == shown.second) {
                card = QString::fromStdString(model_card_text(pair));
            }
        }
        if (!card.isEmpty()) {
            card = "Model: " + card;
        }
    }
    card_label_->setText(card);
    PairChartOptions options;
    options.by_mean = by_mean_box_->isChecked();
    options.only_remeasure = remeasure_box_->isChecked();
    QChart* chart = make_pair_chart(table_, index, options);
    QChart* old = chart_view_->chart();
    chart_view_->setChart(chart);
    delete old;
}

void ResultsWindow::show_only_remeasure(bool only) {
    if (remeasure_box_->isChecked() != only) {
        remeasure_box_->setChecked(only); // comes back here through the signal
        return;
    }
    static_cast<SummarySorter*>(sorter_)->set_only_remeasure(only);
    show_pair(pair_box_->currentIndex());
}

void ResultsWindow::sort_by(int column, Qt::SortOrder order) {
    cells_->sortByColumn(column, order);
}

QString ResultsWindow::cell_text(int row, int column) const {
    return sorter_->index(row, column).data().toString();
}

QString ResultsWindow::selected_text() const {
    QModelIndexList selected = cells_->selectionModel()->selectedIndexes();
    std::sort(selected.begin(), selected.end(), [](const QModelIndex& a, const QModelIndex& b) {
        return a.row() != b.row() ? a.row() < b.row() : a.column() < b.column();
    });
    QStringList lines;
    QStringList fields;
    int row = selected.isEmpty() ? 0 : selected.front().row();
    for (const QModelIndex& index : selected) {
        if (index.row() != row) {
            lines << fields.join('\t');
            fields.clear();
            row = index.row();
        }
        fields << index.data().toString();
    }
    if (!selected.isEmpty()) {
        lines << fields.join('\t');
    }
    return lines.join('\n');
}

} // namespace veldra
