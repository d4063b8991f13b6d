#pragma once

#include "bart/forest_prediction.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

class ResultFileStream;

// The header of a job's summary table, one row per sample and pair.
constexpr const char* summary_header = "SSN,spectrometer,property,mean,std,2.5%,50%,97.5%,"
                                       "predictive 2.5%,predictive 97.5%,domain,T2,Q,model R2";

// The per-sample figures of one pair that the summary shows. Mean, standard deviation and the
// three quantiles are the numbers of the pair's output file; the predictive bounds and the
// domain figures are absent (NA) where the model cannot give them.
struct PairStatistics {
    std::vector<double> means;
    std::vector<double> standard_deviations; // NaN for one draw
    std::vector<double> low;                 // 2.5%
    std::vector<double> median;              // 50%
    std::vector<double> high;                // 97.5%
    std::vector<double> predictive_low;      // empty without "sigma.txt"
    std::vector<double> predictive_high;
    std::vector<double> t2; // empty without "domain.json"
    std::vector<double> q;
    std::vector<char> outside;
};

// One pair's rows of the summary.
struct SummaryPart {
    std::string spectrometer_type;
    std::string property;
    std::vector<std::string> ids;
    PairStatistics statistics;
    std::optional<double> model_r2;
};

// The error standard deviation of each draw from "sigma.txt" in `folder` (on the fitted scale);
// nothing when the file is absent. Raises a message naming the file when it holds anything but
// `draws` finite numbers of at least 0, one per line.
std::optional<std::vector<double>> read_sigma_file(const std::string& folder, std::size_t draws);

// A standard normal number fixed by a sample identifier and a draw index: the same for the same
// pair of them, whatever the thread, the order of work or the other samples of the job.
double sample_draw_normal(const std::string& id, std::size_t draw);

// The 2.5% and 97.5% quantiles (the file's rule: the element at the truncated index level x D of
// the sorted draws) of the posterior-predictive draws f_d + sigma_d z of every sample, with z
// from `sample_draw_normal`, back-transformed with exp when `exponential`. `matrix` is
// [draw][sample] on the fitted scale.
void predictive_bounds(const PredictionMatrix& matrix, const std::vector<double>& sigma,
                       const std::vector<std::string>& ids, bool exponential,
                       std::vector<double>& low, std::vector<double>& high);

// The summary file of a job: "<stem>-summary<extension>" beside the output path.
std::string summary_path(const std::string& output_path);

// The summary table, written beside its target a block of samples at a time and moved into
// place by `close`: the header, then for every sample one line per pair in the job's order
// (numbers as in the output files, 6 significant digits; NA where a figure does not exist).
class SummaryWriter {
public:
    explicit SummaryWriter(const std::string& path);
    ~SummaryWriter();
    SummaryWriter(const SummaryWriter&) = delete;
    SummaryWriter& operator=(const SummaryWriter&) = delete;
    // The lines of one block: the parts are the block's pairs, all of the same samples.
    void write(const std::vector<SummaryPart>& parts);
    void close();

private:
    std::unique_ptr<ResultFileStream> file_;
    std::string line_;
};

// One row of a summary file, as written: the texts of its fields, and its figures as numbers
// (NaN for NA).
struct SummaryRow {
    std::array<std::string, 14> fields;
    std::array<double, 7> figures{}; // mean, std, 2.5%, 50%, 97.5%, predictive 2.5%, 97.5%
    double t2 = 0.0;
    double q = 0.0;
    double model_r2 = 0.0;
    const std::string& id() const { return fields[0]; }
    const std::string& domain() const { return fields[10]; }
};

// A summary file read back: its rows in file order, the pairs ("mir", "Carbon") and the samples
// in the order they first appear.
struct SummaryTable {
    std::vector<SummaryRow> rows;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> samples;
};

// The most rows a summary file may hold when read back.
constexpr std::size_t largest_summary_rows = 20000000;

// The largest summary the results window opens: about 30,000 samples of 17 pairs, which take
// about 250 MB once read. Larger ones are for a spreadsheet or a script.
constexpr std::size_t largest_window_summary_bytes = std::size_t{64} << 20;

// Why the results window does not open a summary: too large (its size and the limit), or ""
// when it may.
std::string summary_window_problem(const std::string& path);

// Reads a summary file written by a job. Raises a message naming the file and the line for
// anything else: another header, a line of another field count, a figure that is neither a
// number nor NA, a domain verdict other than inside, outside or unknown.
SummaryTable read_summary_file(const std::string& path);

// The same from the file's text; `name` names it in messages.
SummaryTable parse_summary(const std::string& text, const std::string& name);

} // namespace veldra
