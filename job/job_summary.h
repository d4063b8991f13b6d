#pragma once

#include "bart/forest_prediction.h"
#include "bart/predictive_band.h"
#include "models/interval_calibration.h"

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
class StagedOutputs;

// The header of a job's summary table, one row per sample and pair.
constexpr const char* summary_header = "SSN,spectrometer,property,mean,std,2.5%,50%,97.5%,"
                                       "predictive 2.5%,predictive 97.5%,domain,T2,Q,model R2";
// A later column, after those of `summary_header`: the pipeline the pair's model applies (or
// the job's transformation for a model without one). Summaries without it are read as before.
constexpr const char* summary_preprocessing_column = "model preprocessing";
// Then, per level asked, the calibrated interval's bounds "calibrated <lower>%" and
// "calibrated <upper>%" (`lower_percent`), the "decision" at the pair's tolerance and the
// "domain reason" of a sample outside. Summaries without them are read as before.
constexpr const char* summary_decision_column = "decision";
constexpr const char* summary_reason_column = "domain reason";
// Last, "resampled from <N> points" where the spectra were put onto the model's wavenumbers from
// N others, empty where they were on the model's grid. Summaries without it are read as before.
constexpr const char* summary_resampling_column = "resampling";
// After it, what "model R2" was computed on: "cross-validation" (out-of-fold predictions) or
// "training fit" (the calibration samples the model was fitted to, which flatter it); "" where
// it is NA. Summaries without it are read as before.
constexpr const char* summary_r2_source_column = "model R2 from";

// The decision on one sample at a tolerance (the half width its calibrated band at the first
// level may have): "accept" when it is inside the model's domain and its band is no wider than
// the tolerance either side, else "re-measure: " and each reason ("outside", "unknown domain",
// then `unbanded`, "interval open" or "too wide", separated by "; "). `low` and `high` are NaN
// without a calibrated band (`unbanded` says why: "no calibration", or "level too high for the
// calibration set (needs 39)"), infinite where the band is open.
std::string sample_decision(char domain, double low, double high, double tolerance,
                            const std::string& unbanded = "no calibration");

// The decision's reasons for a lab, the domain's ranges beside "outside" (joined by commas):
// "outside at 884–778 cm⁻¹, 616–551 cm⁻¹; too wide" from "re-measure: outside; too wide" and
// its "domain reason" "884–778 cm⁻¹; 616–551 cm⁻¹"; "" for "accept".
std::string decision_reasons_text(const std::string& decision, const std::string& domain_reason);
// `domain` above: 'i' inside, 'o' outside, 'u' unknown.

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
    // Per level asked, the calibrated band's bounds ([level][sample]; empty without a
    // calibration, NaN where the calibration cannot give the level).
    std::vector<std::vector<double>> calibrated_low;
    std::vector<std::vector<double>> calibrated_high;
    std::vector<std::string> decisions;      // empty without a tolerance for the pair
    std::vector<std::string> domain_reasons; // "" inside; empty without a domain
};

// One pair's rows of the summary.
struct SummaryPart {
    std::string spectrometer_type;
    std::string property;
    std::vector<std::string> ids;
    PairStatistics statistics;
    std::optional<double> model_r2;
    std::string preprocessing;      // "model preprocessing"
    std::size_t resampled_from = 0; // "resampling": the input's points, 0 on the model's grid
    std::string r2_source = "";     // "model R2 from"
};

// The 95% posterior-predictive band (`predictive_band`) of every sample. `matrix` is
// [row][sample] on the fitted scale; row r holds draw `draw_of_row[r]` (`draw_indices`), whose
// error spread is `sigma[draw_of_row[r]]`.
// With `levels` (the draw levels of each calibrated band, `calibrated_levels`), `calibrated`
// receives their bounds too (NaN for a level the calibration cannot give, infinite on a side no
// draw can bound without residuals to bound it). The samples are shared out among `threads`
// threads (0: one per core; one for fewer than 64 samples), with the same bounds on any number.
struct CalibratedBounds {
    std::vector<std::optional<CalibratedLevels>> levels;
    std::vector<std::vector<double>> low; // [level][sample]
    std::vector<std::vector<double>> high;
};
void predictive_bounds(const PredictionMatrix& matrix, const std::vector<std::size_t>& draw_of_row,
                       const std::vector<double>& sigma, const std::vector<std::string>& ids,
                       bool exponential, std::vector<double>& low, std::vector<double>& high,
                       CalibratedBounds* calibrated = nullptr, unsigned threads = 1);

