#include "report/job_report.h"

#include "text/platform.h"

#include "report/pair_chart.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QGraphicsScene>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextOption>
#include <QtCharts/QChart>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace veldra {

namespace {

// Lays out lines of text and pictures down A4 pages, starting a new page when the next item
// does not fit, and numbers the pages at their foot.
class Pages {
public:
    explicit Pages(QPdfWriter& writer) : writer_(writer), painter_(&writer) {
        if (!painter_.isActive()) {
            throw std::runtime_error("Cannot write the report");
        }
        const QRect page = writer.pageLayout().paintRectPixels(writer.resolution());
        width_ = page.width();
        height_ = page.height();
        body_.setFamily("DejaVu Sans");
        body_.setPointSizeF(9);
        // No ligatures: "fi" stays two letters for readers that search or copy the text.
        body_.setStyleStrategy(QFont::PreferNoShaping);
        heading_ = body_;
        heading_.setPointSizeF(13);
        heading_.setBold(true);
        title_ = body_;
        title_.setPointSizeF(18);
        title_.setBold(true);
        small_ = body_;
        small_.setPointSizeF(7.5);
    }

    ~Pages() { painter_.end(); }

    QPainter& painter() { return painter_; }
    double width() const { return width_; }
    const QFont& body() const { return body_; }
    const QFont& small() const { return small_; }

    double line_height(const QFont& font) { return QFontMetricsF(font, &writer_).height() * 1.25; }

    // Starts a new page when fewer than `height` units are left on this one.
    void need(double height) {
        if (y_ + height > height_ - footer_height()) {
            new_page();
        }
    }

    void new_page() {
        footer();
        writer_.newPage();
        ++page_;
        y_ = 0;
        if (!repeated_.isEmpty()) {
            QFont bold = small_;
            bold.setBold(true);
            row(repeated_, repeated_starts_, bold);
        }
    }

    // A header row drawn again at the top of every page until `end_table`.
    void table_header(const QStringList& cells, const std::vector<double>& starts) {
        need(2 * line_height(body_));
        QFont bold = small_;
        bold.setBold(true);
        row(cells, starts, bold);
        repeated_ = cells;
        repeated_starts_ = starts;
    }
    void end_table() { repeated_.clear(); }

    void title(const QString& text) { text_line(text, title_, 1.6); }
    void heading(const QString& text) {
        need(3 * line_height(heading_));
        y_ += line_height(body_) * 0.6;
        text_line(text, heading_, 1.2);
    }
    void line(const QString& text) { text_line(text, body_, 1.0); }

    // One line of cells at the given fractions of the width; long texts are cut with "...".
    void row(const QStringList& cells, const std::vector<double>& starts, const QFont& font) {
        const double h = line_height(font);
        need(h);
        painter_.setFont(font);
        const QFontMetricsF metrics(font, &writer_);
        for (int k = 0; k < cells.size(); ++k) {
            const double x = starts[static_cast<std::size_t>(k)] * width_;
            const double next = static_cast<std::size_t>(k) + 1 < starts.size()
                                    ? starts[static_cast<std::size_t>(k) + 1] * width_
                                    : width_;
            painter_.drawText(QPointF(x, y_ + metrics.ascent()),
                              metrics.elidedText(cells[k], Qt::ElideMiddle, next - x - h * 0.3));
        }
        y_ += h;
    }

    // A chart `height` units high across the page.
    void chart(QtCharts::QChart* chart, double height) {
        need(height);
        QGraphicsScene scene;
        scene.addItem(chart); // the scene owns the chart from here
        const QSizeF size(850, 850 * height / width_);
        chart->setAnimationOptions(QtCharts::QChart::NoAnimation);
        chart->resize(size);
        scene.render(&painter_, QRectF(0, y_, width_, height), QRectF(QPointF(0, 0), size));
        y_ += height;
    }

    void finish() { footer(); }

private:
    double footer_height() { return line_height(small_) * 2; }

    void footer() {
        painter_.setFont(small_);
        painter_.drawText(QRectF(0, height_ - line_height(small_), width_, line_height(small_)),
                          Qt::AlignRight, QString("Page %1").arg(page_));
    }

    // Text wrapped at the page's width: between words, and within a word (a long path) only
    // where it is wider than the page.
    void text_line(const QString& text, const QFont& font, double spacing) {
        painter_.setFont(font);
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        const QRectF bounds = painter_.boundingRect(QRectF(0, 0, width_, 1e6), text, wrap);
        const double h = std::max(bounds.height(), line_height(font) / 1.25) * 1.25 * spacing;
        need(h);
        painter_.drawText(QRectF(0, y_, width_, bounds.height()), text, wrap);
        y_ += h;
    }

