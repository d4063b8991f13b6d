#include "job/result_file.h"

#include "bart/order_statistics.h"

#include "job/number_format.h"
#include "job/output_names.h"
#include "job/sample_runs.h"
#include "job/staged_outputs.h"
#include "text/placed_file.h"
#include "text/platform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace {

namespace fs = boost::filesystem;

// Why a file at `path` could not be opened for writing, from the system's `error` (errno), in
// words a lab can act on.
std::string open_failure_cause(const std::string& path, int error) {
    boost::system::error_code ignored;
    const fs::path target(path);
    const std::string folder = output_folder(path);
    if (path.empty() || !target.has_filename() || fs::is_directory(target, ignored)) {
        return "'" + path + "' is a folder: name a file in it for the output.";
    }
    // What the folder is decides, where systems give different numbers for it.
    const fs::file_status parent = fs::status(folder, ignored);
    if (fs::exists(parent) && !fs::is_directory(parent)) {
        error = ENOTDIR;
    } else if (!fs::exists(parent) && (error == ENOENT || error == ENOTDIR)) {
        error = ENOENT;
    }
    const std::string says = std::strerror(error);
    switch (error) {
    case ENAMETOOLONG:
        return "The name is longer than the file system allows (" + says +
               "): choose a shorter one.";
    case ENOTDIR:
        return "'" + folder + "' is not a folder (" + says + "): choose a folder for the output.";
    case ENOENT:
        return "The folder '" + folder + "' does not exist (" + says +
               "): create it or choose another.";
    case EACCES:
    case EPERM:
    case EROFS:
        return "The folder '" + folder + "' cannot be written (" + says +
               "): choose another, or ask for the right to write there.";
    case ENOSPC:
        return "The disk is full (" + says + "): free some space or choose another disk.";
    default:
        return "The system says: " + says + ".";
    }
}

} // namespace

void place_waiting(const std::string& partial, const std::string& target, std::error_code& error) {
    place_file(partial, target, error);
    for (int tries = 0; error && tries < 15 && file_held_open_elsewhere(target); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        place_file(partial, target, error);
    }
}

std::size_t remove_dead_partials(const std::string& path) {
    const fs::path target(path);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::size_t removed = 0;
    boost::system::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::optional<long> process =
            partial_writer(entry->path().filename().string(), target.filename().string());
        if (!process ||
            (*process != 0 && (*process == current_process_id() || process_is_running(*process)))) {
            continue;
        }
        boost::system::error_code ignored;
        removed += fs::remove(entry->path(), ignored) ? 1 : 0;
    }
    return removed;
}

ResultFileStream::ResultFileStream(const std::string& path, StagedOutputs* staging)
    : path_(path), staging_(staging) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status) || path.empty() || !fs::path(path).has_filename()) {
        throw std::runtime_error("File open failed: " + path + "\n" +
                                 open_failure_cause(path, EISDIR));
    }
    if (!fs::exists(status) && fs::path(path).filename().string().size() > 255) {
        // Longer than most file systems take: the file could be written beside it, not moved in.
        throw std::runtime_error("File open failed: " + path + "\n" +
                                 open_failure_cause(path, ENAMETOOLONG));
    }
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        // A device or a pipe takes the output as it comes; there is nothing to replace. Text mode:
        // lines end the platform's way.
        out_.open(native_path(path), std::ios::out | std::ios::trunc);
    } else {
        // Beside the file a link points to, so that the link stays and its file is replaced.
        const fs::path target =
            fs::is_symlink(fs::symlink_status(path, error)) ? fs::canonical(path, error) : path;
        target_ = error ? path : target.string();
        partial_ = partial_path(target_);
        errno = 0;
        out_.open(native_path(partial_), std::ios::out | std::ios::trunc);
    }
    if (!out_.is_open()) {
        const int cause = errno;
        partial_.clear();
        throw std::runtime_error("File open failed: " + path + "\n" +
                                 open_failure_cause(path, cause));
    }
}

ResultFileStream::~ResultFileStream() {
    if (!placed_ && !partial_.empty()) {
        out_.close();
        boost::system::error_code ignored;
        fs::remove(partial_, ignored);
    }
}

