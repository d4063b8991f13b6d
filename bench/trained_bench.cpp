// A trained model (any model folder) on its own spectra, repeated to 10, 1000 and 10,000
// samples: the literal path (reference reader and evaluator, one forest at a time, the same
// writer), the job reading the draw files alone and reading the compiled model, the descent
// alone (the compiled forests evaluated, nothing read or written), and the job with its summary
// and calibration domain. Prints seconds and ratios and checks that the per-draw files match.
#include "bart/compiled_forests.h"
#include "bart/forest_prediction.h"
#include "bench/command_line.h"
#include "input/csv_reader.h"
#include "input/input_dispatch.h"
#include "job/job_runner.h"
#include "job/prediction_driver.h"
#include "models/model_open.h"
#include "tests/reference/reference_prediction.h"
#include "text/platform.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

namespace {

namespace fs = boost::filesystem;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_all(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The spectra's rows repeated to `samples` rows, named s1, s2, ...
void write_repeated(const std::string& spectra, int samples, const fs::path& out) {
    std::ifstream in(spectra);
    std::string header;
    std::getline(in, header);
    std::vector<std::string> rows;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            rows.push_back(line.substr(line.find(',')));
        }
    }
    if (rows.empty()) {
        throw std::runtime_error("no spectra in " + spectra);
    }
    std::ofstream file(out.string(), std::ios::binary);
    file << header << "\n";
    for (int i = 0; i < samples; ++i) {
        file << "s" << i + 1 << rows[static_cast<std::size_t>(i) % rows.size()] << "\n";
    }
}

struct Pair {
    fs::path models;
    std::string spectrometer;
    std::string property;
    fs::path folder() const { return veldra::model_folder(models, spectrometer, property); }
};

double run_job(const Pair& pair, const fs::path& input, const fs::path& output, bool compiled,
               bool summary) {
    fs::remove_all(output.parent_path());
    fs::create_directories(output.parent_path());
    const std::optional<veldra::ModelCard> card = veldra::read_model_card(pair.folder());
    veldra::JobSettings settings;
    settings.output_path = output.string();
    settings.model_directory = pair.models;
    settings.csv_file = input.string();
    settings.spectrometer_types = {pair.spectrometer};
    settings.soil_properties = {pair.property};
    settings.exponential = card && card->log.value_or(false);
    settings.transformation =
        card ? card->transformation.value_or(settings.transformation) : settings.transformation;
    settings.compiled_models = compiled;
    settings.summary = summary;
    veldra::LoggerSet log;
    veldra::JobProgress progress;
    const Clock::time_point start = Clock::now();
    const veldra::JobOutcome outcome = veldra::run_job(settings, log, progress);
    if (!outcome.ok) {
        throw std::runtime_error(outcome.message);
    }
    return since(start);
}

// The literal path: every document read by the reference reader and evaluated a row at a time,
// then written by the same writer.
double run_literal(const Pair& pair, const fs::path& input, const fs::path& output) {
    fs::remove_all(output.parent_path());
    fs::create_directories(output.parent_path());
    const std::optional<veldra::ModelCard> card = veldra::read_model_card(pair.folder());
    veldra::LoggerSet log;
    const Clock::time_point start = Clock::now();
    const veldra::SpectraTable table =
        veldra::read_spectra_input(log, "", "", input.string(), {}, {});
    const std::vector<double> range =
        veldra::read_range_file(veldra::range_file(pair.folder()).string(), log);
    const bool derive =
        !card || card->transformation.value_or(veldra::Transformation::first_derivative) ==
                     veldra::Transformation::first_derivative;
    const veldra::PredictionMatrix matrix = veldra::test::reference_predict_from_forest_files(
        veldra::draw_file_pattern(pair.folder()), "json", table.rows, {range.at(0), range.at(1)},
        derive, log);
    // A job of one pair writes its file under the output's own name.
    veldra::write_prediction_file(matrix, output.string(), ",", table,
                                  card && card->log.value_or(false), log);
    return since(start);
}

