#pragma once

#include "job/job_summary.h"

#include <QWidget>

class QComboBox;
class QTableWidget;

namespace QtCharts {
class QChartView;
}

namespace veldra {

// The results of a job, from its summary table: every sample x pair with its mean and 95%
// interval (predictive where the model gives one), samples outside the calibration domain
// marked, sortable and copyable; and for the chosen pair a chart of every sample's mean with its
// credible and predictive intervals, in sample order.
class ResultsWindow : public QWidget {
    Q_OBJECT

public:
    ResultsWindow(QWidget* parent, SummaryTable table, const QString& title);

    // Shows the chart of pair `index` (in the table's order).
    void show_pair(int index);

    // The selected cells as tab-separated lines, as Ctrl+C puts them on the clipboard.
    QString selected_text() const;

private:
    void fill_table();

    SummaryTable table_;
    QTableWidget* cells_;
    QComboBox* pair_box_;
    QtCharts::QChartView* chart_view_;
};

} // namespace veldra