namespace {

// "Writing to file failed: <path>", and on a second line the cause where the system gives one
// (`error`, errno after the failed write): a full disk above all, told also when the folder's
// disk has under a megabyte left whatever the number says.
std::string write_failure_message(const std::string& path, int error) {
    const std::string message = "Writing to file failed: " + path;
    boost::system::error_code unknown;
    const fs::space_info space = fs::space(output_folder(path), unknown);
    if (error == ENOSPC || (!unknown && space.available < (std::uintmax_t{1} << 20))) {
        return message + "\n" + open_failure_cause(path, ENOSPC);
    }
    if (error == EFBIG) {
        return message + "\nThe file grew larger than this system allows (" + std::strerror(error) +
               "): write fewer samples at a time, or to another disk.";
    }
    return error == 0 ? message : message + "\nThe system says: " + std::strerror(error) + ".";
}

} // namespace

void ResultFileStream::close() {
    errno = 0;
    out_.close();
    const int cause = errno;
    boost::system::error_code error;
    if (staging_ != nullptr && !partial_.empty()) {
        if (out_.fail()) {
            throw std::runtime_error(write_failure_message(path_, cause));
        }
        staging_->add(partial_, target_, path_);
        placed_ = true; // the staging removes it unless it is placed
        return;
    }
    std::error_code placing;
    if (!out_.fail() && !partial_.empty()) {
        place_waiting(partial_, target_, placing);
        error = placing ? boost::system::errc::make_error_code(boost::system::errc::io_error)
                        : boost::system::error_code();
        if (error && file_held_open_elsewhere(target_)) {
            // The complete file is kept under a name of its own rather than lost.
            const std::string kept = kept_beside_path(target_);
            boost::system::error_code moved;
            fs::rename(partial_, kept, moved);
            if (!moved) {
                placed_ = true;
                throw std::runtime_error("Writing to file failed: " + path_ +
                                         "\nIt is open in another program; the new file is kept "
                                         "as '" +
                                         kept + "'.");
            }
        }
    }
    if (out_.fail()) {
        throw std::runtime_error(write_failure_message(path_, cause));
    }
    if (error) {
        throw std::runtime_error("Writing to file failed: " + path_);
    }
    placed_ = true;
}

std::string output_folder(const std::string& output_path) {
    const fs::path folder = fs::path(output_path).parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

std::string output_folder_problem(const std::string& output_path) {
    const std::string folder = output_folder(output_path);
    boost::system::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!fs::exists(status)) {
        return "The output folder '" + folder + "' does not exist.";
    }
    if (!fs::is_directory(status)) {
        return "The output folder '" + folder + "' is a file, not a folder.";
    }
    const fs::path probe = fs::path(folder) / fs::unique_path(".veldra-probe-%%%%-%%%%");
    {
        std::ofstream out(native_path(probe.string()), std::ios::binary);
        if (!out.is_open()) {
            return "The output folder '" + folder + "' cannot be written: " + std::strerror(errno) +
                   ".";
        }
    }
    fs::remove(probe, error);
    return std::string();
}

bool output_writable(const std::string& path) {
    return output_problem(path).empty();
}

std::string output_problem(const std::string& path) {
    try {
        ResultFileStream probe(path);
        return std::string();
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        const std::size_t line = message.find('\n');
        const std::string cause = line == std::string::npos ? "" : message.substr(line + 1);
        return cause.empty() ? "The file cannot be written there." : cause;
    }
}

PredictionFileWriter::PredictionFileWriter(const std::string& outfile, const std::string& separator,
                                           std::size_t draws, LoggerSet& log,
                                           StagedOutputs* staging)
    : separator_(separator), draws_(draws) {
    for (const double level : quantile_levels) {
        quantile_ranks_.push_back(static_cast<std::size_t>(level * static_cast<double>(draws)));
    }
    // Without an output file (a summary-only job) the figures are computed and nothing written.
    if (outfile.empty()) {
        return;
    }
    VELDRA_LOG(log, Severity::info) << "Writing results to file: " << outfile;
    file_.emplace(outfile, staging);
    std::string line = "SSN";
    for (std::size_t i = 0; i < draws; ++i) {
        line += separator + "draw " + std::to_string(i + 1);
    }
    line += separator + "mean" + separator + "std";
    for (std::size_t k = 0; k + 1 < quantile_levels.size(); ++k) {
        line += separator;
        append_general6(line, quantile_levels[k] * 100.0);
        line += "%";
    }
    line += separator;
    append_general6(line, 97.5);
    line += "%\n";
    file_->stream() << line;
}

