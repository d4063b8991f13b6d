#pragma once

#include "job/job_record.h"
#include "job/job_summary.h"

#include <string>

namespace veldra {

// The most samples a pair's table lists in a report; the summary file has the rest.
constexpr std::size_t largest_report_samples = 1000;

// Writes a job's report as PDF (A4, paginated, never shrunk): the program's version, the job's
// settings, the model folders with their cards, the input and the files it could not read, then
// for every pair its chart and a table of every sample's mean, intervals and domain verdict.
// `summary_path` names the summary the figures come from. Needs a QApplication (the offscreen
// platform will do). Raises std::runtime_error naming the file when it cannot be written.
void write_job_report(const std::string& pdf_path, const SummaryTable& summary,
                      const std::string& summary_path, const JobRecord& record);

// The same from a summary file, for a program without a window: a QApplication on the offscreen
// platform is made for the writing when there is none.
void write_job_report_offscreen(const std::string& pdf_path, const std::string& summary_path,
                                const JobRecord& record);

} // namespace veldra
