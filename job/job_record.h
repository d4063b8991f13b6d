#pragma once

#include "input/spectra_table.h"
#include "job/job_settings.h"
#include "job/spectra_preview.h"
#include "models/model_card.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veldra {

// What a report tells of a job besides its summary table: how it was set up, the models with
// their cards, and the files it could not read.
struct JobRecord {
    struct Pair {
        std::string spectrometer_type;
        std::string property;
        std::string folder;
        std::optional<ModelCard> card;
        std::string card_problem; // why a card present could not be read
    };
    bool recorded = false; // false for results opened later from a summary file alone
    std::string version;
    std::string input;      // the CSV file or the OPUS folder
    std::string input_kind; // "CSV file", "OPUS folder" or "spectra in memory"
    std::string models;
    std::string output;
    std::vector<std::string> created;   // the files the job wrote, once it has ended
    std::vector<std::string> set_aside; // an earlier job's files moved aside after a stop
    std::string transformation;         // "first derivative" or "none"
    bool exponential = true;
    std::string shard; // "K of N", or ""
    // "95%, 68%": the levels of the calibrated intervals; "Carbon ±0.3, pH ±0.5": the
    // tolerances of the decisions ("" for none).
    std::string levels;
    std::string tolerances;
    std::vector<Pair> pairs;
    std::vector<DefectiveFile> defective;
    std::shared_ptr<const SpectraPreview> spectra; // what the job read, when it was kept
};

// The record of a job about to run with these settings (before it clears their input), with
// the cards of its model folders.
JobRecord job_record(const JobSettings& settings, const std::string& version);

// What a report says of a pair's model: its validation figures (and its own preprocessing),
// "demonstration model" or "no validation record".
std::string model_card_text(const JobRecord::Pair& pair);

} // namespace veldra