namespace {

// The summary's 2.5%, 50% and 97.5% are these of the file's quantiles.
constexpr std::size_t summary_quantile_low = 0;
constexpr std::size_t summary_quantile_median = 3;
constexpr std::size_t summary_quantile_high = 6;
static_assert(quantile_levels[summary_quantile_low] == 0.025 &&
              quantile_levels[summary_quantile_median] == 0.5 &&
              quantile_levels[summary_quantile_high] == 0.975);

} // namespace

void PredictionFileWriter::write(const PredictionMatrix& matrix,
                                 const std::vector<std::string>& ids, bool exponential,
                                 PredictionSummary* keep, PairStatistics* statistics,
                                 unsigned threads) {
    const std::size_t draws = draws_;
    const std::size_t samples = matrix.empty() ? 0 : matrix.front().size();
    const std::size_t quantiles = quantile_levels.size();
    means_.resize(samples);
    sds_.resize(samples);
    quantiles_.resize(samples * quantiles);
    if (keep != nullptr) {
        kept_draws_.resize(samples);
    }
    // Each sample's line and figures depend on its draws alone: formatted on the job's threads a
    // chunk of samples at a time, each chunk written while the next is formatted. The lines take
    // the memory of two chunks whatever the block, and that memory serves every chunk.
    lines_.resize(std::min(samples, 2 * line_chunk));
    line_lengths_.resize(lines_.size());
    std::future<void> writing;
    for (std::size_t chunk_first = 0; chunk_first < samples; chunk_first += line_chunk) {
        const std::size_t count = std::min(line_chunk, samples - chunk_first);
        const std::size_t buffer = (chunk_first / line_chunk % 2) * line_chunk;
        std::string* const lines = lines_.data() + buffer;
        std::size_t* const lengths = line_lengths_.data() + buffer;
        const auto lines_of = [&](std::size_t first, std::size_t last) {
            std::vector<double> x(draws);
            std::vector<double> sorted;
            for (std::size_t k = first; k < last; ++k) {
                const std::size_t j = chunk_first + k;
                lengths[k] = sample_line(matrix, j, ids.at(j), exponential, x, sorted, lines[k]);
                if (keep != nullptr) {
                    kept_draws_[j] = x;
                }
            }
        };
        for_sample_runs(count, threads, lines_of);
        if (writing.valid()) {
            writing.get();
        }
        if (file_) {
            writing = std::async(std::launch::async, [this, lines, lengths, count] {
                for (std::size_t k = 0; k < count; ++k) {
                    file_->stream().write(lines[k].data(),
                                          static_cast<std::streamsize>(lengths[k]));
                }
            });
        }
    }
    if (writing.valid()) {
        writing.get();
    }
    for (std::size_t j = 0; j < samples; ++j) {
        const double* q = quantiles_.data() + j * quantiles;
        const double sd = sds_[j];
        if (keep != nullptr) {
            for (std::size_t k = 0; k < quantiles; ++k) {
                keep->quantiles[k].push_back(q[k]);
            }
        }
        if (statistics != nullptr) {
            statistics->means.push_back(means_[j]);
            statistics->standard_deviations.push_back(draws > 1 ? sd : std::nan(""));
            statistics->low.push_back(q[summary_quantile_low]);
            statistics->median.push_back(q[summary_quantile_median]);
            statistics->high.push_back(q[summary_quantile_high]);
        }
        if (keep != nullptr) {
            keep->draws_per_sample.push_back(std::move(kept_draws_[j]));
            keep->means.push_back(means_[j]);
            keep->standard_deviations.push_back(sd);
        }
    }
}

