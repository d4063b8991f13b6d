#include "gui/calibration_window.h"

#include "input/csv_reader.h"
#include "logging/message_sink.h"
#include "models/model_folder.h"
#include "text/platform.h"
#include "train/training.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStringList>
#include <QThread>
#include <QToolButton>
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
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace {

using namespace QtCharts;
namespace fs = boost::filesystem;

// Thrown from the trainer's callbacks once the user cancelled.
struct Cancelled {};

QString duration_text(double seconds) {
    const long s = std::lround(seconds);
    return s >= 3600 ? QString("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60)
           : s >= 60 ? QString("%1 min %2 s").arg(s / 60).arg(s % 60)
                     : QString("%1 s").arg(s);
}

QSpinBox* whole(QWidget* parent, int low, int high, int value) {
    auto* box = new QSpinBox(parent);
    box->setRange(low, high);
    box->setValue(value);
    return box;
}

QDoubleSpinBox* decimal(QWidget* parent, double low, double high, double value, int decimals) {
    auto* box = new QDoubleSpinBox(parent);
    box->setDecimals(decimals);
    box->setRange(low, high);
    box->setValue(value);
    return box;
}

// Fields with the sampler's own range for `option`; an excluded bound gives way by the last
// decimal shown.
QSpinBox* whole_setting(QWidget* parent, const char* option, int value) {
    const BartOptionRange& range = bart_option_range(option);
    return whole(parent, static_cast<int>(range.low), static_cast<int>(range.high), value);
}

QDoubleSpinBox* decimal_setting(QWidget* parent, const char* option, double value, int decimals) {
    const BartOptionRange& range = bart_option_range(option);
    const double step = std::pow(10.0, -decimals);
    return decimal(parent, range.low + (range.low_open ? step : 0.0),
                   range.high - (range.high_open ? step : 0.0), value, decimals);
}

std::string text_of(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
}

} // namespace

CalibrationWindow::CalibrationWindow(QWidget* parent, ModelDirectory models,
                                     std::shared_ptr<Dialogs> dialogs)
    : QWidget(parent, Qt::Window), models_(std::move(models)), dialogs_(std::move(dialogs)) {
    setWindowTitle("Calibrate a model");
    setObjectName("calibration_window");
    build_form();
    resize(1150, 780);
}

CalibrationWindow::~CalibrationWindow() {
    if (thread_ != nullptr) {
        stop_.store(true);
        thread_->wait();
        delete thread_;
    }
}

void CalibrationWindow::build_form() {
    create_fields();
    build_advanced();
    lay_out();
    connect_form();
}

// The form's fields, named for the tests and for anyone scripting the window.
void CalibrationWindow::create_fields() {
    input_kind_ = new QComboBox(this);
    input_kind_->addItems({"csv", "opus"});
    spectra_ = new QLineEdit(this);
    spectra_->setPlaceholderText("[CSV file of spectra, or folder of OPUS files]");
    spectra_button_ = new QPushButton("...", this);
    spectrometer_ = new QComboBox(this);
    for (const std::string& type : spectrometer_types()) {
        spectrometer_->addItem(QString::fromStdString(type));
    }
    references_ = new QLineEdit(this);
    references_->setPlaceholderText("[CSV file: SSN and one column per property]");
    references_button_ = new QPushButton("...", this);
    column_ = new QComboBox(this);
    property_ = new QComboBox(this);
    property_->setEditable(true);
    for (const std::string& property : soil_properties()) {
        property_->addItem(QString::fromStdString(property));
    }
    property_->setCurrentText("");
    transformation_ = new QComboBox(this);
    transformation_->addItems({"first_der", "none"});
    log_scale_ = new QCheckBox("fit log(y): predictions back-transformed with exp", this);
    validation_ = new QComboBox(this);
    validation_->addItems({"K random folds", "folds file", "none"});
    folds_count_ = whole(this, 2, 1000, 5);
    folds_file_ = new QLineEdit(this);
    folds_file_->setPlaceholderText("[CSV file: SSN, fold]");
    folds_button_ = new QPushButton("...", this);
    run_button_ = new QPushButton("Calibrate", this);
    progress_ = new QProgressBar(this);
    status_ = new QLabel(this);
    figures_ = new QLabel(this);
    figures_->setTextFormat(Qt::RichText);
    chart_ = new QChartView(this);
    chart_->setRenderHint(QPainter::Antialiasing);
    chart_->setMinimumSize(420, 360);
    card_ = new QPlainTextEdit(this);
    card_->setReadOnly(true);
    card_->setPlaceholderText("The model card appears here when a calibration ends.");
    messages_ = new QPlainTextEdit(this);
    messages_->setReadOnly(true);
    messages_->setMaximumBlockCount(10000);
    messages_->setPlaceholderText("The calibration's messages appear here.");

    for (const auto& [widget, name] : std::initializer_list<std::pair<QWidget*, const char*>>{
             {input_kind_, "calibration_input_kind"},
             {spectra_, "calibration_spectra"},
             {spectrometer_, "calibration_spectrometer"},
             {references_, "calibration_references"},
             {column_, "calibration_column"},
             {property_, "calibration_property"},
             {transformation_, "calibration_transformation"},
             {log_scale_, "calibration_log"},
             {validation_, "calibration_validation"},
             {folds_count_, "calibration_folds_count"},
             {folds_file_, "calibration_folds_file"},
             {run_button_, "calibration_run"},
             {progress_, "calibration_progress"},
             {status_, "calibration_status"},
             {figures_, "calibration_figures"},
             {chart_, "calibration_chart"},
             {card_, "calibration_card"},
             {messages_, "calibration_messages"}}) {
        widget->setObjectName(name);
    }
}

// Advanced: the sampler's settings with the trainer's defaults, folded away.
void CalibrationWindow::build_advanced() {
    const BartOptions defaults;
    advanced_ = new QWidget(this);
    auto* grid = new QGridLayout(advanced_);
    trees_ = whole_setting(advanced_, "trees", defaults.trees);
    draws_ = whole_setting(advanced_, "draws", defaults.draws);
    burn_in_ = whole_setting(advanced_, "burn-in", defaults.burn_in);
    thin_ = whole_setting(advanced_, "thin", defaults.thin);
    chains_ = whole_setting(advanced_, "chains", defaults.chains);
    cuts_ = whole_setting(advanced_, "cuts", defaults.max_cuts);
    seed_ = whole(advanced_, 0, 2147483647, static_cast<int>(defaults.seed));
    alpha_ = decimal_setting(advanced_, "alpha", defaults.alpha, 3);
    beta_ = decimal_setting(advanced_, "beta", defaults.beta, 2);
    k_ = decimal_setting(advanced_, "k", defaults.k, 2);
    nu_ = decimal_setting(advanced_, "nu", defaults.nu, 2);
    q_ = decimal_setting(advanced_, "q", defaults.q, 3);
    sparse_ = new QCheckBox("DART (sparse)", advanced_);
    choose_k_ = new QCheckBox("choose k from 1, 2, 3, 5 by cross-validation", advanced_);
    choose_k_->setObjectName("calibration_choose_k");
    connect(choose_k_, &QCheckBox::toggled, k_, [this](bool on) { k_->setEnabled(!on); });
    choose_k_->setToolTip("Each k is cross-validated on the same folds; the one whose 95% "
                          "predictive bands have the lowest interval score fits the model.");
    const std::pair<const char*, QWidget*> fields[] = {
        {"trees", trees_},   {"draws", draws_}, {"burn-in", burn_in_}, {"thin", thin_},
        {"chains", chains_}, {"cuts", cuts_},   {"seed", seed_},       {"alpha", alpha_},
        {"beta", beta_},     {"k", k_},         {"nu", nu_},           {"q", q_}};
    int at = 0;
    for (const auto& [name, widget] : fields) {
        widget->setObjectName(QString("calibration_") + name);
        grid->addWidget(new QLabel(name, advanced_), at / 4, (at % 4) * 2);
        grid->addWidget(widget, at / 4, (at % 4) * 2 + 1);
        ++at;
    }
    grid->addWidget(sparse_, at / 4, 0, 1, 2);
    grid->addWidget(choose_k_, at / 4, 2, 1, 6);
    advanced_->setVisible(false);
    advanced_button_ = new QToolButton(this);
    advanced_button_->setText("Advanced");
    advanced_button_->setCheckable(true);
    advanced_button_->setArrowType(Qt::RightArrow);
    advanced_button_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(advanced_button_, &QToolButton::toggled, this, [this](bool open) {
        advanced_->setVisible(open);
        advanced_button_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    });
}

void CalibrationWindow::lay_out() {
    auto* form = new QFormLayout();
    auto* spectra_row = new QHBoxLayout();
    spectra_row->addWidget(input_kind_);
    spectra_row->addWidget(spectra_, 1);
    spectra_row->addWidget(spectra_button_);
    form->addRow("Spectra", spectra_row);
    form->addRow("Spectrometer type", spectrometer_);
    auto* references_row = new QHBoxLayout();
    references_row->addWidget(references_, 1);
    references_row->addWidget(references_button_);
    form->addRow("Reference values", references_row);
    form->addRow("Column", column_);
    form->addRow("Property", property_);
    form->addRow("Covariate transformation", transformation_);
    form->addRow("Log scale", log_scale_);
    auto* folds_row = new QHBoxLayout();
    folds_row->addWidget(validation_);
    folds_row->addWidget(new QLabel("K", this));
    folds_row->addWidget(folds_count_);
    folds_row->addWidget(folds_file_, 1);
    folds_row->addWidget(folds_button_);
    form->addRow("Cross-validation", folds_row);

    auto* left = new QWidget(this);
    auto* left_layout = new QVBoxLayout(left);
    left_layout->addLayout(form);
    left_layout->addWidget(advanced_button_);
    left_layout->addWidget(advanced_);
    auto* run_row = new QHBoxLayout();
    run_row->addWidget(run_button_);
    run_row->addWidget(progress_, 1);
    left_layout->addLayout(run_row);
    left_layout->addWidget(status_);
    left_layout->addWidget(figures_);
    left_layout->addWidget(messages_, 1);
    left_layout->addWidget(card_, 1);
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(left);
    splitter->addWidget(chart_);
    splitter->setSizes({560, 560});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter);
}