// The summary table, written beside its target a block of samples at a time and moved into
// place by `close`: the header, then for every sample one line per pair in the job's order
// (numbers as in the output files, 6 significant digits; NA where a figure does not exist).
class SummaryWriter {
public:
    // `levels`: the levels of the calibrated intervals, in the order asked.
    explicit SummaryWriter(const std::string& path,
                           const std::vector<double>& levels = std::vector<double>{0.95},
                           StagedOutputs* staging = nullptr);
    ~SummaryWriter();
    SummaryWriter(const SummaryWriter&) = delete;
    SummaryWriter& operator=(const SummaryWriter&) = delete;
    // The lines of one block: the parts are the block's pairs, all of the same samples.
    void write(const std::vector<SummaryPart>& parts);
    void close();

private:
    std::unique_ptr<ResultFileStream> file_;
    std::string line_;
    std::size_t levels_ = 0;
};

// The columns of the summary, in the order of `summary_header`. Readers look them up by name, so
// a column added later never moves one of these.
enum class SummaryColumn : std::size_t {
    ssn,
    spectrometer,
    property,
    mean,
    std,
    low,    // 2.5%
    median, // 50%
    high,   // 97.5%
    predictive_low,
    predictive_high,
    domain,
    t2,
    q,
    model_r2,
    model_preprocessing, // "" in a summary written without it
};
constexpr std::size_t summary_columns = 15;

// One row of a summary file, as written: the texts of its fields (identifiers unquoted), and its
// figures as numbers (NaN for NA).
struct SummaryRow {
    std::array<std::string, summary_columns> fields;
    std::array<double, 7> figures{}; // mean, std, 2.5%, 50%, 97.5%, predictive 2.5%, 97.5%
    double t2 = 0.0;
    double q = 0.0;
    double model_r2 = 0.0;
    std::vector<double> calibrated; // lower and upper bound per level of the table (NaN for NA)
    std::string decision;           // "" in a summary without the column
    std::string domain_reason;
    std::string resampling; // "resampled from N points", or ""
    std::string r2_source;  // "cross-validation", "training fit", or ""
    const std::string& text(SummaryColumn column) const {
        return fields[static_cast<std::size_t>(column)];
    }
    const std::string& id() const { return text(SummaryColumn::ssn); }
    const std::string& domain() const { return text(SummaryColumn::domain); }
    // Whether the row belongs to the pair ("mir", "Carbon").
    bool of_pair(const std::pair<std::string, std::string>& pair) const {
        return text(SummaryColumn::spectrometer) == pair.first &&
               text(SummaryColumn::property) == pair.second;
    }
};

// A summary file read back: its rows in file order, the pairs ("mir", "Carbon") and the samples
// in the order they first appear.
struct SummaryTable {
    std::vector<SummaryRow> rows;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> samples;
    std::vector<double> levels; // of the calibrated intervals, in the file's order
};

// The most rows a summary file may hold when read back.
constexpr std::size_t largest_summary_rows = 20000000;

// The largest summary the results window opens: about 30,000 samples of 17 pairs, which take
// about 250 MB once read. Larger ones are for a spreadsheet or a script.
constexpr std::size_t largest_window_summary_bytes = std::size_t{64} << 20;

// Why the results window does not open a summary: too large (its size and the limit), or ""
// when it may.
std::string summary_window_problem(const std::string& path);

// Reads a summary file written by a job (RFC 4180: identifiers may be quoted and hold commas,
// quotes and line breaks; columns are found by their names in the header). Raises a message
// naming the file and the line for anything else: a header without the summary's columns, a
// record of another field count, a field quoted wrongly, a figure that is neither a number nor
// NA, a domain verdict other than inside, outside or unknown.
SummaryTable read_summary_file(const std::string& path);

// The same from the file's text; `name` names it in messages.
SummaryTable parse_summary(const std::string& text, const std::string& name);

} // namespace veldra