std::size_t PredictionFileWriter::sample_line(const PredictionMatrix& matrix, std::size_t j,
                                              const std::string& id, bool exponential,
                                              std::vector<double>& x, std::vector<double>& sorted,
                                              std::string& line) {
    const std::size_t draws = draws_;
    const std::string& separator = separator_;
    const float draw_count = static_cast<float>(draws);
    for (std::size_t i = 0; i < draws; ++i) {
        const double value = matrix[i][j];
        x[i] = exponential ? std::exp(value) : value;
    }
    // Single-precision accumulation, exactly as the published results were computed.
    float sum = 0.0f;
    for (const double value : x) {
        sum = static_cast<float>(static_cast<double>(sum) + value);
    }
    const float mean = sum / draw_count;
    float squares = 0.0f;
    for (const double value : x) {
        const double d = static_cast<double>(static_cast<float>(value) - mean);
        squares = static_cast<float>(static_cast<double>(squares) + d * d);
    }
    const double sd = std::sqrt(static_cast<double>(squares) / static_cast<double>(draws - 1));

    // Only the quantiles' places of the draws in order are needed: selected, not sorted.
    sorted = x;
    select_order_statistics(sorted, quantile_ranks_);
    double* q = quantiles_.data() + j * quantile_levels.size();
    for (std::size_t k = 0; k < quantile_levels.size(); ++k) {
        q[k] = sorted[quantile_ranks_[k]];
    }
    // Written in place: room for the identifier and every number with its separator, taken
    // once (growing a string clears the room it adds).
    const std::size_t numbers = draws + 2 + quantile_levels.size();
    const std::size_t room = id.size() + numbers * (general6_room + separator.size()) + 1;
    if (line.size() < room) {
        line.resize(room);
    }
    char* p = line.data();
    const auto put = [&p](const std::string& text) {
        std::memcpy(p, text.data(), text.size());
        p += text.size();
    };
    put(id);
    put(separator);
    for (const double value : x) {
        p = write_general6(p, value);
        put(separator);
    }
    p = write_general6(p, static_cast<double>(mean));
    put(separator);
    if (draws > 1) {
        p = write_general6(p, sd);
    } else {
        *p++ = 'N'; // one draw has no spread: NA
        *p++ = 'A';
    }
    for (std::size_t k = 0; k < quantile_levels.size(); ++k) {
        put(separator);
        p = write_general6(p, q[k]);
    }
    *p++ = '\n';
    means_[j] = static_cast<double>(mean);
    sds_[j] = sd;
    return static_cast<std::size_t>(p - line.data());
}

void PredictionFileWriter::close() {
    if (file_) {
        file_->close();
    }
}

void check_prediction_matrix(const PredictionMatrix& matrix) {
    const std::size_t draws = matrix.size();
    if (draws == 0) {
        throw std::runtime_error("Prediction matrix is empty");
    }
    const std::size_t samples = matrix.front().size();
    // A draw shorter than the first fails as reading it sample by sample would, before
    // anything is logged or written.
    for (std::size_t j = 0; j < samples; ++j) {
        for (std::size_t i = 0; i < draws; ++i) {
            if (matrix[i].size() <= j) {
                static_cast<void>(matrix[i].at(j));
            }
        }
    }
}

void write_prediction_file(const PredictionMatrix& matrix, const std::string& outfile,
                           const std::string& separator, const SpectraTable& table,
                           bool exponential, LoggerSet& log, PredictionSummary* keep,
                           PairStatistics* statistics) {
    check_prediction_matrix(matrix);
    const std::size_t draws = matrix.size();
    const std::size_t samples = matrix.front().size();
    if (keep != nullptr) {
        keep->draws_per_sample.clear();
        keep->quantiles.assign(quantile_levels.size(), std::vector<double>());
        keep->sample_ids = table.ids;
    }
    VELDRA_LOG(log, Severity::info) << "Predictions complete.";
    PredictionFileWriter writer(outfile, separator, draws, log);
    writer.write(matrix, table.ids, exponential, keep, statistics);
    writer.close();
    if (keep != nullptr) {
        keep->samples_per_draw.assign(draws, std::vector<double>(samples));
        for (std::size_t i = 0; i < draws; ++i) {
            for (std::size_t j = 0; j < samples; ++j) {
                keep->samples_per_draw[i][j] = keep->draws_per_sample[j][i];
            }
        }
    }
}

void write_spectra_table(const std::string& path, const SpectraTable& table,
                         const std::vector<std::string>& names) {
    ResultFileStream file(path);
    std::ofstream& out = file.stream();
    out << "SSN";
    for (const std::string& name : names) {
        out << ',' << name;
    }
    out << '\n';
    char text[64];
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const std::string& id = table.ids.at(i);
        if (id.find_first_of(",\r\n") != std::string::npos) {
            throw std::runtime_error("The sample identifier '" + id +
                                     "' holds a comma or a line break and cannot be written "
                                     "to a CSV file: " +
                                     path);
        }
        out << id;
        for (const double value : table.rows[i]) {
            out << ',';
            if (std::isnan(value)) {
                continue; // a point without a value (a reflectance not above 0): an empty cell
            }
            const auto end =
                std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
            out << std::string_view(text, static_cast<std::size_t>(end.ptr - text));
        }
        out << '\n';
    }
    file.close();
}

} // namespace veldra
