// Arbitrary bytes as a CSV table of spectra: the reader either gives a table whose rows all
// have the header's width or raises its message, and gives the same table or message whether
// it reads the file whole on several threads or a megabyte at a time on one.
#include "input/csv_reader.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

// The table read in blocks of 3 samples, or the message raised.
std::string read_in_blocks(const std::string& path, unsigned threads, std::uint64_t whole_bytes,
                           veldra::SpectraTable& table) {
    try {
        veldra::CsvSpectraReader reader(path, threads, whole_bytes);
        veldra::SpectraTable block;
        while (reader.read(block, 3) > 0) {
            table.ids.insert(table.ids.end(), block.ids.begin(), block.ids.end());
            table.rows.insert(table.rows.end(), block.rows.begin(), block.rows.end());
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return std::string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".csv");
    const std::string& path = file.write(data, size);
    veldra::SpectraTable whole;
    veldra::SpectraTable streamed;
    if (read_in_blocks(path, 2, std::uint64_t{1} << 30, whole) !=
            read_in_blocks(path, 1, 0, streamed) ||
        whole.ids != streamed.ids || whole.rows.size() != streamed.rows.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < whole.rows.size(); ++i) {
        // Bit for bit, NaN included.
        if (whole.rows[i].size() != streamed.rows[i].size() ||
            (!whole.rows[i].empty() && std::memcmp(whole.rows[i].data(), streamed.rows[i].data(),
                                                   whole.rows[i].size() * sizeof(double)) != 0)) {
            std::abort();
        }
    }
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
