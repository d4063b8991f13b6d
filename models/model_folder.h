#pragma once

#include "models/calibration_domain.h"
#include "models/linear_part.h"
#include "models/model_card.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// The files of a model folder, by name: "rgy.txt" (the response range), "sigma.txt" (the error
// spread per draw), "model.json" (the card), "domain.json" (the calibration domain),
// "input_domain.json" (a pipeline model's domain before its pipeline) and the draws
// "MCMC<n>.json".
boost::filesystem::path range_file(const boost::filesystem::path& folder);
boost::filesystem::path sigma_file(const boost::filesystem::path& folder);
std::string draw_file_name(std::size_t draw);                         // "MCMC<draw + 1>.json"
std::string draw_file_pattern(const boost::filesystem::path& folder); // <folder>/MCMC*.json

// Whether a folder entry is one of the files above, or one of the draws ("MCMC*.json").
bool is_model_file(const boost::filesystem::path& path);
bool is_draw_file(const boost::filesystem::path& path);

// What a model folder holds, to be written.
struct ModelContents {
    std::size_t draws = 0;
    std::function<std::string(std::size_t)> forest_document; // the document of draw 0 .. draws-1
    // The compiled model of the draw files once written (given their paths); none, or "", writes
    // none (the first job makes it).
    std::function<std::string(const std::vector<std::string>&)> compiled;
    double range_low = 0.0; // "rgy.txt"
    double range_high = 0.0;
    std::vector<double> sigma; // one per draw, on the fitted scale; empty: no "sigma.txt"
    std::optional<ModelCard> card;
    std::optional<CalibrationDomain> domain;
    // "input_domain.json": the domain of the spectra before a pipeline, on their first
    // derivative, so that distortions a pipeline divides out are still seen.
    std::optional<CalibrationDomain> input_domain;
    std::optional<LinearPart> linear; // "linear.json"
};

// Writes the model into a staging folder beside `folder`, with copies of the lab's own files the
// old folder holds, then swaps the whole folders: the old one is renamed aside, the new one takes
// its name, the old one is removed. A failure or a stop at any moment leaves the old model or the
// new one, never a mixture; a process killed between the two renames leaves the old model under
// ".veldra-old-<process>-<name>", which the next writer beside it puts back. `checkpoint` is
// called before each file, before the replacement and between its two renames; an exception
// from it (a stop request) removes what was staged and leaves the old model as it was.
void write_model_folder(const boost::filesystem::path& folder, const ModelContents& contents,
                        const std::function<void()>& checkpoint = {});

// Tidies a spectrometer folder after runs that ended without finishing: removes their staging
// folders ".veldra-train-<process>-…" (older names without a process: those untouched for an
// hour) and puts back a model renamed aside whose new one never arrived. Returns how many
// staging folders it removed.
std::size_t remove_stale_staging(const boost::filesystem::path& type_folder);

// The largest range file read ("rgy.txt" holds two numbers).
constexpr std::size_t largest_range_bytes = 64u << 10;

// The numbers of a range file in file order, at most two per line, and how many further numbers
// lines held (dropped). A line ends at its first non-number. Raises a message naming the file
// when it is larger than its bound; reads at most the bound, so that a link to an endless device
// is refused rather than read until memory runs out.
struct RangeNumbers {
    std::vector<double> numbers;
    std::size_t dropped = 0;
};
RangeNumbers read_range_numbers(const std::string& path);

// The largest "sigma.txt" read: a line per draw.
constexpr std::size_t largest_sigma_bytes = 16u << 20;

// The error standard deviation of each draw from "sigma.txt" in `folder` (on the fitted scale);
// nothing when the file is absent. Raises a message naming the file when it is larger than its
// bound or holds anything but `draws` finite numbers of at least 0, one per line.
std::optional<std::vector<double>> read_sigma_file(const std::string& folder, std::size_t draws);

} // namespace veldra
