#pragma once

#include "models/calibration_domain.h"
#include "models/linear_part.h"
#include "models/model_card.h"
#include "models/model_digest.h"
#include "models/model_folder.h"
#include "text/platform.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// "Cannot open rangefile '<path>' for reading.", and on a second line why: the model folder does
// not exist (a spectrometer type or property misspelt; names are case-sensitive), or it holds no
// range file.
std::string missing_range_file_message(const std::string& range_path);

// What to read of a model folder besides what every prediction needs.
struct ModelOpening {
    std::string range_file;     // "" is the folder's own "rgy.txt"
    bool error_spreads = false; // "sigma.txt", for the posterior-predictive band
};

// A model folder as prediction takes it: each of its files read once, no read beyond the
// largest size of its kind, and checked on its own, before any job's input is held against it.
struct OpenedModel {
    std::string folder;
    std::optional<ModelCard> card;            // "model.json"; none for a model without a card
    RangeNumbers range;                       // "rgy.txt": at least two numbers
    std::vector<std::string> draw_files;      // "MCMC*.json", in byte order of their paths
    std::vector<std::size_t> draw_of_file;    // the draw each file holds (`draw_indices`)
    std::vector<FileStamp> draw_stamps;       // each draw file's size and time, as listed
    std::optional<std::vector<double>> sigma; // "sigma.txt": a spread per draw file, if read
    std::optional<CalibrationDomain> domain;  // "domain.json"
    // "input_domain.json", for a model with its own preprocessing whose card says it has one.
    std::optional<CalibrationDomain> input_domain;
    std::optional<LinearPart> linear; // "linear.json", for a model of partial least squares
    // The digests of the domain files and the linear part as read and of the draws as listed
    // ("domain", "input_domain", "linear", "draws"; see ModelDigest), so that the check against the
    // card's record is of what the prediction used.
    ModelDigest digests;
};

// Reads and checks the model in `folder`: the card (when there is one), the calibration domains
// its card says the trainer wrote, the range, the draw files (none, or a number or a hole the
// card does not allow, is refused) and, with `error_spreads`, "sigma.txt" against the draws.
// Raises the complete message naming the file at the first problem, in that order.
OpenedModel open_model(const boost::filesystem::path& folder, const ModelOpening& opening = {});

// The compiled model of a folder's draws: "compiled-forests.bin" beside them, or, where the folder
// cannot be written, a file in the user's cache named by a digest of the folder's absolute path
// ("" when the environment names no cache folder). Removing either only costs one slower run.
boost::filesystem::path compiled_model_file(const boost::filesystem::path& folder);
std::string compiled_model_cache_file(const boost::filesystem::path& folder);
// The file a compiled model is written under beside `compiled_path` until complete:
// "<compiled_path>.partial-<process>-<call>", of this process and call alone, so that two
// writers of one model never share one.
std::string compiled_partial_path(const std::string& compiled_path);

// What a compiled model records of the draw files it was made from: their names, sizes and
// modification times (as finely as the file system keeps them). A draw replaced, added,
// removed or rewritten in place changes it.
// `total_bytes`, when given, receives the files' total size.
std::uint64_t draw_files_fingerprint(const std::vector<std::string>& files,
                                     std::uint64_t* total_bytes = nullptr);
// The same from the files' stamps as already taken (`OpenedModel::draw_stamps`).
std::uint64_t draw_files_fingerprint(const std::vector<std::string>& files,
                                     const std::vector<FileStamp>& stamps,
                                     std::uint64_t* total_bytes = nullptr);

// The draw files of a model folder ("MCMC*.json"), as paths, in byte order.
std::vector<std::string> list_draw_files(const boost::filesystem::path& folder);

// At most `largest` + 1 bytes of a file, so that a file grown after its size was checked, or a
// link to an endless device, cannot be read until memory runs out; "" when it cannot be opened.
// The caller refuses a result longer than `largest`.
std::string read_at_most(const std::string& path, std::size_t largest);

} // namespace veldra
