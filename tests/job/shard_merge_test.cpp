#include "job/shard_merge.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"
#include "text/platform.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

// The manifest of part K of N over samples [first, last] of `total`, listing `files`.
std::string manifest(int k, int n, int first, int last, int total,
                     const std::vector<std::string>& files, const std::string& input = "in.csv") {
    std::string text = "veldra shard manifest 1\nprogram: veldra 1\ninput: " + input +
                       "\nsamples of the input: " + std::to_string(total) +
                       "\nshards: " + std::to_string(n) + "\nshard: " + std::to_string(k) + " of " +
                       std::to_string(n) + "\nsamples: " + std::to_string(first) + " to " +
                       std::to_string(last) + "\n";
    for (const std::string& file : files) {
        text += "file: " + file + "\n";
    }
    return text;
}

// Two parts of five samples: each part's files, and the merged file is the header once, then
// the rows in shard order, byte for byte (a last row without a line end included).
TEST(ShardMerge, JoinsThePartsRowsUnderOneHeader) {
    TempDir dir;
    dir.write("out-shard-1-of-2-manifest.txt",
              manifest(1, 2, 1, 2, 5, {"out-shard-1-of-2.csv", "out-shard-1-of-2-summary.csv"}));
    dir.write("out-shard-2-of-2-manifest.txt",
              manifest(2, 2, 3, 5, 5, {"out-shard-2-of-2.csv", "out-shard-2-of-2-summary.csv"}));
    dir.write("out-shard-1-of-2.csv", "SSN,mean\r\na,1\r\nb,2\r\n");
    dir.write("out-shard-2-of-2.csv", "SSN,mean\r\nc,3\r\nd,4\r\ne,5");
    dir.write("out-shard-1-of-2-summary.csv", "h\n1\n");
    dir.write("out-shard-2-of-2-summary.csv", "h\n2\n");
    const std::vector<std::string> written = merge_shards(dir.file("out.csv"), 2);
    EXPECT_EQ(test::slashes(written), test::slashes(std::vector<std::string>{
                                          dir.file("out.csv"), dir.file("out-summary.csv")}));
    // Byte for byte, line ends included, on every platform.
    std::ifstream merged(native_path(dir.file("out.csv")), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(merged), {}),
              "SSN,mean\r\na,1\r\nb,2\r\nc,3\r\nd,4\r\ne,5");
    EXPECT_EQ(test::read_file(dir.file("out-summary.csv")), "h\n1\n2\n");
    EXPECT_FALSE(fs::exists(dir.file(".out.csv.merging")));
}

// Each refusal names its reason and writes no merged file.
TEST(ShardMerge, RefusesPartsThatDoNotMakeOneRun) {
    const auto refused = [](const std::vector<std::pair<std::string, std::string>>& files) {
        TempDir dir;
        for (const auto& [name, text] : files) {
            dir.write(name, text);
        }
        std::string message;
        try {
            merge_shards(dir.file("out.csv"), 2);
        } catch (const std::exception& e) {
            message = e.what();
        }
        EXPECT_FALSE(fs::exists(dir.file("out.csv"))) << message;
        // The folder's own name in the message is left out.
        message = test::slashes(message);
        const std::string folder = test::slashes(dir.path().string());
        for (std::size_t at; (at = message.find(folder)) != std::string::npos;) {
            message.replace(at, folder.size(), "DIR");
        }
        return message;
    };
    const std::string one = manifest(1, 2, 1, 2, 4, {"out-shard-1-of-2.csv"});
    const std::string two = manifest(2, 2, 3, 4, 4, {"out-shard-2-of-2.csv"});
    const std::pair<std::string, std::string> part_one{"out-shard-1-of-2.csv", "h\na\n"};
    const std::pair<std::string, std::string> part_two{"out-shard-2-of-2.csv", "h\nb\n"};
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one}, part_one}),
              "part 2 of 2 is missing or did not finish: no DIR/out-shard-2-of-2-manifest.txt");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt",
                        manifest(2, 2, 3, 4, 4, {"out-shard-2-of-2.csv"}, "other.csv")},
                       part_one,
                       part_two}),
              "part 2 is not of the same run as part 1:\n< input: in.csv\n> input: other.csv");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt",
                        manifest(2, 2, 4, 4, 4, {"out-shard-2-of-2.csv"})},
                       part_one,
                       part_two}),
              "part 2 starts at sample 4; the parts before it end at sample 2");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt",
                        manifest(2, 2, 3, 3, 4, {"out-shard-2-of-2.csv"})},
                       part_one,
                       part_two}),
              "the parts end at sample 3; the input holds 4");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt", two},
                       {"out-shard-3-of-2-manifest.txt", two},
                       part_one,
                       part_two}),
              "an extra part lies beside the 2 parts: DIR/out-shard-3-of-2-manifest.txt");
    EXPECT_EQ(
        refused({{"out-shard-1-of-2-manifest.txt", one},
                 {"out-shard-2-of-2-manifest.txt",
                  manifest(2, 2, 3, 4, 4, {"out-shard-2-of-2.csv", "out-shard-2-of-2-x.csv"})},
                 part_one,
                 part_two}),
        "part 2 lists other files than part 1");
    EXPECT_EQ(
        refused({{"out-shard-1-of-2-manifest.txt", one},
                 {"out-shard-2-of-2-manifest.txt", manifest(2, 2, 3, 4, 4, {"../elsewhere.csv"})},
                 part_one,
                 part_two}),
        "DIR/out-shard-2-of-2-manifest.txt lists a file not named for its part: "
        "../elsewhere.csv");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt", two},
                       part_one}),
              "missing DIR/out-shard-2-of-2.csv");
    EXPECT_EQ(refused({{"out-shard-1-of-2-manifest.txt", one},
                       {"out-shard-2-of-2-manifest.txt", "veldra shard manifest 2\n"},
                       part_one,
                       part_two}),
              "DIR/out-shard-2-of-2-manifest.txt is not a shard manifest");
    EXPECT_EQ(
        refused({{"out-shard-1-of-2-manifest.txt", one},
                 {"out-shard-2-of-2-manifest.txt", std::string(largest_manifest_bytes + 1, 'x')},
                 part_one,
                 part_two}),
        "DIR/out-shard-2-of-2-manifest.txt is larger than a shard manifest can be");
}

} // namespace
} // namespace veldra
