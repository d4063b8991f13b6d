#pragma once

#include "job/job_record.h"

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace veldra {

// Exit statuses of veldra-predict.
constexpr int exit_success = 0;
constexpr int exit_failure = 1; // the job's error text on the error stream
constexpr int exit_usage = 2;   // wrong options, with a usage line
constexpr int exit_stopped = 130;

// Runs veldra-predict with `arguments` (the program path first): the same job as the window's,
// log lines and progress on `err`, the files created on `out`. A set `stop` stops the job at
// its next checkpoint, as the window's stop does. `terminal` chooses a progress bar over
// plain progress lines.
// With `report`, "--report FILE.pdf" writes the job's PDF report after the job; the writer gets
// the report's path, the job's summary file and its record, and raises with a message.
using ReportWriter = std::function<void(const std::string& pdf_path,
                                        const std::string& summary_path, const JobRecord& record)>;
int run_predict_command(const std::vector<std::string>& arguments, std::ostream& out,
                        std::ostream& err, const std::atomic<bool>& stop, bool terminal,
                        const ReportWriter& report = {});

} // namespace veldra
