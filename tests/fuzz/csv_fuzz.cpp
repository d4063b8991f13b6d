// Arbitrary bytes as a CSV table of spectra: the reader either gives a table whose rows all
// have the header's width or raises its message.
#include "input/csv_reader.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".csv");
    const std::string& path = file.write(data, size);
    try {
        const veldra::SpectraTable table = veldra::read_spectra_csv(path);
        const std::vector<std::string> header = veldra::read_csv_header(path);
        if (table.ids.size() != table.rows.size()) {
            std::abort();
        }
        for (const std::vector<double>& row : table.rows) {
            if (row.size() != table.rows.front().size()) {
                std::abort();
            }
        }
        veldra::columns_from_table(table);
    } catch (const std::exception&) {
    }
    return 0;
}