// The descent alone: the compiled forests evaluated on the rows as the job gives them.
double run_descent(const Pair& pair, const fs::path& input) {
    veldra::LoggerSet log;
    const veldra::SpectraTable table =
        veldra::read_spectra_input(log, "", "", input.string(), {}, {});
    const std::vector<std::string> files = veldra::list_draw_files(pair.folder());
    std::string why;
    std::optional<veldra::CompiledForests> compiled =
        veldra::read_compiled_forests(veldra::compiled_model_file(pair.folder()).string(),
                                      veldra::draw_files_fingerprint(files), why);
    if (!compiled) {
        throw std::runtime_error("no compiled model: " + why);
    }
    const veldra::HeldForests held(std::move(*compiled), pair.folder().string());
    const Clock::time_point start = Clock::now();
    held.predict(table.rows, {0.0, 1.0}, true, log, false);
    return since(start);
}

} // namespace

int main(int argc, char** argv) {
    veldra::keep_freed_memory_for_reuse(); // as the programs do
    namespace po = boost::program_options;
    Pair pair;
    std::string models;
    std::string spectra;
    std::vector<int> sample_counts;
    std::string keep;
    po::options_description described("veldra-bench-trained");
    described.add_options()("help", "show this text")("models", po::value(&models)->required(),
                                                      "the model tree holding the trained model")(
        "spectrometer", po::value(&pair.spectrometer)->default_value("mir"),
        "its spectrometer")("property", po::value(&pair.property)->required(), "its property")(
        "spectra", po::value(&spectra)->required(), "a CSV table of spectra the model takes")(
        "samples", po::value(&sample_counts)->multitoken(),
        "sample counts (default 10 1000 10000)")("keep", po::value(&keep),
                                                 "write the inputs and outputs here and keep them");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    pair.models = fs::absolute(models);
    if (sample_counts.empty()) {
        sample_counts = {10, 1000, 10000};
    }
    const fs::path work =
        keep.empty() ? fs::temp_directory_path() / fs::unique_path("veldra-bench-trained-%%%%")
                     : fs::path(keep);
    fs::create_directories(work);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("%8s %10s %9s %11s %7s %10s %13s %9s %6s\n", "samples", "literal s", "draws s",
                "compiled s", "ratio", "descent s", "summary s", "/descent", "same");
    for (const int samples : sample_counts) {
        const fs::path input = work / "input.csv";
        write_repeated(spectra, samples, input);
        const double draws = run_job(pair, input, work / "draws" / "out.csv", false, false);
        run_job(pair, input, work / "compiled" / "out.csv", true, false); // makes it if absent
        const double compiled = run_job(pair, input, work / "compiled" / "out.csv", true, false);
        const double literal =
            samples <= 1000 ? run_literal(pair, input, work / "literal" / "out.csv") : 0.0;
        const double descent = run_descent(pair, input);
        const double summary = run_job(pair, input, work / "summary" / "out.csv", true, true);
        const std::string name = "out.csv";
        const std::string expected = read_all(work / "compiled" / name);
        const bool same = read_all(work / "draws" / name) == expected &&
                          (literal == 0.0 || read_all(work / "literal" / name) == expected) &&
                          read_all(work / "summary" / name) == expected;
        std::printf("%8d %10.2f %9.3f %11.3f %7.1f %10.3f %13.3f %9.2f %6s\n", samples, literal,
                    draws, compiled, literal > 0.0 ? literal / compiled : 0.0, descent, summary,
                    summary / descent, same ? "yes" : "NO");
    }
    if (keep.empty()) {
        fs::remove_all(work);
    }
    std::printf("reproduce: %s --models %s --spectrometer %s --property %s --spectra %s "
                "(literal: reference reader and evaluator, up to 1000 samples; ratio: literal / "
                "compiled; summary: the job with its summary table and calibration domain)\n",
                argv[0], models.c_str(), pair.spectrometer.c_str(), pair.property.c_str(),
                spectra.c_str());
    return 0;
}
