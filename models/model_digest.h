#pragma once

#include "models/model_card.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veldra {

// What a card records of the files and settings that shape its model's predictions, each as a
// 64-bit digest in hexadecimal: "card" (the card's own pipeline, references, covariates,
// transformation, back-transformation, interval calibration and domains), "draws" (the draw
// files' names and sizes: cheap, and a changed forest almost always changes its size), "range",
// "sigma", "domain" and "input_domain" (the files' bytes). A model written by the trainer
// carries them (`ModelCard::digest`); a prediction compares them before it uses the model.
using ModelDigest = std::map<std::string, std::string>;

// The digest of a card's shaping fields, from the card's JSON text (what `parse_model_card`
// records as `ModelCard::shaping_digest`); "" for text that is not a JSON object.
std::string card_shaping_digest(const std::string& card_text);

// The digest of bytes as a file of the model is digested.
std::string bytes_digest(std::string_view bytes);

// The digest of a model's draw files from their names and sizes, in any order ("draws").
std::string draws_digest(std::vector<std::pair<std::string, std::uintmax_t>> names_and_sizes);

// The digests of the files of the model in `folder` (without "card"); the keys of `known` (the
// digests of the bytes a reader already took) are taken from there instead of read again.
ModelDigest model_files_digest(const boost::filesystem::path& folder,
                               const ModelDigest& known = {});

// One digest of the model in `folder` as it stands: its card's bytes and the digests of its
// files (`model_files_digest`). Two folders with the same identity predict alike; a process
// that receives a model by its path checks that it is the one the sender had.
std::string model_identity(const boost::filesystem::path& folder);

// What of the model in `folder` differs from what its card recorded, in a lab's words ("the
// card's pipeline, references, covariates or calibration", "the draw files", "sigma.txt", ...);
// empty when nothing does, or when the card recorded nothing (an earlier version's). `known` as
// above: what was checked is then the bytes the reader used.
std::vector<std::string> model_changes(const boost::filesystem::path& folder, const ModelCard& card,
                                       const ModelDigest& known = {});

} // namespace veldra
