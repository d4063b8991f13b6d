#include "bart/forest_prediction.h"

#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "bart/model_document.h"
#include "bart/plain_document.h"
#include "text/file_pattern.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <locale>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

namespace veldra {

namespace {

// Raises the error a draw file gave. The document reader's own errors of a damaged file are the
// standard library's words ("invalid stod argument"): raised with the file named and in words a
// lab can act on.
[[noreturn]] void raise_file_error(const std::exception_ptr& error, const std::string& file) {
    try {
        std::rethrow_exception(error);
    } catch (const std::logic_error& e) {
        const std::string said = e.what();
        const char* what = "a value the document reader cannot take";
        if (said == "invalid stod argument" || said == "invalid stoi argument") {
            what = "a number that is not one";
        } else if (said == "stod argument out of range" || said == "stoi argument out of range") {
            what = "a number out of range";
        } else if (said == "invalid string position") {
            what = "a tree's branch code (TBN) too short for its place";
        } else if (said == "invalid vector<T> subscript") {
            what = "a tree without nodes";
        }
        throw std::runtime_error("The model file \"" + file + "\" is damaged: it holds " + what +
                                 ". Restore the model's folder from a copy, or train it again.");
    }
}

} // namespace

namespace fs = boost::filesystem;

namespace {

// The most files handed to a thread at once: their forests are held together so that each block of
// rows is prepared once for all of them (preparing copies every covariate of the block's rows,
// which costs as much as a few dozen forests' descents). Bounds the memory per thread to this
// many flat forests (about 20 kilobytes for 200 trees of a few nodes each, under 3 megabytes for
// the batch; 50 kilobytes and 6.4 megabytes for 420 trees), the node lists of one document
// (about 200 kilobytes for 200 trees) and one block of rows (lanes x covariates doubles, 229
// kilobytes for 3578).
constexpr std::size_t files_per_batch = 128;

// The fewest files a batch takes while more are left: every batch prepares each block of rows
// anew, which for one file costs several times its evaluation.
constexpr std::size_t smallest_batch = 16;

struct FileResult {
    std::vector<double> values;
    std::exception_ptr error;
    std::size_t missing_subtrees = 0; // notices of the reading walk
};

// What a thread keeps from one batch to the next: the forests of every file are read and built
// in memory the previous files held, not allocated and returned to the system file by file.
struct BatchMemory {
    ModelDocumentReader reader;
    Forest forest;
    std::vector<FlatForest> flat; // one per file of a batch
};

// Evaluates the forests of a batch (null: a file that failed) a few rows at a time: rows are
// prepared once for the batch, then descended through every forest of it. The values of forest
// f go to results[first + f].
void evaluate_forests(const std::vector<const FlatForest*>& forests, std::size_t first,
                      const SpectraRows& rows, const RangeScaling& scaling, bool first_derivative,
                      std::vector<FileResult>& results) {
    const double width = scaling.second - scaling.first;
    FlatForest::RowBlock block;
    double sums[FlatForest::lanes];
    for (std::size_t start = 0; start < rows.size(); start += FlatForest::lanes) {
        const std::size_t count = std::min(FlatForest::lanes, rows.size() - start);
        block.prepare(rows, start, count, first_derivative);
        for (std::size_t f = 0; f < forests.size(); ++f) {
            if (forests[f] == nullptr) {
                continue;
            }
            forests[f]->predict(block, sums);
            for (std::size_t l = 0; l < count; ++l) {
                results[first + f].values[start + l] = width * (sums[l] + 0.5) + scaling.first;
            }
        }
    }
}

// Reads, builds and checks the batch's files, then evaluates them.
void evaluate_batch(const std::vector<std::string>& files, std::size_t first, std::size_t last,
                    const SpectraRows& rows, const RangeScaling& scaling, bool first_derivative,
                    BatchMemory& memory, std::vector<FileResult>& results) {
    if (memory.flat.size() < last - first) {
        memory.flat.resize(last - first);
    }
    std::vector<const FlatForest*> forests(last - first, nullptr);
    for (std::size_t i = first; i < last; ++i) {
        try {
            memory.forest.clear();
            memory.reader.read(files[i], memory.forest);
            results[i].missing_subtrees = memory.forest.missing_subtrees;
            FlatForest& flat = memory.flat[i - first];
            flat.rebuild(memory.forest, files[i]);
            for (const std::vector<double>& row : rows) {
                flat.check_row(row.size(), files[i]);
            }
            forests[i - first] = &flat;
            results[i].values.resize(rows.size());
        } catch (...) {
            results[i].missing_subtrees = memory.forest.missing_subtrees;
            results[i].error = std::current_exception();
        }
    }
    evaluate_forests(forests, first, rows, scaling, first_derivative, results);
}

// Runs `work(first, last)` over [0, count) in batches of at most `files_per_batch` on `threads`
// threads (this one among them); the first exception of a batch is raised after all stopped.
template <typename Work>
void run_batches(std::size_t count, unsigned threads, const Work& work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex mutex;
    const auto loop = [&] {
        try {
            for (;;) {
                const std::size_t first = next.fetch_add(files_per_batch);
                if (first >= count) {
                    return;
                }
                work(first, std::min(count, first + files_per_batch));
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(mutex);
            error = error ? error : std::current_exception();
            next.store(count);
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back(loop);
    }
    loop();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (error) {
        std::rethrow_exception(error);
    }
}

unsigned thread_count(const PredictionOptions& options, std::size_t files) {
    const unsigned threads =
        options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
    return static_cast<unsigned>(
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(files, 1)));
}

} // namespace

namespace {

// Hands the files out to the threads in batches and tells who waits for a file when it is done.
// With several threads, batches shrink as the files run out (a share of what is left), so that no
// thread is left with a long last batch while the others wait.
class FileBatches {
public:
    FileBatches(std::size_t count, unsigned threads)
        : count_(count), threads_(threads), done_(count, 0) {}

