#include "job/spectra_blocks.h"

#include "models/model_card.h"
#include "models/model_layout.h"
#include "text/number_text.h"

#include "input/input_dispatch.h"
#include "input/opus_folder.h"
#include "job/job_runner.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

std::size_t default_block_samples(std::size_t covariates) {
    return std::clamp<std::size_t>(block_bytes /
                                       (sizeof(double) * std::max<std::size_t>(covariates, 1)),
                                   smallest_block, largest_block);
}

namespace {

// How the job reads an OPUS folder: a lab's own spectrometer whose files lie on their own axes
// goes straight onto its models' wavenumbers when every model of the job has the same ones, so
// that no spectrum is resampled twice; points without a value refuse a file there.
OpusFolderOptions folder_options(const JobSettings& settings) {
    OpusFolderOptions options(SampleNaming(settings.sample_id),
                              own_spectrometer(settings.spectrometer_types));
    if (options.spectrometer.empty()) {
        return options;
    }
    std::optional<std::vector<std::string>> shared;
    for (const std::string& property : settings.soil_properties) {
        std::optional<ModelCard> card;
        try {
            card = read_model_card(
                model_folder(settings.model_directory, options.spectrometer, property));
        } catch (const std::exception&) {
            return options; // the pair refuses its card with the message of its own
        }
        const std::optional<std::vector<double>> axis =
            card ? wavenumbers_of(card->covariate_names) : std::nullopt;
        if (!axis || axis->empty() || (shared && !same_axis(*wavenumbers_of(*shared), *axis))) {
            return options;
        }
        shared = card->covariate_names;
    }
    if (shared) {
        options.axis_names = *shared;
    }
    return options;
}

} // namespace

SpectraBlocks::SpectraBlocks(const JobSettings& settings, LoggerSet& log) {
    const bool opus = !settings.opus_folder.empty();
    const bool csv = !settings.csv_file.empty();
    const bool memory = !settings.columns.empty() && !settings.ids.empty();
    if (opus && !csv && !memory) {
        check_spectra_input(settings.opus_folder, "", {}, {});
        opus_folder_ = settings.opus_folder;
        opus_.emplace(settings.opus_configuration_path, settings.opus_folder, log,
                      folder_options(settings));
        width_ = opus_->width();
        samples_ = opus_->groups();
        input_samples_ = samples_;
        if (settings.shards > 0) {
            const auto [first, last] = shard_range(samples_, settings.shard, settings.shards);
            opus_->keep_groups(first, last);
            samples_ = last - first;
            first_sample_ = first;
        }
        return;
    }
    // A CSV file is counted, then read: a pipe, which can be read only once, is read whole.
    boost::system::error_code error;
    if (csv && !opus && !memory && boost::filesystem::is_regular_file(settings.csv_file, error)) {
        // The checks and messages of reading the file whole, without holding it.
        check_spectra_input("", settings.csv_file, {}, {});
        csv_.emplace(settings.csv_file, settings.threads);
        width_ = csv_->width();
        table_.names = csv_->names();
        samples_ = csv_->count_samples();
        if (samples_ == 0) {
            csv_->read(table_, 1); // raises the reader's message of a file without samples
        }
        input_samples_ = samples_;
        if (settings.shards > 0) {
            const auto [first, last] = shard_range(samples_, settings.shard, settings.shards);
            csv_->skip(first);
            samples_ = last - first;
            first_sample_ = first;
        }
        return;
    }
    table_ = read_spectra_input(log, settings.opus_configuration_path, settings.opus_folder,
                                settings.csv_file, settings.columns, settings.ids,
                                SampleNaming(settings.sample_id));
    input_samples_ = table_.rows.size();
    if (settings.shards > 0) {
        first_sample_ = shard_range(input_samples_, settings.shard, settings.shards).first;
        table_ = shard_of(std::move(table_), settings.shard, settings.shards);
    }
    samples_ = table_.rows.size();
    width_ = table_.rows.empty() ? 0 : table_.rows.front().size();
}

std::string SpectraBlocks::no_spectrum_message() const {
    if (!opus_folder_.empty()) {
        return veldra::no_spectrum_message(opus_folder_, defective());
    }
    return "No spectrum to predict: the input holds no sample.";
}

bool SpectraBlocks::next(SpectraTable& block, std::size_t count, LoggerSet& log) {
    if (opus_) {
        const std::size_t read = opus_->read(block, count, log);
        defective_ = block.defective;
        position_ += read;
        return read > 0;
    }
    block.machine_type = table_.machine_type;
    if (block.names.empty()) {
        block.names = table_.names;
    }
    count = std::min(count, samples_ - position_);
    if (csv_) {
        if (count == 0) {
            // The reader's own check of a file without any sample.
            csv_->read(block, 0);
            return false;
        }
        const std::size_t read = csv_->read(block, count);
        position_ += read;
        return read > 0;
    }
    block.ids.assign(std::make_move_iterator(table_.ids.begin() + position_),
                     std::make_move_iterator(table_.ids.begin() + position_ + count));
    block.rows.assign(std::make_move_iterator(table_.rows.begin() + position_),
                      std::make_move_iterator(table_.rows.begin() + position_ + count));
    position_ += count;
    return count > 0;
}

bool SpectraBlocks::exhausted() const {
    return opus_ ? opus_->done() : position_ >= samples_;
}

} // namespace veldra
