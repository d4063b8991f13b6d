#include "job/job_record.h"

#include "models/model_layout.h"
#include "text/number_text.h"

#include <charconv>
#include <stdexcept>

namespace veldra {

JobRecord job_record(const JobSettings& settings, const std::string& version) {
    JobRecord record;
    record.recorded = true;
    record.version = version;
    if (!settings.opus_folder.empty()) {
        record.input = settings.opus_folder;
        record.input_kind = "OPUS folder";
    } else if (!settings.csv_file.empty()) {
        record.input = settings.csv_file;
        record.input_kind = "CSV file";
    } else {
        record.input_kind = "spectra in memory";
    }
    record.models = settings.model_directory.string();
    record.output = settings.output_path;
    record.transformation =
        settings.transformation == Transformation::first_derivative ? "first derivative" : "none";
    record.exponential = settings.exponential;
    const auto number = [](double value) {
        char text[32];
        return std::string(
            text,
            std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6).ptr);
    };
    for (const double level : settings.levels) {
        record.levels += (record.levels.empty() ? "" : ", ") + number(100.0 * level) + "%";
    }
    for (const auto& [property, half_width] : settings.tolerances) {
        record.tolerances +=
            (record.tolerances.empty() ? "" : ", ") + property + " ±" + number(half_width);
    }
    if (settings.shards > 0) {
        record.shard = std::to_string(settings.shard) + " of " + std::to_string(settings.shards);
    }
    for (const std::string& type : settings.spectrometer_types) {
        for (const std::string& property : settings.soil_properties) {
            JobRecord::Pair pair;
            pair.spectrometer_type = type;
            pair.property = property;
            pair.folder = model_folder(settings.model_directory, type, property).string();
            try {
                pair.card = read_model_card(pair.folder);
            } catch (const std::exception& e) {
                pair.card_problem = e.what();
            }
            record.pairs.push_back(std::move(pair));
        }
    }
    return record;
}

std::string model_card_text(const JobRecord::Pair& pair) {
    if (!pair.card_problem.empty()) {
        return "card unreadable: " + pair.card_problem;
    }
    if (!pair.card) {
        return "no validation record";
    }
    const ModelCard& card = *pair.card;
    if (card.demonstration) {
        return "demonstration model";
    }
    std::string method;
    if (card.method == "pls") {
        method =
            "; method pls (" + std::to_string(card.pls_components.value_or(0)) + " components)";
    } else if (card.method == "blend") {
        method = "; method blend (forests' weight " +
                 shortest_text(card.forest_weight.value_or(0.0)) + ", PLS " +
                 std::to_string(card.pls_components.value_or(0)) + " components)";
    }
    return card_figures(card) +
           (card.preprocessing.empty() ? std::string() : "; preprocessing " + card.preprocessing) +
           method;
}

} // namespace veldra
