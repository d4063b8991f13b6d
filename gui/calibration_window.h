#pragma once

#include "gui/dialogs.h"
#include "models/model_layout.h"
#include "train/training.h"

#include <QWidget>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QThread;
class QToolButton;

namespace QtCharts {
class QChartView;
}

namespace Ui {
class CalibrationForm;
}

namespace veldra {

// Calibrating a model from the window: the spectra, the reference values and their column, the
// property, the covariate transformation, the log scale, the cross-validation and (under
// "Advanced") the sampler's settings; the same training code as veldra-train runs on a worker
// thread with progress and Cancel, and its cross-validated figures, observed-versus-predicted
// chart and model card are shown when it ends. Every dialog goes through `dialogs`.
class CalibrationWindow : public QWidget {
    Q_OBJECT

public:
    CalibrationWindow(QWidget* parent, ModelDirectory models, std::shared_ptr<Dialogs> dialogs);
    ~CalibrationWindow() override;

    // The settings the form describes, as veldra-train would take them; raises a message for
    // the user when the form is incomplete.
    TrainingSettings settings() const;

    // Starts a calibration (after asking before replacing an existing model); false when
    // nothing started.
    bool start();
    // Asks the running calibration to stop; the existing model stays as it was.
    void cancel();
    bool running() const { return thread_ != nullptr; }

    // Fills the reference column picker from the reference file's header.
    void load_reference_columns();
    std::string id_column_text() const;

    // Fills the form as a user would: the spectra (a folder for OPUS), the reference values and
    // their column, the property, and a folds file ("" keeps K random folds).
    void fill(const QString& spectra, const QString& references, const QString& column,
              const QString& property, const QString& folds);
    // Fills the preprocessing field with a pipeline (several joined by ';'); "auto" ticks
    // "choose by cross-validation" instead.
    void fill_preprocessing(const QString& pipeline);
    // Chooses the method ("bart", "pls", "blend" or "auto"); another text is ignored.
    void fill_method(const QString& method);

signals:
    void finished(bool ok);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void build_form();
    void take_fields();
    void fill_choices();
    // The sampler's settings and the choices made by cross-validation, into `s`.
    void choose_fit(TrainingSettings& s) const;
    // The pipelines the preprocessing fields ask for (empty: the transformation alone).
    std::vector<std::string> preprocess_choice(const TrainingSettings& s) const;
    void connect_form();
    void on_progress(long done, long total);
    void add_message(const QString& line);
    void on_done();
    void show_report(const TrainingReport& report);

    ModelDirectory models_;
    std::shared_ptr<Dialogs> dialogs_;
    std::unique_ptr<Ui::CalibrationForm> ui_; // the form (calibration_window.ui); owns no widget

    QComboBox* input_kind_;
    QLineEdit* spectra_;
    QComboBox* spectrometer_;
    QLineEdit* references_;
    QComboBox* column_;
    QComboBox* property_;
    QComboBox* transformation_;
    QComboBox* preprocessing_;
    QCheckBox* choose_preprocessing_; // the documented set, by the cross-validated score
    QCheckBox* log_scale_;
    QComboBox* validation_;
    QSpinBox* folds_count_;
    QLineEdit* folds_file_;
    QToolButton* advanced_button_;
    QWidget* advanced_;
    QSpinBox* trees_;
    QSpinBox* draws_;
    QSpinBox* burn_in_;
    QSpinBox* thin_;
    QSpinBox* chains_;
    QSpinBox* cuts_;
    QSpinBox* seed_;
    QDoubleSpinBox* alpha_;
    QDoubleSpinBox* beta_;
    QDoubleSpinBox* k_;
    QDoubleSpinBox* nu_;
    QDoubleSpinBox* q_;
    QCheckBox* sparse_;
    QCheckBox* choose_k_;  // k from 1, 2, 3, 5 by the cross-validated interval score
    QLineEdit* id_column_; // of the reference values ("SSN" when left empty)
    QLineEdit* sample_id_; // how OPUS files name their samples (empty: by base name)
    QPushButton* run_button_;
    QPushButton* spectra_button_;
    QPushButton* references_button_;
    QPushButton* folds_button_;
    QProgressBar* progress_;
    QLabel* status_;
    QLabel* figures_;
    QtCharts::QChartView* chart_;
    QPlainTextEdit* card_;
    QPlainTextEdit* messages_; // the trainer's log, one line per message

    QThread* thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::chrono::steady_clock::time_point started_;
    // What the worker leaves for the window: its report or its error.
    std::optional<TrainingReport> report_;
    std::string error_;
    bool stopped_ = false;
};

} // namespace veldra
