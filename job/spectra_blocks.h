#pragma once

#include "input/csv_reader.h"
#include "input/opus_folder.h"
#include "input/spectra_table.h"
#include "job/job_settings.h"
#include "logging/logger_set.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// The most memory one block of input rows takes: a block holds
// clamp(block_bytes / (8 x covariates), smallest_block, largest_block) samples (1172 of 3578
// covariates), so that a block's rows and its predictions (draws x samples numbers per pair)
// stay a few tens of megabytes whatever the input's size.
constexpr std::size_t block_bytes = std::size_t{32} << 20;
constexpr std::size_t smallest_block = 256;
constexpr std::size_t largest_block = 4096;

// The samples of one block for rows of `covariates` values, by the rule above.
std::size_t default_block_samples(std::size_t covariates);

// The input of a job handed out a block of samples at a time, in input order. A CSV file and an
// OPUS folder are read block by block and never held whole (a pipe is read whole); in-memory
// columns are taken as they are, and their rows are handed out by moving them, not copied.
class SpectraBlocks {
public:
    // Opens the input of the settings (exactly one of an OPUS folder, a CSV file or columns)
    // and keeps part `shard` of `shards` contiguous parts of its samples (0 of 0: all), with the
    // messages of `shard_of`. Errors of the input before its first sample are raised here.
    SpectraBlocks(const JobSettings& settings, LoggerSet& log);

    // Samples handed out in all; for an OPUS folder, the groups of replicates, each a sample
    // unless every file of it is defective.
    std::size_t samples() const { return samples_; }
    // Where they lie in the whole input: the first one's position and the input's count.
    std::size_t first_sample() const { return first_sample_; }
    std::size_t input_samples() const { return input_samples_; }
    // Values per sample.
    std::size_t width() const { return width_; }

    // Replaces the block's samples with the next at most `count` ones; false when none is
    // left. The machine type and the covariates' names are set in every block.
    bool next(SpectraTable& block, std::size_t count, LoggerSet& log);
    // Whether no sample is left after those handed out.
    bool exhausted() const;

    // Why no sample came from the input: for an OPUS folder, its files' reasons.
    std::string no_spectrum_message() const;

    // The files of an OPUS folder that gave no spectrum so far, and why.
    const std::vector<DefectiveFile>& defective() const {
        return opus_ ? defective_ : table_.defective;
    }

private:
    std::optional<CsvSpectraReader> csv_;
    std::optional<OpusFolderReader> opus_;
    std::vector<DefectiveFile> defective_;
    std::string opus_folder_; // "" for other input
    SpectraTable table_;      // a whole OPUS folder or the columns; rows handed out are moved away
    std::size_t position_ = 0;
    std::size_t samples_ = 0;
    std::size_t first_sample_ = 0;
    std::size_t input_samples_ = 0;
    std::size_t width_ = 0;
};

} // namespace veldra
