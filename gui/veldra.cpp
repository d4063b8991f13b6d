#include "gui/veldra.h"

#include "gui/calibration_window.h"

#include "input/opus_folder.h"
#include "job/decision_settings.h"
#include "job/job_runner.h"
#include "job/job_summary.h"
#include "job/output_names.h"
#include "job/result_file.h"
#include "job/worker_thread.h"
#include "models/model_card.h"
#include "models/model_layout.h"
#include "ui_veldra.h"
#include "version.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTextCursor>
#include <QUrl>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

// The resources live in a static library, whose initialiser the linker would drop unless called.
static void initialise_resources() {
    Q_INIT_RESOURCE(veldra);
}

namespace veldra {

namespace {

QString link(const QString& target, const QString& text) {
    return "<a href=\"" + target.toHtmlEscaped() + "\">" + text + "</a>";
}

} // namespace

Veldra::Veldra(QWidget* parent, const ModelDirectory& model_dir_, std::shared_ptr<Dialogs> dialogs)
    : QWidget(parent), worker(), ui(new Ui::Veldra), model_dir(model_dir_), output_path(),
      opus_folder(), csv_file(), dialogs_(std::move(dialogs)) {
    initialise_resources();
    ui->setupUi(this);
    // The documentation ships beside the model files: <prefix>/share/doc/veldra.
    const boost::filesystem::path documentation =
        model_dir.parent_path().parent_path().parent_path() / "doc" / "veldra" / "README.md";
    ui->label_about->setText(
        link(QUrl::fromLocalFile(QString::fromStdString(documentation.string())).toString(),
             "About this app"));
    ui->label_feedback->setText(link(QString("mailto:") + veldra_feedback_address, "Feedback"));
    ui->label_version->setText(veldra_version);
    refresh_input_field();
    ui->button_open_folder->setEnabled(false);
    ui->progress_bar->reset();
    for (QCheckBox* box : property_boxes()) {
        connect(box, &QCheckBox::toggled, this, [this] { preselect_from_cards(); });
    }
    connect(ui->combo_box_spectr, &QComboBox::currentTextChanged, this, [this] {
        offer_own_properties();
        preselect_from_cards();
    });
    ui->layout_own_properties->addStretch();
    offer_tree_choices();
}

void Veldra::offer_tree_choices() {
    for (const std::string& name : own_spectrometers(model_dir)) {
        const QString text = QString::fromStdString(name);
        if (ui->combo_box_spectr->findText(text) < 0) {
            ui->combo_box_spectr->addItem(text);
        }
    }
    offer_own_properties();
}

void Veldra::offer_own_properties() {
    std::vector<std::string> checked;
    for (QCheckBox* box : own_property_boxes_) {
        if (box->isChecked()) {
            checked.push_back(box->text().toStdString());
        }
        delete box;
    }
    own_property_boxes_.clear();
    const std::vector<std::string>& standard = soil_properties();
    for (const std::string& property :
         available_properties(model_dir, selected_spectrometers().front())) {
        if (std::find(standard.begin(), standard.end(), property) != standard.end()) {
            continue;
        }
        auto* box = new QCheckBox(QString::fromStdString(property), ui->groupBox);
        box->setObjectName(QString::fromStdString("check_box_own_" + property));
        box->setToolTip("A property calibrated for this spectrometer in the model directory");
        box->setChecked(std::find(checked.begin(), checked.end(), property) != checked.end());
        connect(box, &QCheckBox::toggled, this, [this] { preselect_from_cards(); });
        // Above the stretch that keeps the column at the top.
        ui->layout_own_properties->insertWidget(ui->layout_own_properties->count() - 1, box);
        own_property_boxes_.push_back(box);
    }
}

void Veldra::preselect_from_cards() {
    std::vector<Transformation> transformations;
    std::vector<bool> logs;
    for (const std::string& type : selected_spectrometers()) {
        for (const std::string& property : selected_properties()) {
            std::optional<ModelCard> card;
            try {
                card = read_model_card(model_folder(model_dir, type, property));
            } catch (const std::exception&) {
                continue; // the job itself reports a damaged card
            }
            if (card && card->transformation) {
                transformations.push_back(*card->transformation);
            }
            if (card && card->log) {
                logs.push_back(*card->log);
            }
        }
    }
    const auto agree = [](const auto& values) {
        return !values.empty() && std::all_of(values.begin(), values.end(), [&](const auto& value) {
            return value == values.front();
        });
    };
    if (agree(transformations)) {
        ui->combo_box_transform->setCurrentText(
            transformations.front() == Transformation::first_derivative ? "first_der"
                                                                        : "no transformation");
    }
    if (agree(logs)) {
        ui->combo_box_exptrf->setCurrentText(logs.front() ? "Yes" : "No");
    }
}

Veldra::~Veldra() {
    if (worker) {
        worker->requestInterruption();
        worker->wait();
        worker.reset();
    }
    // A calibration window still open goes with this one: it must not call back into a window
    // being destroyed.
    for (CalibrationWindow* calibration : findChildren<CalibrationWindow*>()) {
        calibration->disconnect(this);
    }
    delete ui;
}

void Veldra::refresh_input_field() {
    if (ui->box_filetype->currentText() == "csv") {
        ui->edit_input->setText(csv_file);
        if (csv_file.isEmpty()) {
            ui->edit_input->setPlaceholderText("[Please select a csv file]");
        }
    } else {
        ui->edit_input->setText(opus_folder);
        if (opus_folder.isEmpty()) {
            ui->edit_input->setPlaceholderText("[Please select the folder containing opus files]");
        }
    }
}

void Veldra::show_error(const QString& message) {
    dialogs_->critical(this, "Internal error!", message);
}

void Veldra::on_button_in_clicked() {
    if (ui->box_filetype->currentText() == "csv") {
        const QString chosen = dialogs_->open_file(this, tr("Spectrum measurement file"));
        if (!chosen.isEmpty()) {
            csv_file = chosen;
        }
    } else {
        const QString chosen = dialogs_->choose_directory(this, tr("Directory for opus files"));
        if (!chosen.isEmpty()) {
            opus_folder = chosen;
        }
    }
    refresh_input_field();
}

void Veldra::on_button_out_clicked() {
    const QString chosen = dialogs_->save_file(this, tr("Output file"));
    if (!chosen.isEmpty()) {
        ui->edit_output->setText(chosen);
    }
}

void Veldra::on_box_filetype_currentTextChanged(const QString&) {
    refresh_input_field();
}

void Veldra::on_button_clear_clicked() {
    ui->log_area->setPlainText(QString());
}

void Veldra::on_edit_output_textChanged(const QString& text) {
    ui->button_open_folder->setEnabled(!text.isEmpty());
}

void Veldra::on_button_calibrate_clicked() {
    auto* window = new CalibrationWindow(this, model_dir, dialogs_);
    window->setAttribute(Qt::WA_DeleteOnClose);
    // A model calibrated there is offered here as soon as the window closes.
    connect(window, &QObject::destroyed, this, [this] { offer_tree_choices(); });
    // One job at a time: no prediction while a calibration runs.
    window->setWindowModality(Qt::ApplicationModal);
    window->show();
}

void Veldra::on_button_results_clicked() {
    dialogs_->show_results(this, last_summary_, last_record_);
}

void Veldra::on_button_open_folder_clicked() {
    const std::string text = ui->edit_output->text().toStdString();
    const boost::filesystem::path path(text);
    boost::system::error_code error;
    const boost::filesystem::file_status status = boost::filesystem::status(path, error);
    if (error || status.type() == boost::filesystem::file_not_found) {
        dialogs_->critical(this, "Open failed",
                           "File not found: '" + QString::fromStdString(text) + "'");
    } else if (status.type() != boost::filesystem::regular_file) {
        dialogs_->critical(this, "Open failed",
                           "Not a file: '" + QString::fromStdString(text) + "'");
    } else {
        dialogs_->open_folder(
            QUrl::fromLocalFile(QString::fromStdString(path.parent_path().string())));
    }
}

std::vector<std::string> Veldra::selected_spectrometers() const {
    return {ui->combo_box_spectr->currentText().toStdString()};
}

std::vector<QCheckBox*> Veldra::property_boxes() const {
    return {ui->check_box_Carbon, ui->check_box_Al,   ui->check_box_B,  ui->check_box_Ca,
            ui->check_box_Cu,     ui->check_box_EC_S, ui->check_box_Fe, ui->check_box_Hp,
            ui->check_box_K,      ui->check_box_Mg,   ui->check_box_Mn, ui->check_box_Na,
            ui->check_box_P,      ui->check_box_S,    ui->check_box_Zn, ui->check_box_pH,
            ui->check_box_N};
}

std::vector<std::string> Veldra::selected_properties() const {
    std::vector<std::string> properties;
    for (const QCheckBox* box : property_boxes()) {
        if (box->isChecked()) {
            properties.push_back(box->text().toStdString());
        }
    }
    for (const QCheckBox* box : own_property_boxes_) {
        if (box->isChecked()) {
            properties.push_back(box->text().toStdString());
        }
    }
    return properties;
}

Transformation Veldra::selected_transformation() const {
    // The box offers "first_der" and "no transformation".
    return transformation_from_text(ui->combo_box_transform->currentText().toStdString())
        .value_or(Transformation::none);
}

bool Veldra::exponential_selected() const {
    return ui->combo_box_exptrf->currentText() == "Yes";
}

void Veldra::on_button_compute_clicked() {
    if (worker) {
        if (!dialogs_->question(this, "Stop computations",
                                "All data will be lost.\nAre you sure you want to quit?")) {
            return;
        }
        worker->requestInterruption();
        send_log_string("Stopped by user");
        ui->button_compute->setEnabled(false);
        return;
    }

    const QString input = ui->edit_input->text();
    const QString output = ui->edit_output->text();
    if (input.isEmpty()) {
        on_button_in_clicked();
        return;
    }
    if (output.isEmpty()) {
        on_button_out_clicked();
        return;
    }
    output_path = output.toStdString();
    JobSettings request = job_request(input.toStdString());
    if (request.soil_properties.empty()) {
        show_error("Please choose at least one soil property");
        return;
    }
    if (!prepare_output_folder() ||
        !read_decisions(request.soil_properties, request.levels, request.tolerances)) {
        return;
    }
    try {
        SampleNaming{request.sample_id};
    } catch (const std::runtime_error& e) {
        show_error(e.what());
        return;
    }
    // No output may be a file the job reads, lie in its models or be another output (the job
    // would destroy it), nor be held open elsewhere.
    const JobRefusal refusal = job_request_refusal(request, {});
    if (!refusal.message.empty()) {
        show_error(QString::fromStdString(refusal.message));
        return;
    }

    ui->log_area->setPlainText(QString());
    worker = std::make_shared<WorkerThread>(this, std::move(request));
    connect(worker.get(), &WorkerThread::result_ready, this, &Veldra::finish);
    connect(worker.get(), &WorkerThread::send_log_string, this, &Veldra::send_log_string);
    connect(worker.get(), &WorkerThread::set_progress, this, &Veldra::set_progress);
    ui->button_compute->setText("Cancel");
    ui->button_calibrate->setEnabled(false);
    worker->start();
}

JobSettings Veldra::job_request(const std::string& input) const {
    JobSettings request;
    const bool opus = ui->box_filetype->currentText() == "opus";
    request.output_path = output_path;
    request.model_directory = model_dir;
    request.output_separator = ",";
    request.opus_folder = opus ? input + "/" : std::string();
    request.csv_file = opus ? std::string() : input;
    request.opus_configuration_path = opus_configuration_file(model_dir).string();
    request.exponential = exponential_selected();
    request.spectrometer_types = selected_spectrometers();
    request.soil_properties = selected_properties();
    request.transformation = selected_transformation();
    request.sample_id = ui->edit_sample_id->text().trimmed().toStdString();
    request.summary = true;      // the window always writes the job's summary table
    request.keep_spectra = true; // for the results window
    // The window has no option for it: VELDRA_THREADS sets the threads of a job (0 or unset:
    // one per core).
    bool valid = false;
    const int threads = qEnvironmentVariableIntValue("VELDRA_THREADS", &valid);
    request.threads = valid && threads > 0 ? static_cast<unsigned>(threads) : 0;
    return request;
}

bool Veldra::prepare_output_folder() {
    // Offered to be made when it does not exist, checked before any work.
    const std::string output_dir = output_folder(output_path);
    boost::system::error_code status;
    if (!boost::filesystem::exists(output_dir, status)) {
        if (!dialogs_->question(this, "Create folder",
                                "The output folder '" + QString::fromStdString(output_dir) +
                                    "' does not exist.\nCreate it?")) {
            return false;
        }
        boost::system::error_code made;
        boost::filesystem::create_directories(output_dir, made);
        if (made) {
            show_error("Cannot create the output folder '" + QString::fromStdString(output_dir) +
                       "': " + QString::fromStdString(made.message()) + ".");
            return false;
        }
    }
    const std::string problem = output_folder_problem(output_path);
    if (!problem.empty()) {
        show_error(QString::fromStdString(problem));
        return false;
    }
    return true;
}

bool Veldra::read_decisions(const std::vector<std::string>& properties, std::vector<double>& levels,
                            std::map<std::string, double>& tolerances) {
    try {
        levels = parse_levels(ui->edit_levels->text().toStdString());
        tolerances = parse_tolerances(ui->edit_tolerances->text().toStdString());
    } catch (const std::runtime_error& e) {
        show_error(QString::fromStdString(e.what()));
        return false;
    }
    for (const auto& tolerance : tolerances) {
        if (std::find(properties.begin(), properties.end(), tolerance.first) == properties.end()) {
            show_error("The tolerance names " + QString::fromStdString(tolerance.first) +
                       ", which is not a property chosen.");
            return false;
        }
    }
    return true;
}

void Veldra::finish(QString result_message, bool stopped_by_user, bool ok) {
    if (worker) {
        worker->wait(); // result_ready is the thread's last act; let it return first
        last_record_ = worker->record();
        worker.reset();
    }
    ui->button_compute->setText("Compute Predictions");
    ui->button_compute->setEnabled(true);
    ui->button_calibrate->setEnabled(true);
    ui->progress_bar->reset();
    if (stopped_by_user) {
        // What a stop set aside of an earlier job is told in the log, after "Stopped by user".
        for (const std::string& note : last_record_.set_aside) {
            send_log_string(QString::fromStdString(note));
        }
    } else {
        if (ok) {
            dialogs_->information(this, "Done", result_message);
            const std::string summary = summary_path(output_path);
            if (result_message.contains(QString::fromStdString(summary))) {
                last_summary_ = QString::fromStdString(summary);
                ui->button_results->setEnabled(true);
                dialogs_->show_results(this, last_summary_, last_record_);
            }
        } else {
            show_error(result_message);
        }
    }
}

void Veldra::send_log_string(QString log_string) {
    const QTextCursor kept = ui->log_area->textCursor();
    QTextCursor end = ui->log_area->textCursor();
    end.movePosition(QTextCursor::End);
    ui->log_area->setTextCursor(end);
    ui->log_area->insertPlainText(log_string);
    ui->log_area->insertPlainText("\n");
    ui->log_area->setTextCursor(kept);
}

void Veldra::set_progress(int max, int current) {
    ui->progress_bar->setMaximum(max);
    ui->progress_bar->setValue(current);
}

} // namespace veldra