    // The next batch [first, last); false when none is left or the work was abandoned.
    bool claim(std::size_t& first, std::size_t& last) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (next_ >= count_ || abandon_.load()) {
            return false;
        }
        const std::size_t left = count_ - next_;
        const std::size_t share = threads_ == 1
                                      ? files_per_batch
                                      : std::clamp<std::size_t>(left / (2 * std::size_t{threads_}),
                                                                smallest_batch, files_per_batch);
        first = next_;
        last = first + std::min(share, left);
        next_ = last;
        return true;
    }

    void finish(std::size_t first, std::size_t last) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            std::fill(done_.begin() + static_cast<std::ptrdiff_t>(first),
                      done_.begin() + static_cast<std::ptrdiff_t>(last), 1);
        }
        finished_.notify_all();
    }

    bool done(std::size_t i) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return done_[i] != 0;
    }

    void wait_for(std::size_t i) {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [&] { return done_[i] != 0; });
    }

    void abandon() { abandon_.store(true); }

private:
    std::size_t count_;
    unsigned threads_;
    std::vector<char> done_;
    std::size_t next_ = 0; // the first file no thread has claimed
    std::mutex mutex_;
    std::condition_variable finished_;
    std::atomic<bool> abandon_{false};
};

// A file's records, after it is evaluated and in file order.
void log_file(LoggerSet& log, const FileResult& result, const std::string& file, std::size_t rows) {
    const std::string separator(45, '=');
    for (std::size_t n = 0; n < result.missing_subtrees; ++n) {
        VELDRA_LOG(log, Severity::warning) << missing_subtree_notice;
    }
    VELDRA_LOG(log, Severity::debug) << separator;
    VELDRA_LOG(log, Severity::debug) << "FOREST: " << file;
    VELDRA_LOG(log, Severity::debug) << separator;
    VELDRA_LOG(log, Severity::debug) << "Number of predicted values: " << rows;
}

} // namespace

PredictionMatrix predict_from_forest_files(const std::string& forest_path,
                                           const std::string& format_word, const SpectraRows& rows,
                                           const RangeScaling& scaling, bool first_derivative,
                                           LoggerSet& log, const PredictionOptions& options) {
    if (rows.empty()) {
        throw std::runtime_error("indata is empty");
    }
    return predict_from_forest_files(forest_files(forest_path, format_word), rows, scaling,
                                     first_derivative, log, options);
}

