#include "input/input_dispatch.h"

#include "input/csv_reader.h"
#include "input/opus_folder.h"

#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

void check_spectra_input(const std::string& opus_folder, const std::string& csv_file,
                         const SpectraColumns& columns, const std::vector<std::string>& ids) {
    const bool has_opus = !opus_folder.empty();
    const bool has_csv = !csv_file.empty();
    const bool has_memory = !ids.empty() && !columns.empty();
    if (int{has_opus} + int{has_csv} + int{has_memory} != 1) {
        std::string message;
        if (has_opus) {
            message += "Opus file: " + opus_folder + "\n";
        }
        if (has_csv) {
            message += "CSV file: " + csv_file + "\n";
        }
        throw std::runtime_error(message + "ERROR: Please provide one and only one input file");
    }
    if (has_opus) {
        boost::system::error_code error;
        const boost::filesystem::file_status status = boost::filesystem::status(opus_folder, error);
        if (error || status.type() == boost::filesystem::file_not_found) {
            throw std::runtime_error("Cannot open opus '" + opus_folder + "' for reading.");
        }
    }
    if (has_csv) {
        boost::system::error_code error;
        if (!boost::filesystem::exists(csv_file, error)) {
            throw std::runtime_error("Cannot open csv '" + csv_file + "' for reading.");
        }
    }
}

SpectraTable read_spectra_input(LoggerSet& log, const std::string& configuration_path,
                                const std::string& opus_folder, const std::string& csv_file,
                                const SpectraColumns& columns, const std::vector<std::string>& ids,
                                const OpusFolderOptions& options) {
    check_spectra_input(opus_folder, csv_file, columns, ids);
    if (!opus_folder.empty()) {
        SpectraTable table;
        return import_opus_folder(table, configuration_path, opus_folder, log, nullptr, options);
    }
    if (!csv_file.empty()) {
        return read_spectra_csv(csv_file);
    }
    return table_from_columns(columns, ids);
}

} // namespace veldra
