#pragma once

#include "gui/dialogs.h"
#include "job/job_settings.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

namespace Ui {
class Veldra;
}

class QCheckBox;

namespace veldra {

class WorkerThread;

// The program's window: the user's choices, the log of the running job, its progress, and the
// button that starts and stops it. A running job is held in `worker` until `finish`.
class Veldra : public QWidget {
    Q_OBJECT

public:
    Veldra(QWidget* parent, const ModelDirectory& model_dir,
           std::shared_ptr<Dialogs> dialogs = std::make_shared<QtDialogs>());
    // Stops a running job and waits for its thread before anything goes.
    ~Veldra() override;

private slots:
    void on_button_in_clicked();
    void on_button_compute_clicked();
    void on_button_out_clicked();
    void on_box_filetype_currentTextChanged(const QString& arg1);
    void on_button_clear_clicked();
    void on_button_open_folder_clicked();
    void on_button_results_clicked();
    void on_button_calibrate_clicked();
    void on_edit_output_textChanged(const QString&);

public slots:
    void finish(QString result_message, bool stopped_by_user, bool ok);
    void send_log_string(QString log_string);
    void set_progress(int max, int current);

private:
    void refresh_input_field();
    void show_error(const QString& message);
    std::vector<std::string> selected_spectrometers() const;
    std::vector<std::string> selected_properties() const;
    // The job the window's choices ask for, on `input` (before the checks below).
    JobSettings job_request(const std::string& input) const;
    // The output folder: made when it does not exist and the user agrees, then checked; false
    // after telling what is wrong.
    bool prepare_output_folder();
    // The interval levels and tolerances typed in, checked against the properties chosen; false
    // after telling what is wrong.
    bool read_decisions(const std::vector<std::string>& properties, std::vector<double>& levels,
                        std::map<std::string, double>& tolerances);
    std::vector<QCheckBox*> property_boxes() const;
    // What the model tree holds beside the standard choices: its own spectrometer folders in
    // the spectrometer list, and a box for each property of its own under the chosen
    // spectrometer (those checked stay checked).
    void offer_tree_choices();
    void offer_own_properties();
    // Sets the transformation and the back-transformation to what the cards of the chosen
    // models say, when they agree; leaves them as they are otherwise.
    void preselect_from_cards();
    Transformation selected_transformation() const;
    bool exponential_selected() const;

    std::shared_ptr<WorkerThread> worker;
    Ui::Veldra* ui;
    ModelDirectory model_dir;
    std::string output_path;
    QString opus_folder;
    QString csv_file;
    std::shared_ptr<Dialogs> dialogs_;
    std::vector<QCheckBox*> own_property_boxes_; // a lab's own properties, in the tree's order
    QString last_summary_;                       // the summary of the last job that wrote one
    JobRecord last_record_;                      // and that job's record
};

} // namespace veldra