PredictionMatrix predict_from_forest_files(const std::vector<std::string>& files,
                                           const SpectraRows& rows, const RangeScaling& scaling,
                                           bool first_derivative, LoggerSet& log,
                                           const PredictionOptions& options) {
    if (rows.empty()) {
        throw std::runtime_error("indata is empty");
    }
    log.inner_maximum = static_cast<std::int32_t>(files.size()) - 1;
    log.inner_position = 0;
    const std::size_t count = files.size();
    const unsigned threads = thread_count(options, count);
    std::vector<FileResult> results(count);
    FileBatches batches(count, threads);
    // Claims the next batch and evaluates it; false when none is left.
    const auto work_once = [&](BatchMemory& memory) {
        std::size_t first = 0;
        std::size_t last = 0;
        if (!batches.claim(first, last)) {
            return false;
        }
        evaluate_batch(files, first, last, rows, scaling, first_derivative, memory, results);
        batches.finish(first, last);
        return true;
    };

    std::vector<std::thread> helpers;
    struct Join {
        std::vector<std::thread>& helpers;
        FileBatches& batches;
        ~Join() {
            batches.abandon();
            for (std::thread& helper : helpers) {
                helper.join();
            }
        }
    } join{helpers, batches};
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back([&] {
            BatchMemory memory;
            while (work_once(memory)) {
            }
        });
    }
    BatchMemory memory;
    PredictionMatrix matrix;
    matrix.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        // This thread helps until file i is done.
        while (!batches.done(i)) {
            if (!work_once(memory)) {
                batches.wait_for(i);
                break;
            }
        }
        log.inner_position = static_cast<std::int32_t>(i);
        if (options.log_files) {
            log_file(log, results[i], files[i], rows.size());
        }
        if (results[i].error) {
            raise_file_error(results[i].error, files[i]);
        }
        matrix.push_back(std::move(results[i].values));
    }
    return matrix;
}

HeldForests::HeldForests(const std::string& forest_path, const std::string& format_word,
                         const PredictionOptions& options)
    : HeldForests(forest_files(forest_path, format_word), options) {}

HeldForests::HeldForests(std::vector<std::string> files, const PredictionOptions& options)
    : files_(std::move(files)), forests_(files_.size()), errors_(files_.size()),
      missing_subtrees_(files_.size(), 0) {
    run_batches(files_.size(), thread_count(options, files_.size()),
                [&](std::size_t first, std::size_t last) {
                    Forest forest;
                    ModelDocumentReader reader;
                    for (std::size_t i = first; i < last; ++i) {
                        try {
                            reader.read(files_[i], forest);
                            missing_subtrees_[i] = forest.missing_subtrees;
                            forests_[i].rebuild(forest, files_[i]);
                            forests_[i].shrink_to_fit();
                        } catch (...) {
                            missing_subtrees_[i] = forest.missing_subtrees;
                            errors_[i] = std::current_exception();
                        }
                        forest.clear();
                    }
                });
}

HeldForests::HeldForests(std::size_t draws, const std::function<std::string(std::size_t)>& document,
                         const PredictionOptions& options)
    : files_(draws), forests_(draws), errors_(draws), missing_subtrees_(draws, 0) {
    run_batches(draws, thread_count(options, draws), [&](std::size_t first, std::size_t last) {
        Forest forest;
        for (std::size_t i = first; i < last; ++i) {
            files_[i] = "draw " + std::to_string(i + 1);
            try {
                const std::string text = document(i); // ends in a zero byte, as the reader needs
                if (!read_plain_document(text, forest)) {
                    throw std::runtime_error("The model document of " + files_[i] +
                                             " is not in the form the forest writer gives.");
                }
                missing_subtrees_[i] = forest.missing_subtrees;
                forests_[i].rebuild(forest, files_[i]);
                forests_[i].shrink_to_fit();
            } catch (...) {
                errors_[i] = std::current_exception();
            }
            forest.clear();
        }
    });
}

HeldForests::HeldForests(CompiledForests compiled, const std::string& folder)
    : forests_(std::move(compiled.forests)), errors_(forests_.size()),
      missing_subtrees_(std::move(compiled.missing_subtrees)),
      storage_(std::move(compiled.storage)), storage_bytes_(compiled.storage_bytes) {
    files_.reserve(compiled.names.size());
    for (const std::string& name : compiled.names) {
        files_.push_back((fs::path(folder) / name).string());
    }
}

HeldForests::HeldForests(CompiledFile compiled, const std::string& folder)
    : forests_(compiled.size()), errors_(compiled.size()),
      missing_subtrees_(compiled.missing_subtrees()), storage_(compiled.storage()),
      storage_bytes_(compiled.storage_bytes()) {
    files_.reserve(compiled.size());
    for (const std::string& name : compiled.names()) {
        files_.push_back((fs::path(folder) / name).string());
    }
    unread_.emplace(std::move(compiled));
}

bool HeldForests::complete() const {
    for (const std::exception_ptr& error : errors_) {
        if (error) {
            return false;
        }
    }
    return true;
}

namespace {

std::vector<std::string> file_names(const std::vector<std::string>& files) {
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const std::string& file : files) {
        names.push_back(fs::path(file).filename().string());
    }
    return names;
}

} // namespace

