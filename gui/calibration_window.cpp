#include "gui/calibration_window.h"
#include "ui_calibration_window.h"

#include "gui/calibration_observer.h"
#include "gui/calibration_report.h"
#include "gui/screen_fit.h"
#include "input/csv_reader.h"
#include "input/opus_folder.h"
#include "input/spectral_pipeline.h"
#include "logging/logger_set.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "text/platform.h"
#include "train/training.h"
#include "train/training_report_text.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QThread>
#include <QToolButton>
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

// The first choice of the preprocessing field: no pipeline, the transformation above.
const QString transformation_only = "transformation only";
namespace fs = boost::filesystem;

QString duration_text(double seconds) {
    const long s = std::lround(seconds);
    return s >= 3600 ? QString("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60)
           : s >= 60 ? QString("%1 min %2 s").arg(s / 60).arg(s % 60)
                     : QString("%1 s").arg(s);
}

// Fields take the sampler's own range for `option`; an excluded bound gives way by the last
// decimal shown.
void set_whole_setting(QSpinBox* box, const char* option, int value) {
    const BartOptionRange& range = bart_option_range(option);
    box->setRange(static_cast<int>(range.low), static_cast<int>(range.high));
    box->setValue(value);
}

void set_decimal_setting(QDoubleSpinBox* box, const char* option, double value, int decimals) {
    const BartOptionRange& range = bart_option_range(option);
    const double step = std::pow(10.0, -decimals);
    box->setDecimals(decimals);
    box->setRange(range.low + (range.low_open ? step : 0.0),
                  range.high - (range.high_open ? step : 0.0));
    box->setValue(value);
}

std::string text_of(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
}

} // namespace

CalibrationWindow::CalibrationWindow(QWidget* parent, ModelDirectory models,
                                     std::shared_ptr<Dialogs> dialogs)
    : QWidget(parent, Qt::Window), models_(std::move(models)), dialogs_(std::move(dialogs)),
      ui_(std::make_unique<Ui::CalibrationForm>()) {
    build_form();
}

CalibrationWindow::~CalibrationWindow() {
    if (thread_ != nullptr) {
        stop_.store(true);
        thread_->wait();
        delete thread_;
    }
}

void CalibrationWindow::build_form() {
    ui_->setupUi(this);
    resize_within_screen(*this, size()); // the form's size
    setObjectName("calibration_window");
    take_fields();
    fill_choices();
    connect_form();
}

void CalibrationWindow::take_fields() {
    input_kind_ = ui_->calibration_input_kind;
    spectra_ = ui_->calibration_spectra;
    spectra_button_ = ui_->calibration_spectra_button;
    spectrometer_ = ui_->calibration_spectrometer;
    references_ = ui_->calibration_references;
    references_button_ = ui_->calibration_references_button;
    column_ = ui_->calibration_column;
    property_ = ui_->calibration_property;
    transformation_ = ui_->calibration_transformation;
    preprocessing_ = ui_->calibration_preprocessing;
    choose_preprocessing_ = ui_->calibration_choose_preprocessing;
    log_scale_ = ui_->calibration_log;
    validation_ = ui_->calibration_validation;
    folds_count_ = ui_->calibration_folds_count;
    folds_file_ = ui_->calibration_folds_file;
    folds_button_ = ui_->calibration_folds_button;
    advanced_button_ = ui_->calibration_advanced_button;
    advanced_ = ui_->calibration_advanced;
    trees_ = ui_->calibration_trees;
    draws_ = ui_->calibration_draws;
    burn_in_ = ui_->calibration_burn_in;
    burn_in_->setObjectName("calibration_burn-in"); // the option's own spelling
    thin_ = ui_->calibration_thin;
    chains_ = ui_->calibration_chains;
    cuts_ = ui_->calibration_cuts;
    seed_ = ui_->calibration_seed;
    alpha_ = ui_->calibration_alpha;
    beta_ = ui_->calibration_beta;
    k_ = ui_->calibration_k;
    nu_ = ui_->calibration_nu;
    q_ = ui_->calibration_q;
    sparse_ = ui_->calibration_sparse;
    choose_k_ = ui_->calibration_choose_k;
    id_column_ = ui_->calibration_id_column;
    id_column_->setObjectName("calibration_id-column"); // the options' own spellings
    sample_id_ = ui_->calibration_sample_id;
    sample_id_->setObjectName("calibration_sample-id");
    run_button_ = ui_->calibration_run;
    progress_ = ui_->calibration_progress;
    status_ = ui_->calibration_status;
    figures_ = ui_->calibration_figures;
    chart_ = ui_->calibration_chart;
    card_ = ui_->calibration_card;
    messages_ = ui_->calibration_messages;
}