void CalibrationWindow::connect_form() {
    connect(spectra_button_, &QPushButton::clicked, this, [this] {
        const QString chosen = input_kind_->currentText() == "opus"
                                   ? dialogs_->choose_directory(this, "Folder of OPUS files")
                                   : dialogs_->open_file(this, "Spectra");
        if (!chosen.isEmpty()) {
            spectra_->setText(chosen);
        }
    });
    connect(references_button_, &QPushButton::clicked, this, [this] {
        const QString chosen = dialogs_->open_file(this, "Reference values");
        if (!chosen.isEmpty()) {
            references_->setText(chosen);
            load_reference_columns();
        }
    });
    connect(folds_button_, &QPushButton::clicked, this, [this] {
        const QString chosen = dialogs_->open_file(this, "Folds file");
        if (!chosen.isEmpty()) {
            folds_file_->setText(chosen);
            validation_->setCurrentText("folds file");
        }
    });
    connect(column_, &QComboBox::currentTextChanged, this, [this](const QString& column) {
        // The column's name is the property's until the user names another.
        if (property_->currentText().isEmpty() || property_->property("from_column").toBool()) {
            property_->setCurrentText(column);
            property_->setProperty("from_column", true);
        }
    });
    connect(property_, &QComboBox::editTextChanged, this, [this](const QString& text) {
        if (text != column_->currentText()) {
            property_->setProperty("from_column", false);
        }
    });
    connect(run_button_, &QPushButton::clicked, this, [this] {
        if (running()) {
            cancel();
        } else {
            start();
        }
    });
}

