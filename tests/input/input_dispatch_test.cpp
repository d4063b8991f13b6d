#include "input/input_dispatch.h"

#include "tests/support/temp_dir.h"
#include "tools/opus_writer.h"

#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

std::string dispatch_error(const std::string& opus, const std::string& csv,
                           const SpectraColumns& columns = {},
                           const std::vector<std::string>& ids = {}) {
    LoggerSet log;
    try {
        read_spectra_input(log, "", opus, csv, columns, ids);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(InputDispatch, ExactlyOneInputMustBeGivenAndExist) {
    TempDir dir;
    const std::string csv = dir.write("in.csv", "SSN,a\ns1,1\n");
    EXPECT_EQ(dispatch_error("", ""), "ERROR: Please provide one and only one input file");
    EXPECT_EQ(dispatch_error("scans/", csv),
              "Opus file: scans/\nCSV file: " + csv +
                  "\nERROR: Please provide one and only one input file");
    EXPECT_EQ(dispatch_error("", csv, {{1.0}}, {"s1"}),
              "CSV file: " + csv + "\nERROR: Please provide one and only one input file");
    // Identifiers without columns are no in-memory input.
    EXPECT_EQ(dispatch_error("", "", {}, {"s1"}),
              "ERROR: Please provide one and only one input file");
    EXPECT_EQ(dispatch_error("", dir.file("none.csv")),
              "Cannot open csv '" + dir.file("none.csv") + "' for reading.");
    EXPECT_EQ(dispatch_error(dir.file("none") + "/", ""),
              "Cannot open opus '" + dir.file("none") + "/' for reading.");
    // The readers' own errors pass unchanged.
    EXPECT_EQ(dispatch_error("", dir.write("bad.csv", "SSN\n")),
              "Expected at least one column of doubles in csv file: " + dir.file("bad.csv"));
}

TEST(InputDispatch, HandsEachInputToItsReader) {
    TempDir dir;
    LoggerSet log;
    const SpectraTable from_csv =
        read_spectra_input(log, "", "", dir.write("in.csv", "SSN,a,b\ns1,1,2\n"), {}, {});
    EXPECT_EQ(from_csv.rows, (std::vector<std::vector<double>>{{1, 2}}));

    const SpectraTable from_memory =
        read_spectra_input(log, "", "", "", {{1, 2}, {3, 4}}, {"x", "y"});
    EXPECT_EQ(from_memory.ids, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(from_memory.rows, (std::vector<std::vector<double>>{{1, 3}, {2, 4}}));

    // An OPUS "folder" naming a plain file passes the check; the import reads that one file.
    tools::AbsorbanceFileOptions options;
    options.values = {4.0f, 3.9f, 3.8f, 3.7f, 3.6f};
    const std::string file =
        dir.write("scans/soil.0", tools::opus_file(tools::absorbance_blocks(options)));
    const std::string conf =
        dir.write("opus.conf", "[htsxt]\nstart_wn = 4000\nend_wn = 3600\nnum_wn = 5\n");
    const SpectraTable from_opus = read_spectra_input(log, conf, file, "", {}, {});
    EXPECT_EQ(from_opus.ids, std::vector<std::string>{"soil"});
    ASSERT_EQ(from_opus.rows.size(), 1u);
    EXPECT_NEAR(from_opus.rows[0][2], 3.8, 1e-6);
}

} // namespace
} // namespace veldra