// What the form offers comes from the code's own tables: the spectrometer types, the
// properties, the sampler's defaults and ranges.
void CalibrationWindow::fill_choices() {
    for (const std::string& type : spectrometer_types()) {
        spectrometer_->addItem(QString::fromStdString(type));
    }
    // A lab's own instrument: the tree's folders, or a new name typed in.
    for (const std::string& type : own_spectrometers(models_)) {
        spectrometer_->addItem(QString::fromStdString(type));
    }
    spectrometer_->setEditable(true);
    spectrometer_->setToolTip("mir, mpa, alphakbr, alphaznse, or a lab's own instrument (letters, "
                              "digits, - and _): its OPUS files are read on their own axes");
    for (const std::string& property : soil_properties()) {
        property_->addItem(QString::fromStdString(property));
    }
    property_->setCurrentText("");
    preprocessing_->addItem(transformation_only);
    for (const std::string& pipeline : automatic_pipelines()) {
        preprocessing_->addItem(QString::fromStdString(pipeline));
    }
    preprocessing_->addItem("drop(2400-2250)+sg(21,2,1)");
    const BartOptions defaults;
    set_whole_setting(trees_, "trees", defaults.trees);
    set_whole_setting(draws_, "draws", defaults.draws);
    set_whole_setting(burn_in_, "burn-in", defaults.burn_in);
    set_whole_setting(thin_, "thin", defaults.thin);
    set_whole_setting(chains_, "chains", defaults.chains);
    set_whole_setting(cuts_, "cuts", defaults.max_cuts);
    seed_->setRange(0, 2147483647);
    seed_->setValue(static_cast<int>(defaults.seed));
    set_decimal_setting(alpha_, "alpha", defaults.alpha, 3);
    set_decimal_setting(beta_, "beta", defaults.beta, 2);
    set_decimal_setting(k_, "k", defaults.k, 2);
    set_decimal_setting(nu_, "nu", defaults.nu, 2);
    set_decimal_setting(q_, "q", defaults.q, 3);
    figures_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    chart_->setRenderHint(QPainter::Antialiasing);
    ui_->calibration_splitter->setSizes({560, 560});
}

