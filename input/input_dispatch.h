#pragma once

#include "input/opus_folder.h"
#include "input/spectra_table.h"
#include "logging/logger_set.h"

#include <string>
#include <vector>

namespace veldra {

// The checks of `read_spectra_input` before anything is read: exactly one input, and an OPUS
// folder or a CSV file that exists.
void check_spectra_input(const std::string& opus_folder, const std::string& csv_file,
                         const SpectraColumns& columns, const std::vector<std::string>& ids);

// The one way a job gets its spectra: exactly one of an OPUS folder, a CSV file or in-memory
// columns (present when both columns and identifiers are non-empty) must be given; it is checked
// to exist and handed to its reader.
// `options` say how an OPUS folder's files name samples and on which axis they are read.
SpectraTable read_spectra_input(LoggerSet& log, const std::string& configuration_path,
                                const std::string& opus_folder, const std::string& csv_file,
                                const SpectraColumns& columns, const std::vector<std::string>& ids,
                                const OpusFolderOptions& options = OpusFolderOptions());

} // namespace veldra
