#pragma once

#include "job/job_record.h"

#include <QString>
#include <QUrl>

class QWidget;

namespace veldra {

// Every dialog and desktop service the window uses. The program passes QtDialogs; tests pass
// a scripted implementation.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // File dialogs return the chosen path, or an empty text when the user cancelled.
    virtual QString open_file(QWidget* parent, const QString& caption) = 0;
    virtual QString choose_directory(QWidget* parent, const QString& caption) = 0;
    virtual QString save_file(QWidget* parent, const QString& caption) = 0;

    virtual void critical(QWidget* parent, const QString& title, const QString& text) = 0;
    virtual void information(QWidget* parent, const QString& title, const QString& text) = 0;
    // A Yes/No question without a default button; true for Yes.
    virtual bool question(QWidget* parent, const QString& title, const QString& text) = 0;

    // Opens a local folder in the system's file browser.
    virtual void open_folder(const QUrl& folder) = 0;

    // Opens a results window over a job's summary file (a message box when it cannot be read),
    // with the job's record for its report.
    virtual void show_results(QWidget* parent, const QString& summary_path,
                              const JobRecord& record) = 0;
};

// The real dialogs: Qt's file dialogs, message boxes and desktop services.
class QtDialogs : public Dialogs {
public:
    QString open_file(QWidget* parent, const QString& caption) override;
    QString choose_directory(QWidget* parent, const QString& caption) override;
    QString save_file(QWidget* parent, const QString& caption) override;
    void critical(QWidget* parent, const QString& title, const QString& text) override;
    void information(QWidget* parent, const QString& title, const QString& text) override;
    bool question(QWidget* parent, const QString& title, const QString& text) override;
    void open_folder(const QUrl& folder) override;
    void show_results(QWidget* parent, const QString& summary_path,
                      const JobRecord& record) override;
};

} // namespace veldra