void CalibrationWindow::load_reference_columns() {
    column_->clear();
    try {
        for (const std::string& field : reference_table_columns(text_of(references_))) {
            column_->addItem(QString::fromStdString(field));
        }
    } catch (const std::exception& e) {
        dialogs_->critical(this, "Calibration", QString::fromStdString(e.what()));
    }
}

void CalibrationWindow::fill(const QString& spectra, const QString& references,
                             const QString& column, const QString& property, const QString& folds) {
    input_kind_->setCurrentText(QFileInfo(spectra).isDir() ? "opus" : "csv");
    spectra_->setText(spectra);
    references_->setText(references);
    load_reference_columns();
    if (!column.isEmpty()) {
        column_->setCurrentText(column);
    }
    if (!property.isEmpty()) {
        property_->setCurrentText(property);
    }
    if (!folds.isEmpty()) {
        folds_file_->setText(folds);
        validation_->setCurrentText("folds file");
    }
}

TrainingSettings CalibrationWindow::settings() const {
    TrainingSettings s;
    TrainingInput& in = s.input;
    in.spectra = text_of(spectra_);
    in.targets = text_of(references_);
    in.target = column_->currentText().toStdString();
    if (in.spectra.empty()) {
        throw std::runtime_error("Choose the spectra: a CSV file or a folder of OPUS files.");
    }
    if (in.targets.empty()) {
        throw std::runtime_error("Choose the reference values: a CSV file with a column SSN.");
    }
    s.property = property_->currentText().trimmed().toStdString();
    if (!is_plain_property_name(s.property)) {
        throw std::runtime_error("Name the property the model predicts with letters, digits and "
                                 "._-+ (at most 64), not '" +
                                 s.property + "'.");
    }
    s.spectrometer_type = spectrometer_->currentText().toStdString();
    in.transformation = transformation_->currentText() == "none" ? Transformation::none
                                                                 : Transformation::first_derivative;
    in.log = log_scale_->isChecked();
    s.models = models_;
    in.opus_configuration = (models_ / "opus.conf").string();
    if (input_kind_->currentText() == "opus" || fs::is_directory(in.spectra)) {
        if (in.spectra.back() != '/') {
            in.spectra += "/";
        }
    }
    if (validation_->currentText() == "K random folds") {
        s.cv_folds = folds_count_->value();
    } else if (validation_->currentText() == "folds file") {
        s.folds = text_of(folds_file_);
        if (s.folds.empty()) {
            throw std::runtime_error("Choose the folds file (SSN, fold), or another "
                                     "cross-validation.");
        }
    }
    BartOptions& b = s.bart;
    b.trees = trees_->value();
    b.draws = draws_->value();
    b.burn_in = burn_in_->value();
    b.thin = thin_->value();
    b.chains = chains_->value();
    b.max_cuts = cuts_->value();
    b.seed = static_cast<std::uint64_t>(seed_->value());
    b.alpha = alpha_->value();
    b.beta = beta_->value();
    b.k = k_->value();
    b.nu = nu_->value();
    b.q = q_->value();
    b.sparse = sparse_->isChecked();
    if (choose_k_->isChecked()) {
        if (s.cv_folds == 0 && s.folds.empty()) {
            throw std::runtime_error("Choosing k needs cross-validation: choose K random folds "
                                     "or a folds file.");
        }
        s.k_choices = {1.0, 2.0, 3.0, 5.0};
    }
    const std::vector<BartOptionProblem> problems = bart_option_problems(b);
    if (!problems.empty()) {
        throw std::runtime_error(problems.front().option + " " + problems.front().message);
    }
    return s;
}