    QPdfWriter& writer_;
    QPainter painter_;
    double width_ = 0;
    double height_ = 0;
    double y_ = 0;
    int page_ = 1;
    QStringList repeated_;
    std::vector<double> repeated_starts_;
    QFont body_;
    QFont heading_;
    QFont title_;
    QFont small_;
};

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

namespace {

// What the report opens with when the job decided per sample: for each pair with decisions,
// how many samples to re-measure and each of them with its reason.
void write_remeasure(Pages& pages, const SummaryTable& summary) {
    bool decided = false;
    for (std::size_t p = 0; p < summary.pairs.size(); ++p) {
        std::size_t samples = 0;
        std::vector<const SummaryRow*> again;
        for (const SummaryRow& row : summary.rows) {
            if (row.of_pair(summary.pairs[p]) && !row.decision.empty() && row.decision != "NA") {
                ++samples;
                if (remeasure(row)) {
                    again.push_back(&row);
                }
            }
        }
        if (samples == 0) {
            continue;
        }
        if (!decided) {
            pages.heading("Samples to re-measure");
            decided = true;
        }
        pages.line(QString("%1: %2 of %3 samples to re-measure")
                       .arg(pair_name(summary.pairs[p]))
                       .arg(again.size())
                       .arg(samples));
        for (std::size_t k = 0; k < again.size(); ++k) {
            if (k == largest_report_samples) {
                pages.row(
                    {"", QString("... and %1 more: see the summary file.").arg(again.size() - k)},
                    {0.0, 0.04}, pages.small());
                break;
            }
            const SummaryRow* row = again[k];
            pages.row({"", text(row->id()),
                       text(decision_reasons_text(row->decision, row->domain_reason))},
                      {0.0, 0.04, 0.3}, pages.small());
        }
    }
}

// "resampled from N points" when the pair's spectra were put onto its model's wavenumbers.
std::string resampling_of(const SummaryTable& summary,
                          const std::pair<std::string, std::string>& pair) {
    for (const SummaryRow& row : summary.rows) {
        if (row.of_pair(pair) && !row.resampling.empty()) {
            return row.resampling;
        }
    }
    return std::string();
}

// The first page: program, samples to re-measure, job settings, models with their cards (and
// whether the spectra were resampled onto them), files not read.
void write_job_pages(Pages& pages, const SummaryTable& summary, const std::string& summary_path,
                     const JobRecord& record) {
    pages.title("Veldra prediction report");
    if (record.recorded) {
        pages.line("Program: Veldra " + text(record.version));
    }
    write_remeasure(pages, summary);
    if (record.recorded) {
        pages.heading("Job");
        pages.line("Input (" + text(record.input_kind) +
                   "): " + (record.input.empty() ? QString("-") : text(record.input)));
        pages.line("Samples: " + QString::number(summary.samples.size()) +
                   (record.shard.empty() ? QString() : ", shard " + text(record.shard)));
        pages.line("Covariate transformation: " + text(record.transformation));
        pages.line(QString("Back-transformation: ") +
                   (record.exponential ? "exponential" : "none"));
        pages.line(
            "Calibrated intervals: " + text(record.levels) + "; tolerances: " +
            (record.tolerances.empty() ? QString("none (no decisions)") : text(record.tolerances)));
        pages.line("Model directory: " + text(record.models));
        // Only files that are there: a summary-only job wrote no per-pair file.
        QStringList written;
        for (const std::string& file : record.created) {
            if (QFileInfo::exists(text(file))) {
                written << text(file);
            }
        }
        if (written.isEmpty() && QFileInfo::exists(text(record.output))) {
            written << text(record.output);
        }
        pages.line(written.size() == 1 ? "Output: " + written.front()
                                       : QString("Outputs: %1 files").arg(written.size()));
        for (const QString& file : written.size() > 1 ? written : QStringList()) {
            pages.row({"", file}, {0.0, 0.04}, pages.small());
        }
    } else {
        pages.line("The job's settings were not recorded: this report was made from its "
                   "summary file alone.");
    }
    pages.line("Summary file: " + text(summary_path));

    pages.heading("Models");
    if (record.pairs.empty()) {
        for (const auto& pair : summary.pairs) {
            pages.line(pair_name(pair));
        }
    }
    for (const JobRecord::Pair& pair : record.pairs) {
        pages.line(
            text(pair.spectrometer_type + " " + pair.property + ": " + model_card_text(pair)));
        pages.row({"", text(pair.folder)}, {0.0, 0.04}, pages.small());
        const std::string resampling =
            resampling_of(summary, {pair.spectrometer_type, pair.property});
        if (!resampling.empty()) {
            pages.row({"", "Spectra put onto the model's wavenumbers: " + text(resampling)},
                      {0.0, 0.04}, pages.small());
        }
    }
    if (record.recorded) {
        pages.heading("Files not read");
        if (record.defective.empty()) {
            pages.line("None: every file of the input was read.");
        }
        for (const DefectiveFile& left_out : record.defective) {
            pages.line(text(left_out.path + ": " + left_out.reason));
        }
    }
}

// The samples outside the calibration domain that the table had no room for, every one of them,
// several to a line: they are the ones a lab must look at.
void write_outside_beyond_table(Pages& pages, const SummaryTable& summary, std::size_t p) {
    QStringList outside;
    std::size_t rows = 0;
    for (const SummaryRow& row : summary.rows) {
        if (row.of_pair(summary.pairs[p]) && ++rows > largest_report_samples &&
            row.domain() == "outside") {
            outside << text(row.id());
        }
    }
    if (outside.isEmpty()) {
        return;
    }
    pages.line(QString("Outside the calibration domain among them (%1):").arg(outside.size()));
    constexpr int per_line = 4;
    for (int at = 0; at < outside.size(); at += per_line) {
        pages.row({"", outside.mid(at, per_line).join(", ")}, {0.0, 0.04}, pages.small());
    }
}

// Where each sample outside the domain differs most from it (the summary's "domain reason").
void write_outside_reasons(Pages& pages, const SummaryTable& summary, std::size_t p) {
    bool first = true;
    std::size_t told = 0;
    for (const SummaryRow& row : summary.rows) {
        if (!row.of_pair(summary.pairs[p]) || row.domain_reason.empty()) {
            continue;
        }
        if (++told > largest_report_samples) {
            continue;
        }
        if (first) {
            pages.line("Where the samples outside the calibration domain differ most from it:");
            first = false;
        }
        pages.row({"", text(row.id()), text(row.domain_reason)}, {0.0, 0.04, 0.3}, pages.small());
    }
    if (told > largest_report_samples) {
        pages.row(
            {"",
             QString("... and %1 more: see the summary file.").arg(told - largest_report_samples)},
            {0.0, 0.04}, pages.small());
    }
}

// One pair's pages: its model, its chart and the table of its samples (at most
// `largest_report_samples`, then a line saying how many more the summary holds).
void write_pair_pages(Pages& pages, const SummaryTable& summary, std::size_t p,
                      const JobRecord& record) {
    const std::vector<double> columns = {0.0, 0.2, 0.31, 0.42, 0.53, 0.64, 0.76, 0.88};
    const QStringList header = {"Sample", "mean",      "std",        "2.5%",
                                "97.5%",  "pred 2.5%", "pred 97.5%", "domain"};
    pages.new_page();
    pages.heading(pair_name(summary.pairs[p]));
    for (const JobRecord::Pair& pair : record.pairs) {
        if (pair.spectrometer_type == summary.pairs[p].first &&
            pair.property == summary.pairs[p].second) {
            pages.line("Model: " + text(model_card_text(pair)));
        }
    }
    // Hundreds of samples read best ordered by their mean.
    PairChartOptions options;
    options.by_mean = summary.samples.size() > 100;
    pages.chart(make_pair_chart(summary, static_cast<int>(p), options), pages.width() * 0.5);
    std::size_t samples = 0;
    std::size_t outside = 0;
    for (const SummaryRow& row : summary.rows) {
        if (row.of_pair(summary.pairs[p])) {
            ++samples;
            outside += row.domain() == "outside" ? 1 : 0;
        }
    }
    pages.line(QString("%1 samples, %2 outside the calibration domain; %3 not in the table below")
                   .arg(samples)
                   .arg(outside)
                   .arg(samples - std::min(samples, largest_report_samples)));
    pages.line("Mean, standard deviation and 95% intervals (credible, then predictive) "
               "as in the summary file; domain: the calibration domain's verdict.");
    pages.table_header(header, columns);
    std::size_t listed = 0;
    std::size_t rows = 0;
    for (const SummaryRow& row : summary.rows) {
        if (!row.of_pair(summary.pairs[p])) {
            continue;
        }
        ++rows;
        if (listed == largest_report_samples) {
            continue;
        }
        using C = SummaryColumn;
        pages.row({text(row.id()), text(row.text(C::mean)), text(row.text(C::std)),
                   text(row.text(C::low)), text(row.text(C::high)),
                   text(row.text(C::predictive_low)), text(row.text(C::predictive_high)),
                   text(row.domain())},
                  columns, pages.small());
        ++listed;
    }
    pages.end_table();
    write_outside_reasons(pages, summary, p);
    if (rows > listed) {
        pages.line("... and " + QString::number(rows - listed) +
                   " more samples: see the summary file.");
        write_outside_beyond_table(pages, summary, p);
    }
}

} // namespace

namespace {

// The report's pages into `device`.
void write_report_pages(QIODevice* device, const SummaryTable& summary,
                        const std::string& summary_path, const JobRecord& record) {
    QPdfWriter writer(device);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(18, 18, 18, 14), QPageLayout::Millimeter);
    writer.setResolution(300);
    writer.setTitle("Veldra prediction report");
    writer.setCreator(QString("Veldra ") + text(record.version));
    Pages pages(writer);
    write_job_pages(pages, summary, summary_path, record);
    for (std::size_t p = 0; p < summary.pairs.size(); ++p) {
        write_pair_pages(pages, summary, p, record);
    }
    pages.finish();
}

// A device, a pipe or a socket takes the finished report in one write, so that the system's
// reason for a failure (a full device) is the one told.
void write_report_to_device(const std::string& pdf_path, const QByteArray& bytes) {
    errno = 0;
    std::ofstream out(native_path(pdf_path), std::ios::binary | std::ios::trunc);
    if (out.is_open()) {
        out.write(bytes.constData(), bytes.size());
        out.flush();
    }
    if (!out.is_open() || !out) {
        const int cause = errno;
        throw std::runtime_error("Cannot write the report '" + pdf_path + "': " +
                                 (cause != 0 ? std::strerror(cause) : "the device refused it") +
                                 ". Choose another file for the report.");
    }
}

} // namespace