void CalibrationWindow::connect_form() {
    // A pipeline takes the place of the transformation; choosing one leaves no field to type.
    const auto follow_preprocessing = [this] {
        const bool choose = choose_preprocessing_->isChecked();
        preprocessing_->setEnabled(!choose);
        transformation_->setEnabled(!choose &&
                                    preprocessing_->currentText() == transformation_only);
    };
    connect(choose_preprocessing_, &QCheckBox::toggled, this, follow_preprocessing);
    connect(preprocessing_, &QComboBox::currentTextChanged, this, follow_preprocessing);
    connect(choose_k_, &QCheckBox::toggled, k_, [this](bool on) { k_->setEnabled(!on); });
    connect(advanced_button_, &QToolButton::toggled, this, [this](bool open) {
        advanced_->setVisible(open);
        advanced_button_->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    });
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
    // Another identifier column makes other columns the properties.
    connect(id_column_, &QLineEdit::editingFinished, this, [this] { load_reference_columns(); });
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

std::string CalibrationWindow::id_column_text() const {
    const std::string id = text_of(id_column_);
    return id.empty() ? std::string("SSN") : id;
}

void CalibrationWindow::load_reference_columns() {
    column_->clear();
    if (text_of(references_).empty()) {
        return; // nothing chosen yet (a form filled with the spectra alone)
    }
    try {
        for (const std::string& field :
             reference_table_columns(text_of(references_), id_column_text())) {
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

void CalibrationWindow::fill_method(const QString& method) {
    const int index = ui_->calibration_method->findText(method);
    if (index >= 0) {
        ui_->calibration_method->setCurrentIndex(index);
    }
}

void CalibrationWindow::fill_preprocessing(const QString& pipeline) {
    if (pipeline.trimmed() == "auto") {
        choose_preprocessing_->setChecked(true);
    } else {
        choose_preprocessing_->setChecked(false);
        preprocessing_->setCurrentText(pipeline);
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
    s.spectrometer_type = spectrometer_->currentText().trimmed().toStdString();
    if (!is_plain_spectrometer_name(s.spectrometer_type)) {
        throw std::runtime_error(
            "Name the spectrometer with letters, digits, - and _ (at most 64), "
            "not '" +
            s.spectrometer_type + "'.");
    }
    in.spectrometer = s.spectrometer_type;
    in.id_column = id_column_text();
    in.sample_id = sample_id_->text().trimmed().toStdString();
    SampleNaming{in.sample_id}; // a pattern that is not one is told before any work
    in.transformation = transformation_->currentText() == "none" ? Transformation::none
                                                                 : Transformation::first_derivative;
    in.log = log_scale_->isChecked();
    s.models = models_;
    in.opus_configuration = opus_configuration_file(models_).string();
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
    choose_fit(s);
    return s;
}

// The sampler's settings and the choices the calibration makes by cross-validation
// (preprocessing, method, k), each checked.
void CalibrationWindow::choose_fit(TrainingSettings& s) const {
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
    s.preprocess = preprocess_choice(s);
    s.methods = {ui_->calibration_method->currentText().toStdString()};
    if (s.methods.front() != "bart" && s.methods.front() != "pls" && s.cv_folds == 0 &&
        s.folds.empty()) {
        throw std::runtime_error("Choosing the method, or the blend's weight, needs "
                                 "cross-validation: choose K random folds or a folds file.");
    }
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
}

std::vector<std::string> CalibrationWindow::preprocess_choice(const TrainingSettings& s) const {
    const bool validated = s.cv_folds > 0 || !s.folds.empty();
    if (choose_preprocessing_->isChecked()) {
        if (!validated) {
            throw std::runtime_error("Choosing the preprocessing needs cross-validation: choose K "
                                     "random folds or a folds file.");
        }
        return {"auto"};
    }
    const QString text = preprocessing_->currentText().trimmed();
    if (text.isEmpty() || text == transformation_only) {
        return {};
    }
    std::vector<std::string> pipelines = pipeline_candidates(text.toStdString());
    if ((pipelines.size() > 1 || pipelines.front() == "auto") && !validated) {
        throw std::runtime_error("Choosing among several pipelines needs cross-validation: "
                                 "choose K random folds or a folds file.");
    }
    return pipelines;
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
    messages_->clear();
    thread_ = QThread::create([this, s] {
        try {
            LoggerSet log;
            // The trainer's messages and progress go to the window, never to a console.
            CalibrationObserver observer(
                stop_,
                [this](const QString& line) {
                    QMetaObject::invokeMethod(
                        this, [this, line] { add_message(line); }, Qt::QueuedConnection);
                },
                [this](long done, long total) {
                    QMetaObject::invokeMethod(
                        this, [this, done, total] { on_progress(done, total); },
                        Qt::QueuedConnection);
                });
            const ObserverGuard observing(log, observer);
            report_ = train_model(s, log);
        } catch (const CalibrationObserver::Cancelled&) {
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

void CalibrationWindow::show_report(const TrainingReport& report) {
    figures_->setText(QString::fromStdString(training_report_text(report)));
    card_->setPlainText(QString::fromStdString(calibration_card_text(report)));
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
