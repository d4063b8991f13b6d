#pragma once

#include "bart/forest_prediction.h"
#include "input/spectra_table.h"
#include "job/job_summary.h"
#include "logging/logger_set.h"

#include <array>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace veldra {

// The quantile levels of the output, in column order.
constexpr std::array<double, 7> quantile_levels = {0.025, 0.05, 0.1, 0.5, 0.9, 0.95, 0.975};

// Everything written for one pair: the back-transformed draws in both orders and the per-sample
// statistics over the draws.
struct PredictionSummary {
    std::vector<std::vector<double>> draws_per_sample; // [sample][draw]
    std::vector<std::vector<double>> samples_per_draw; // [draw][sample]
    std::vector<double> means;
    std::vector<double> standard_deviations;
    std::vector<std::vector<double>> quantiles; // [level][sample]
    std::vector<std::string> sample_ids;
};

// The output file of one pair, written beside its target (a hidden ".<name>.<random>.part" in
// the same folder) and moved onto the target only by `close`, so that a failure or a stop never
// leaves a short file or an emptied earlier result. A device or a pipe is written directly. Numbers
// use the stream's default format (6 significant digits).
class StagedOutputs;

class ResultFileStream {
public:
    // Raises "File open failed: " + path + "\n" and the cause (`output_problem`) when the file
    // cannot be written there.
    // With `staging`, `close` hands the complete file over to it instead of moving it in.
    explicit ResultFileStream(const std::string& path, StagedOutputs* staging = nullptr);
    // Removes the partial file unless `close` has put it in place.
    ~ResultFileStream();
    ResultFileStream(const ResultFileStream&) = delete;
    ResultFileStream& operator=(const ResultFileStream&) = delete;

    std::ofstream& stream() { return out_; }

    // Closes the file and moves it onto the target; raises "Writing to file failed: " + path
    // when any write, the close or the move failed (a full disk, a failing device), so a short
    // file is never reported as written. A target that another program holds open (Windows) is
    // waited for a moment, then the complete file is kept beside it (`kept_beside_path`) and the
    // message says where.
    void close();

private:
    std::string path_;
    std::string target_;  // the regular file replaced: the path, or the file its link names
    std::string partial_; // "" when writing straight to a device or a pipe
    std::ofstream out_;
    bool placed_ = false;
    StagedOutputs* staging_ = nullptr;
};

// Puts a complete partial file in place (`place_file`), trying again for up to 3 seconds while
// another program holds the target open (a virus scanner for a moment, a spreadsheet until the
// user closes it).
void place_waiting(const std::string& partial, const std::string& target, std::error_code& error);

// Removes the partial files beside `path` that a job wrote for it and left when it was killed
// (their process no longer runs here); returns how many. Called by a job that holds the lock on
// its outputs, so that no live job of this machine writes them.
std::size_t remove_dead_partials(const std::string& path);

// The folder that outputs beside `output_path` go into ("." for a bare file name).
std::string output_folder(const std::string& output_path);

// What keeps outputs from being written beside `output_path`, in the user's terms ("The output
// folder '...' does not exist.", "... cannot be written: ..."); "" when its folder exists and
// takes new files. Leaves nothing behind.
std::string output_folder_problem(const std::string& output_path);

// Whether an output file can be written at `path`: its folder exists and takes a new file, and
// the path is not a folder. Leaves no file behind and an existing target untouched.
bool output_writable(const std::string& path);

// Why no output file can be written at `path`, a sentence with what to do ("'...' is a folder:
// name a file in it for the output.", "The name is longer than the file system allows (File name
// too long): choose a shorter one."); "" when it can.
std::string output_problem(const std::string& path);

// The output file of one pair written a block of samples at a time, as `write_prediction_file`
// writes it whole.
class PredictionFileWriter {
public:
    // Opens the file and writes the header of `draws` draws; with an empty `outfile`, nothing is
    // written and `write` only computes the figures.
    PredictionFileWriter(const std::string& outfile, const std::string& separator,
                         std::size_t draws, LoggerSet& log, StagedOutputs* staging = nullptr);

    // Writes one line per sample of `matrix` ([draw][sample], as many draws as the header),
    // back-transformed with exp when asked, and appends the figures to `keep` and `statistics`.
    // The lines are formatted on `threads` threads (0: one per core), the same bytes on any
    // number.
    void write(const PredictionMatrix& matrix, const std::vector<std::string>& ids,
               bool exponential, PredictionSummary* keep, PairStatistics* statistics,
               unsigned threads = 1);

    // Puts the complete file in place (see ResultFileStream::close).
    void close();

private:
    std::string separator_;
    std::size_t draws_ = 0;
    std::optional<ResultFileStream> file_;
    // Sample j's line (at the start of `line`; returns its length) and figures, from column j of
    // the matrix; `x` and `sorted` are working room of draws' length.
    std::size_t sample_line(const PredictionMatrix& matrix, std::size_t j, const std::string& id,
                            bool exponential, std::vector<double>& x, std::vector<double>& sorted,
                            std::string& line);
    // Lines formatted before they are written together.
    static constexpr std::size_t line_chunk = 64;

    std::vector<std::size_t> quantile_ranks_; // the draw of each quantile, in order
    // Two chunks' lines, and one block's figures per sample, kept between blocks for their memory.
    std::vector<std::string> lines_;
    std::vector<std::size_t> line_lengths_; // of the text at the start of each
    std::vector<double> means_;
    std::vector<double> sds_;
    std::vector<double> quantiles_; // [sample * quantiles + k]
    std::vector<std::vector<double>> kept_draws_;
};

// Raises the errors of a matrix that cannot be written: no draw ("Prediction matrix is empty"),
// or a draw shorter than the first.
void check_prediction_matrix(const PredictionMatrix& matrix);

// Back-transforms the draws with exp when asked and writes the pair's output CSV (identifier,
// every draw, mean, standard deviation, seven quantiles). The mean and the standard deviation
// are accumulated in single precision; quantiles take the element at the truncated index
// level x D of the sorted draws. Fills `summary` when given; without it, the memory beyond the
// matrix is one sample's draws.
// `statistics`, when given, receives each sample's mean, standard deviation, 2.5%, 50% and 97.5%
// as written.
void write_prediction_file(const PredictionMatrix& matrix, const std::string& outfile,
                           const std::string& separator, const SpectraTable& table,
                           bool exponential, LoggerSet& log, PredictionSummary* summary = nullptr,
                           PairStatistics* statistics = nullptr);

// Writes a table of spectra as a CSV the spectra reader accepts (an "SSN" column, then `names`),
// every value with 17 significant digits so that reading it back gives the same doubles; beside
// the target until complete, as the prediction files. A point without a value (NaN) is an empty
// cell, which the reader refuses, naming it. An identifier holding a comma or a line break is
// refused.
void write_spectra_table(const std::string& path, const SpectraTable& table,
                         const std::vector<std::string>& names);

} // namespace veldra