bool CalibrationWindow::start() {
    if (running()) {
        return false;
    }
    TrainingSettings s;
    try {
        s = settings();
    } catch (const std::exception& e) {
        dialogs_->critical(this, "Calibration", QString::fromStdString(e.what()));
        return false;
    }
    const fs::path folder = model_folder(s.models, s.spectrometer_type, s.property);
    boost::system::error_code error;
    if (fs::is_directory(folder, error)) {
        bool model = false;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; ++it) {
            model = model || is_model_file(it->path());
        }
        if (model) {
            if (!dialogs_->question(this, "Replace model",
                                    "A model of " + QString::fromStdString(s.property) + " for " +
                                        QString::fromStdString(s.spectrometer_type) +
                                        " exists in " + QString::fromStdString(folder.string()) +
                                        ".\nReplace it with the new one?")) {
                return false;
            }
            s.force = true;
        }
    }

    stop_.store(false);
    report_.reset();
    error_.clear();
    stopped_ = false;
    started_ = std::chrono::steady_clock::now();
    auto last = std::make_shared<std::atomic<long long>>(0);
    s.bart.progress = [this, last](long done, long total) {
        if (stop_.load()) {
            throw Cancelled{};
        }
        // At most ten reports a second reach the window, and always the last.
        const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
        if (done == total || now - last->load() >= 100) {
            last->store(now);
            QMetaObject::invokeMethod(
                this, [this, done, total] { on_progress(done, total); }, Qt::QueuedConnection);
        }
    };
    s.checkpoint = [this] {
        if (stop_.load()) {
            throw Cancelled{};
        }
    };
    messages_->clear();
    thread_ = QThread::create([this, s] {
        try {
            LoggerSet log; // removes every earlier sink
            // The trainer's messages go to the window, never to a console.
            const MessageSink sink([this](Severity, const std::string& text) {
                QMetaObject::invokeMethod(
                    this, [this, line = QString::fromStdString(text)] { add_message(line); },
                    Qt::QueuedConnection);
            });
            report_ = train_model(s, log);
        } catch (const Cancelled&) {
            stopped_ = true;
        } catch (const std::bad_alloc&) {
            error_ = "Not enough memory for this calibration: fewer chains, trees or draws need "
                     "less.";
        } catch (const std::exception& e) {
            error_ = e.what();
        } catch (...) {
            error_ = "The calibration failed with an error it could not describe.";
        }
    });
    connect(thread_, &QThread::finished, this, &CalibrationWindow::on_done);
    run_button_->setText("Cancel");
    progress_->setRange(0, 0); // reading the spectra
    status_->setText("Reading the spectra and the reference values...");
    thread_->start();
    return true;
}

