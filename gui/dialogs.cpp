#include "gui/dialogs.h"

#include "gui/results_window.h"
#include "job/job_summary.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>

namespace veldra {

QString QtDialogs::open_file(QWidget* parent, const QString& caption) {
    return QFileDialog::getOpenFileName(parent, caption, QString(), QString());
}

QString QtDialogs::choose_directory(QWidget* parent, const QString& caption) {
    return QFileDialog::getExistingDirectory(parent, caption, QString(), QFileDialog::ShowDirsOnly);
}

QString QtDialogs::save_file(QWidget* parent, const QString& caption) {
    return QFileDialog::getSaveFileName(parent, caption, QString(), QString(), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void QtDialogs::critical(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void QtDialogs::information(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

bool QtDialogs::question(QWidget* parent, const QString& title, const QString& text) {
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::NoButton) == QMessageBox::Yes;
}

void QtDialogs::open_folder(const QUrl& folder) {
    QDesktopServices::openUrl(folder);
}

void QtDialogs::show_results(QWidget* parent, const QString& summary_path,
                             const JobRecord& record) {
    const std::string problem = summary_window_problem(summary_path.toStdString());
    if (!problem.empty()) {
        QMessageBox::information(parent, "Results", QString::fromStdString(problem),
                                 QMessageBox::Ok);
        return;
    }
    try {
        auto* window = new ResultsWindow(parent, read_summary_file(summary_path.toStdString()),
                                         "Results: " + summary_path, this);
        window->set_record(summary_path.toStdString(), record);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->show();
    } catch (const std::exception& e) {
        QMessageBox::critical(parent, "Results", QString::fromStdString(e.what()), QMessageBox::Ok);
    }
}

} // namespace veldra
