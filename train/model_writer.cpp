#include "train/model_writer.h"

#include "models/model_folder.h"
#include "models/model_open.h"
#include "train/fit_export.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include <boost/filesystem/operations.hpp>

namespace veldra {

std::optional<std::time_t> source_date_epoch() {
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed == nullptr) {
        return std::nullopt;
    }
    long long seconds = 0;
    const char* end = fixed + std::strlen(fixed);
    if (std::from_chars(fixed, end, seconds).ptr != end || fixed == end) {
        return std::nullopt;
    }
    return static_cast<std::time_t>(seconds);
}

void write_model(const boost::filesystem::path& folder, const BartFit& fit, const ModelCard& card,
                 const std::function<void()>& checkpoint,
                 const std::optional<CalibrationDomain>& domain,
                 const std::optional<CalibrationDomain>& input_domain,
                 const std::optional<LinearPart>& linear) {
    refuse_non_finite(fit);
    ModelContents contents;
    contents.draws = fit.forests.size();
    contents.forest_document = [&fit](std::size_t d) {
        return forest_document(fit.forests[d], fit.grid);
    };
    // Read back as prediction reads the files, so that the first job need not.
    contents.compiled = [](const std::vector<std::string>& files) {
        if (const std::optional<std::time_t> fixed = source_date_epoch()) {
            // The compiled model records the files' times.
            for (const std::string& file : files) {
                boost::filesystem::last_write_time(file, *fixed);
            }
        }
        const HeldForests held(files);
        return held.complete() ? held.compiled_bytes(draw_files_fingerprint(files)) : std::string();
    };
    contents.range_low = fit.y_min;
    contents.range_high = fit.y_max;
    for (const double s : fit.sigma) {
        contents.sigma.push_back(s * (fit.y_max - fit.y_min));
    }
    contents.card = card;
    contents.domain = domain;
    contents.input_domain = input_domain;
    contents.linear = linear;
    write_model_folder(folder, contents, checkpoint);
}

} // namespace veldra
