// Arbitrary bytes as a range file (the two numbers that scale a forest sum back).
#include "job/prediction_driver.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/silence.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".txt");
    const std::string& path = file.write(data, size);
    const veldra::fuzz::Silence silence;
    veldra::LoggerSet log;
    try {
        veldra::read_range_file(path, log);
    } catch (const std::exception&) {
    }
    return 0;
}
