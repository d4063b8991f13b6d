// Arbitrary bytes as a job's summary file, as the results window reads it back.
#include "job/job_summary.h"

#include <cstdlib>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const veldra::SummaryTable table = veldra::parse_summary(text, "fuzz");
        if (table.rows.size() < table.samples.size() || table.rows.size() < table.pairs.size() ||
            (table.rows.empty() != table.pairs.empty())) {
            std::abort();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
