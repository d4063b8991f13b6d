// Arbitrary bytes as "opus.conf": the wavenumber grid of every machine type is looked up (an
// unknown type with the first file missing, too).
#include "input/opus_folder.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/silence.h"

#include <cmath>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".conf");
    const std::string& path = file.write(data, size);
    const veldra::fuzz::Silence silence;
    for (const char* type : {"htsxt", "alpha_kbr", "alpha_znse", "mpa", "NA"}) {
        try {
            veldra::read_opus_grid(path, type, path + ".missing");
        } catch (const std::exception&) {
        }
    }
    return 0;
}
