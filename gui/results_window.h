#pragma once

#include "job/job_record.h"
#include "job/job_summary.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class QTableWidget;
class QAbstractTableModel;
class QSortFilterProxyModel;

namespace QtCharts {
class QChartView;
}

namespace veldra {

class Dialogs;

// The results of a job, from its summary table: every sample x pair with its mean and 95%
// interval (predictive where the model gives one), samples outside the calibration domain and
// those to re-measure marked, sortable, copyable and filtered to those to re-measure; for the
// chosen pair a chart of every sample's mean with its intervals as error bars, in sample order
// or by the mean; and the spectra with the bands that put the chosen sample outside shaded.
class ResultsWindow : public QWidget {
    Q_OBJECT

public:
    // Without `dialogs` the window cannot save a report.
    ResultsWindow(QWidget* parent, SummaryTable table, const QString& title,
                  Dialogs* dialogs = nullptr);

    // What the report and the panels tell of the job beyond its summary: its settings, the
    // models' cards, the files it could not read.
    void set_record(const std::string& summary_path, const JobRecord& record);

    // Asks where (through the dialogs) and writes the job's PDF report there; false when the
    // user cancelled or the writing failed (told in a message box).
    bool save_report();

    // Shows the chart of pair `index` (in the table's order).
    void show_pair(int index);

    // Shows only the samples to re-measure (of any pair) in the table and the chart, or all.
    void show_only_remeasure(bool only);

    // Makes row `row` of the table the current one (its sample highlighted among the spectra).
    void choose_row(int row);

    // Makes the first sample outside a model's domain the current one, on that pair's column, so
    // that its spectrum shows where it differs; else the first row.
    void choose_first_outside();

    // Shows the spectra the job read with the sample of the current table row highlighted, as
    // read or after the covariate transformation (the switch under the chart).
    void show_spectra();

    // The table as shown (after sorting): a cell's text, and sorting as a click on a header.
    QString cell_text(int row, int column) const;
    void sort_by(int column, Qt::SortOrder order);

    // The selected cells as tab-separated lines, as Ctrl+C puts them on the clipboard.
    QString selected_text() const;

private:
    void fill_table();
    void fill_record();
    // What each widget's signal makes the window do.
    void lay_out();
    // The chosen pair's chart beside the spectra.
    QWidget* charts_beside_spectra(QWidget* parent);
    void connect_widgets();

    SummaryTable table_;
    Dialogs* dialogs_;
    std::string summary_path_;
    JobRecord record_;
    QTableView* cells_;
    QAbstractTableModel* model_ = nullptr;
    QSortFilterProxyModel* sorter_ = nullptr;
    QComboBox* pair_box_;
    QLabel* card_label_;
    QtCharts::QChartView* chart_view_;
    QtCharts::QChartView* spectra_view_;
    QCheckBox* transformed_box_;
    QCheckBox* by_mean_box_;
    QCheckBox* remeasure_box_;
    QLabel* spectra_note_;
    QTableWidget* models_;
    QTableWidget* defective_;
    QPushButton* report_button_;
};

} // namespace veldra
