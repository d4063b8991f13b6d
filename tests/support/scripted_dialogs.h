#pragma once

#include "gui/dialogs.h"
#include "job/job_record.h"

#include <QString>
#include <QUrl>

#include <deque>
#include <vector>

namespace veldra::test {

// Answers the window's dialogs from a script and records every call.
class ScriptedDialogs : public Dialogs {
public:
    std::deque<QString> file_answers;  // for the three file dialogs, in order
    std::deque<bool> question_answers; // for Yes/No questions
    std::vector<QString> calls;        // "open_file:caption", "critical:title:text", ...
    std::vector<QUrl> opened;

    QString open_file(QWidget*, const QString& caption) override {
        calls.push_back("open_file:" + caption);
        return next_file();
    }
    QString choose_directory(QWidget*, const QString& caption) override {
        calls.push_back("choose_directory:" + caption);
        return next_file();
    }
    QString save_file(QWidget*, const QString& caption) override {
        calls.push_back("save_file:" + caption);
        return next_file();
    }
    void critical(QWidget*, const QString& title, const QString& text) override {
        calls.push_back("critical:" + title + ":" + text);
    }
    void information(QWidget*, const QString& title, const QString& text) override {
        calls.push_back("information:" + title + ":" + text);
    }
    bool question(QWidget*, const QString& title, const QString& text) override {
        calls.push_back("question:" + title + ":" + text);
        const bool answer = !question_answers.empty() && question_answers.front();
        if (!question_answers.empty()) {
            question_answers.pop_front();
        }
        return answer;
    }
    void open_folder(const QUrl& folder) override { opened.push_back(folder); }
    void show_results(QWidget*, const QString& summary_path, const JobRecord& record) override {
        calls.push_back("results:" + summary_path);
        records.push_back(record);
    }
    std::vector<JobRecord> records;

private:
    QString next_file() {
        if (file_answers.empty()) {
            return QString();
        }
        const QString answer = file_answers.front();
        file_answers.pop_front();
        return answer;
    }
};

} // namespace veldra::test
