#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace veldra {

// Absolute path of the root of the model files: "opus.conf" and one folder per spectrometer type.
// Below it, one folder per soil property (named by model_property_name) holding "rgy.txt" and
// the "MCMC*.json" documents.
using ModelDirectory = boost::filesystem::path;

// The name of the OPUS configuration in the root of the model files, and its path there: the
// wavenumber grid of each OPUS machine type.
extern const char* const opus_configuration_name; // "opus.conf"
boost::filesystem::path opus_configuration_file(const ModelDirectory& models);

// The spectrometer types a user can choose, in the window's order.
const std::vector<std::string>& spectrometer_types();

// Whether a name can be a lab's own spectrometer: 1 to 64 letters, digits, '-' and '_' (the
// folder of the model tree that holds that instrument's models).
bool is_plain_spectrometer_name(std::string_view name);

// The spectrometers a job takes from the names given: the standard types among them in their
// order, then a lab's own names in the order given, once each. Raises std::invalid_argument for
// a name that is neither.
std::vector<std::string> chosen_spectrometers(const std::vector<std::string>& given);

// The folders of the tree that hold a lab's own instrument's models: plain spectrometer names
// besides the standard types, sorted.
std::vector<std::string> own_spectrometers(const ModelDirectory& models);

// The spectrometer an OPUS folder is read for when a job takes `chosen`: "" when one of them is
// a standard type (the files go onto their machine type's grid), else the first (its own
// section of "opus.conf", or the files' own axes).
std::string own_spectrometer(const std::vector<std::string>& chosen);

// The OPUS machine type (a section of "opus.conf") whose files a spectrometer type's models
// take: mir is "htsxt", mpa "mpa", alphakbr "alpha_kbr", alphaznse "alpha_znse"; "" for others.
std::string opus_machine_type(const std::string& spectrometer_type);

// The seventeen soil properties, in the fixed order in which a job takes them.
const std::vector<std::string>& soil_properties();

// The model folder name of a property as chosen: "Carbon" is "Acidified.Carbon", "N" is
// "Total.Nitrogen", "pH" stays, any other X is "m3." + X. Exact, case-sensitive.
std::string model_property_name(const std::string& property);

// Whether a property name can become a folder name: 1 to 64 letters, digits and the characters
// "._-+", and not "." or "..". Keeps a model inside the model tree whatever a user types.
bool is_plain_property_name(std::string_view property);

// The properties with a model folder for `type` in the tree: the seventeen where their folder
// exists, then those a lab calibrated itself ("m3." + a plain name), sorted by name.
std::vector<std::string> available_properties(const ModelDirectory& models,
                                              const std::string& type);

// The folder of one model: <models>/<type>/<model_property_name(property)>.
boost::filesystem::path model_folder(const ModelDirectory& models, const std::string& type,
                                     const std::string& property);

// What is wrong with a model's draw files (the paths "MCMC*.json" matched), for a model whose card
// says it was written with `card_draws` files: there must be that many, and those named
// MCMC<n>.json must be numbered 1 to D without a gap, so that a lost file never passes unnoticed.
// Without a count every matching file is a draw, whatever its name. "" when nothing is wrong.
std::string draw_files_problem(const std::vector<std::string>& files, const std::string& folder,
                               std::optional<std::size_t> card_draws);

// The draw each file holds, in the order of `files` (the byte order prediction reads them in):
// for files named MCMC1.json to MCMC<D>.json, n - 1 for MCMC<n>.json, so that a file is matched
// with line n of "sigma.txt" and the error draws of draw n, as the trainer wrote and used them;
// for any other names, the files' own positions.
std::vector<std::size_t> draw_indices(const std::vector<std::string>& files);

// How covariates are transformed before the forests see them; a model is used as it was fitted.
enum class Transformation { first_derivative, none };

// "first_der" and "none" as the command lines and model cards spell them, and the window's "no
// transformation"; nothing else.
std::optional<Transformation> transformation_from_text(std::string_view text);

// "first_der" or "none".
const char* transformation_text(Transformation transformation);

} // namespace veldra