std::string HeldForests::compiled_bytes(std::uint64_t fingerprint) const {
    return compiled_forests_bytes(file_names(files_), forests_, missing_subtrees_, fingerprint);
}

bool HeldForests::write_compiled(const std::string& path, const std::string& partial,
                                 std::uint64_t fingerprint) const {
    return write_compiled_forests(path, partial, file_names(files_), forests_, missing_subtrees_,
                                  fingerprint);
}

std::size_t HeldForests::bytes() const {
    // Forests of a compiled model lie in its bytes, which count instead of their own lists.
    std::size_t total = forests_.capacity() * sizeof(FlatForest) + storage_bytes_;
    for (const FlatForest& forest : forests_) {
        total += forest.bytes();
    }
    return total;
}

PredictionMatrix HeldForests::predict(const SpectraRows& rows, const RangeScaling& scaling,
                                      bool first_derivative, LoggerSet& log, bool log_files,
                                      const PredictionOptions& options) const {
    if (rows.empty()) {
        throw std::runtime_error("indata is empty");
    }
    const std::size_t count = files_.size();
    log.inner_maximum = static_cast<std::int32_t>(count) - 1;
    std::vector<FileResult> results(count);
    std::atomic<std::size_t> unreadable{count}; // the first compiled forest that is not one
    run_batches(count, thread_count(options, count), [&](std::size_t first, std::size_t last) {
        std::vector<const FlatForest*> batch(last - first, nullptr);
        for (std::size_t i = first; i < last; ++i) {
            if (unread_ && !unread_->read(i, forests_[i])) {
                std::size_t seen = unreadable.load();
                while (i < seen && !unreadable.compare_exchange_weak(seen, i)) {
                }
                continue;
            }
            if (errors_[i]) {
                continue;
            }
            try {
                for (const std::vector<double>& row : rows) {
                    forests_[i].check_row(row.size(), files_[i]);
                }
                batch[i - first] = &forests_[i];
                results[i].values.resize(rows.size());
            } catch (...) {
                results[i].error = std::current_exception();
            }
        }
        evaluate_forests(batch, first, rows, scaling, first_derivative, results);
    });
    if (unread_) {
        const bool sum_holds = unread_->sum_holds();
        unread_.reset();
        if (!sum_holds || unreadable < count) {
            forests_.assign(count, FlatForest());
            throw DamagedCompiledModel(
                !sum_holds ? "damaged (its checksum differs)"
                           : "damaged (the forest of " +
                                 fs::path(files_[unreadable]).filename().string() + ")");
        }
    }
    const std::string separator(45, '=');
    PredictionMatrix matrix;
    matrix.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        log.inner_position = static_cast<std::int32_t>(i);
        if (log_files) {
            for (std::size_t n = 0; n < missing_subtrees_[i]; ++n) {
                VELDRA_LOG(log, Severity::warning) << missing_subtree_notice;
            }
            VELDRA_LOG(log, Severity::debug) << separator;
            VELDRA_LOG(log, Severity::debug) << "FOREST: " << files_[i];
            VELDRA_LOG(log, Severity::debug) << separator;
            VELDRA_LOG(log, Severity::debug) << "Number of predicted values: " << rows.size();
        }
        if (errors_[i]) {
            raise_file_error(errors_[i], files_[i]);
        }
        if (results[i].error) {
            raise_file_error(results[i].error, files_[i]);
        }
        matrix.push_back(std::move(results[i].values));
    }
    return matrix;
}

std::vector<std::string> forest_files(const std::string& forest_path,
                                      const std::string& format_word) {
    std::vector<std::string> files = list_matching_files(forest_path, format_word);
    if (files.empty()) {
        throw std::runtime_error("No files found in '" + forest_path + "' which match '" +
                                 format_word + "'");
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> list_matching_files(const std::string& path,
                                             const std::string& default_pattern) {
    fs::path folder;
    std::string pattern;
    if (fs::is_directory(path)) {
        folder = path;
        pattern = default_pattern;
    } else {
        const fs::path given(path);
        folder = given.parent_path();
        pattern = given.filename().string();
    }
    if (folder.empty()) {
        folder = fs::current_path();
    }
    if (!fs::exists(folder) || !fs::is_directory(folder)) {
        std::ostringstream message;
        message << "Directory `" << folder << "` not exists";
        throw std::runtime_error(message.str());
    }

    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (matches_file_pattern(pattern, entry.path().filename().string())) {
            files.push_back((folder / entry.path().filename()).string());
        }
    }
    return files;
}

} // namespace veldra
