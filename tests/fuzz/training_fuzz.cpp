// Arbitrary bytes as the trainer's reference-value file and as its folds file, against a fixed
// table of six spectra.
#include "logging/logger_set.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/silence.h"
#include "train/training_set.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

namespace {

// The spectra, and reference values that match them, written once per process.
struct Fixed {
    veldra::fuzz::ScratchFile spectra{".csv"};
    veldra::fuzz::ScratchFile targets{".csv"};
    veldra::TrainingInput input;
    veldra::TrainingSet set;
    Fixed() {
        const std::string table = "SSN,a,b,c\ns1,1,2,3\ns2,2,3,5\ns3,1,1,1\ns4,0,2,4\ns5,3,2,1\n"
                                  "s6,2,2,2\n";
        const std::string values = "SSN,pH\ns1,5.5\ns2,6\ns3,7.25\ns4,4\ns5,8\ns6,6.5\n";
        input.spectra =
            spectra.write(reinterpret_cast<const std::uint8_t*>(table.data()), table.size());
        input.targets =
            targets.write(reinterpret_cast<const std::uint8_t*>(values.data()), values.size());
        input.transformation = veldra::Transformation::none;
        veldra::LoggerSet log;
        set = veldra::load_training_set(input, log);
    }
};

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fixed fixed;
    static const veldra::fuzz::ScratchFile file(".csv");
    const std::string& path = file.write(data, size);
    const veldra::fuzz::Silence silence;
    veldra::LoggerSet log;

    veldra::TrainingInput input = fixed.input;
    input.targets = path;
    for (const bool log_scale : {false, true}) {
        input.log = log_scale;
        try {
            const veldra::TrainingSet set = veldra::load_training_set(input, log);
            check(set.ids.size() == set.rows.size() && set.ids.size() == set.values.size());
            check(set.ids.size() >= 2 && set.ids.size() <= fixed.set.ids.size());
            for (const double value : set.values) {
                check(std::isfinite(value) && (!log_scale || value > 0.0));
            }
        } catch (const std::exception&) {
        }
    }

    try {
        const std::vector<int> folds = veldra::assign_folds(path, 0, 1, fixed.set);
        check(folds.size() == fixed.set.ids.size());
        for (const int fold : folds) {
            check(fold >= 1 && fold <= 1000);
        }
        check(std::adjacent_find(folds.begin(), folds.end(), std::not_equal_to<>()) != folds.end());
    } catch (const std::exception&) {
    }
    return 0;
}