void write_job_report(const std::string& pdf_path, const SummaryTable& summary,
                      const std::string& summary_path, const JobRecord& record) {
    // A regular file is written beside the target and moved into place when complete: a failure
    // leaves an earlier report as it was. A device, a pipe or a socket is written directly: it
    // is never replaced by a file.
    const QFileInfo target(text(pdf_path));
    if (target.exists() && !target.isFile() && !target.isDir()) {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        write_report_pages(&buffer, summary, summary_path, record);
        write_report_to_device(pdf_path, buffer.data());
        return;
    }
    QSaveFile file(text(pdf_path));
    const auto fail = [&] {
        throw std::runtime_error(
            "Cannot write the report '" + pdf_path + "': " +
            (file_held_open_elsewhere(pdf_path)
                 ? std::string("it is open in another program; close it there, then try again.")
                 : file.errorString().toStdString()));
    };
    if (file_held_open_elsewhere(pdf_path) || !file.open(QIODevice::WriteOnly)) {
        fail();
    }
    write_report_pages(&file, summary, summary_path, record);
    if (!file.commit()) {
        fail();
    }
}

void write_job_report_offscreen(const std::string& pdf_path, const std::string& summary_path,
                                const JobRecord& record) {
    const SummaryTable summary = read_summary_file(summary_path);
    if (QCoreApplication::instance() != nullptr) {
        write_job_report(pdf_path, summary, summary_path, record);
        return;
    }
    // An application of this call's own, on a platform without a display, whose arguments live
    // as long as it does; Qt's own notices (a missing runtime folder, fonts) are not the
    // program's messages, and the handler the process had is back once it ends.
    struct QuietNotices {
        QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtCriticalMsg || type == QtFatalMsg) {
                    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
                }
            });
        ~QuietNotices() { qInstallMessageHandler(previous); }
    } quiet;
    std::string name = "veldra-predict";
    std::string option = "-platform";
    std::string platform_name = headless_qt_platform();
    int argc = 3;
    char* argv[] = {name.data(), option.data(), platform_name.data(), nullptr};
    const QApplication application(argc, argv);
    write_job_report(pdf_path, summary, summary_path, record);
}

} // namespace veldra
