// Replays inputs through a fuzz target without libFuzzer: every file named on the command line,
// and every regular file below every folder named, in sorted order. Used by builds whose
// compiler has no libFuzzer and by the test command to replay the corpora.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = boost::filesystem;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (fs::is_directory(path)) {
            for (fs::recursive_directory_iterator it(path), end; it != end; ++it) {
                if (fs::is_regular_file(it->status())) {
                    inputs.push_back(it->path().string());
                }
            }
        } else if (fs::is_regular_file(path)) {
            inputs.push_back(path.string());
        } else {
            std::cerr << "not found: " << path.string() << "\n";
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const std::string& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::cout << "replayed " << inputs.size() << " inputs\n";
    return inputs.empty() ? 1 : 0;
}
