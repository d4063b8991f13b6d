#pragma once

#include <string>
#include <vector>

namespace veldra {

// A file of an OPUS folder that gave no spectrum, and why.
struct DefectiveFile {
    std::string path;
    std::string reason;
};

// The spectra of one input: one identifier and one row of values per sample, in input order.
// Value k of a row is covariate k + 1 of a model.
struct SpectraTable {
    std::vector<std::string> ids;
    std::vector<std::vector<double>> rows;
    // The OPUS machine type whose grid the rows are on ("htsxt", ...); "" for a CSV table.
    std::string machine_type;
    // The covariates' names (a CSV header's, or the OPUS variable names); empty when unknown.
    std::vector<std::string> names;
    // The files of an OPUS folder that could not be used, in folder order.
    std::vector<DefectiveFile> defective;
    // For OPUS files read on their own axes: what the spectra were made from and how many were
    // resampled, one sentence each ("12 files: absorbance."); empty otherwise.
    std::vector<std::string> read_notes;
};

// Spectra held in memory by column: column j, entry i is value j of sample i.
using SpectraColumns = std::vector<std::vector<double>>;

} // namespace veldra