void CalibrationWindow::add_message(const QString& line) {
    messages_->appendPlainText(line);
}

void CalibrationWindow::cancel() {
    stop_.store(true);
    status_->setText("Stopping...");
}

void CalibrationWindow::on_progress(long done, long total) {
    if (!running()) {
        return;
    }
    progress_->setRange(0, 1000);
    progress_->setValue(static_cast<int>(1000 * done / std::max(total, 1L)));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double left =
        done > 0 ? elapsed * static_cast<double>(total - done) / static_cast<double>(done) : 0.0;
    status_->setText(QString("iteration %1 of %2, %3 elapsed, about %4 left")
                         .arg(done)
                         .arg(total)
                         .arg(duration_text(elapsed))
                         .arg(duration_text(left)));
}

void CalibrationWindow::on_done() {
    thread_->wait();
    thread_->deleteLater();
    thread_ = nullptr;
    run_button_->setText("Calibrate");
    progress_->setRange(0, 1000);
    progress_->setValue(report_ ? 1000 : 0);
    if (stopped_) {
        status_->setText("Stopped: no model was written; an existing one is as it was.");
        emit finished(false);
        return;
    }
    if (!report_) {
        status_->setText("The calibration failed.");
        add_message(QString::fromStdString(error_));
        dialogs_->critical(this, "Calibration", QString::fromStdString(error_));
        emit finished(false);
        return;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    status_->setText("Model written to " + QString::fromStdString(report_->folder.string()) +
                     " in " + duration_text(elapsed) + ".");
    show_report(*report_);
    setWindowTitle("Calibrate a model: " +
                   QString::fromStdString(report_->folder.filename().string()) + " written");
    emit finished(true);
}

namespace {

// The fit's and the cross-validation's figures, and the k candidates, as a small HTML table.
QString figures_html(const TrainingReport& report) {
    const auto row = [](const char* name, const Accuracy& a) {
        return QString("<tr><td>%1</td><td align=right>%2</td><td align=right>%3</td>"
                       "<td align=right>%4</td><td align=right>%5</td><td align=right>%6</td></tr>")
            .arg(name)
            .arg(a.r2, 0, 'f', 3)
            .arg(a.rmse, 0, 'g', 4)
            .arg(a.bias, 0, 'g', 3)
            .arg(a.rpiq, 0, 'f', 2)
            .arg(a.coverage, 0, 'f', 3);
    };
    QString table = QString("<b>%1 samples</b> (%2 without a reference value), %3 covariates<br>"
                            "<table cellspacing=6><tr><th></th><th>R2</th><th>RMSE</th>"
                            "<th>bias</th><th>RPIQ</th><th>coverage</th></tr>")
                        .arg(report.samples)
                        .arg(report.skipped)
                        .arg(report.covariates);
    table += row("fit", report.fit);
    if (report.cross_validation) {
        table += row("cross-validated", report.cross_validation->accuracy);
    }
    table += "</table>";
    if (report.cross_validation) {
        table += "<i>cross-validation: " +
                 QString::fromStdString(report.cross_validation->method).toHtmlEscaped() +
                 ", out of fold; coverage: the share inside the 95% predictive band</i>";
    }
    if (!report.k_choices.empty()) {
        QStringList scores;
        for (const KChoice& choice : report.k_choices) {
            scores << QString("%1: %2").arg(choice.k).arg(choice.accuracy.interval_score, 0, 'g',
                                                          4);
        }
        table += QString("<br>k %1, chosen by the out-of-fold interval score of the 95% bands "
                         "(lower is better; %2)")
                     .arg(report.k)
                     .arg(scores.join(", "));
    }
    return table;
}

// The written card, its list of covariate names replaced by their count: one per line, they
// would fill the view.
std::string card_text(const TrainingReport& report) {
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

} // namespace

void CalibrationWindow::show_report(const TrainingReport& report) {
    figures_->setText(figures_html(report));
    card_->setPlainText(QString::fromStdString(card_text(report)));
    QChart* old = chart_->chart();
    chart_->setChart(observed_chart(report));
    delete old;
}

void CalibrationWindow::closeEvent(QCloseEvent* event) {
    if (running()) {
        if (!dialogs_->question(this, "Stop calibration",
                                "A calibration is running. Stop it and close the window?\n"
                                "No model is written; an existing one stays as it was.")) {
            event->ignore();
            return;
        }
        stop_.store(true);
        thread_->wait();
    }
    event->accept();
}

} // namespace veldra
