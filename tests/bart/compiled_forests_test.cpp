#include "bart/compiled_forests.h"
#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "tests/reference/reference_prediction.h"
#include "tests/support/temp_dir.h"
#include "tools/model_tree_generator.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// Forests drawn from the tree prior, as a model's draws give them.
struct Drawn {
    std::vector<std::string> names;
    std::vector<FlatForest> forests;
    std::vector<std::size_t> missing;
    explicit Drawn(int draws, int trees = 12, int covariates = 30) {
        std::mt19937_64 random(9);
        for (int d = 0; d < draws; ++d) {
            Forest forest;
            test::read_forest_text(tools::make_forest_document(trees, covariates, random), forest);
            forests.emplace_back(forest, "draw");
            names.push_back("MCMC" + std::to_string(d + 1) + ".json");
            missing.push_back(static_cast<std::size_t>(d % 2));
        }
    }
    std::string bytes(std::uint64_t fingerprint = 42) const {
        return compiled_forests_bytes(names, forests, missing, fingerprint);
    }
};

std::vector<std::vector<double>> rows(std::size_t count, std::size_t width) {
    std::mt19937_64 random(3);
    std::normal_distribution<double> spread(0.0, 0.01);
    std::vector<std::vector<double>> out(count, std::vector<double>(width));
    for (std::vector<double>& row : out) {
        for (double& value : row) {
            value = spread(random);
        }
    }
    return out;
}

// A compiled model gives back every forest exactly: the same sums, bit for bit, the same names
// and notices, and the same bytes when written again.
TEST(CompiledForests, GiveBackEveryForestExactly) {
    const Drawn drawn(5);
    const std::string bytes = drawn.bytes();
    std::string why;
    const std::optional<CompiledForests> compiled = parse_compiled_forests(bytes, 42, why);
    ASSERT_TRUE(compiled.has_value()) << why;
    EXPECT_EQ(compiled->names, drawn.names);
    EXPECT_EQ(compiled->missing_subtrees, drawn.missing);
    ASSERT_EQ(compiled->forests.size(), 5u);
    for (const std::vector<double>& row : rows(40, 30)) {
        for (std::size_t d = 0; d < 5; ++d) {
            EXPECT_EQ(compiled->forests[d].predict(row, true), drawn.forests[d].predict(row, true));
            EXPECT_EQ(compiled->forests[d].predict(row, false),
                      drawn.forests[d].predict(row, false));
        }
    }
    EXPECT_EQ(
        compiled_forests_bytes(compiled->names, compiled->forests, compiled->missing_subtrees, 42),
        bytes);
    EXPECT_EQ(compiled->forests[2].largest_split_variable(),
              drawn.forests[2].largest_split_variable());
}

// Bytes of other draws, another format, a cut or a changed byte anywhere are refused with the
// reason, never read as forests.
TEST(CompiledForests, OtherDrawsAndDamagedBytesAreRefused) {
    const std::string bytes = Drawn(2, 4, 8).bytes();
    std::string why;
    EXPECT_FALSE(parse_compiled_forests(bytes, 43, why));
    EXPECT_EQ(why, "made from other draw files");
    EXPECT_FALSE(parse_compiled_forests("{\"Tree\":1}", 42, why));
    EXPECT_EQ(why, "not a compiled model of this version");
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        EXPECT_FALSE(parse_compiled_forests(bytes.substr(0, size), 42, why)) << size;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x10);
        EXPECT_FALSE(parse_compiled_forests(changed, 42, why)) << at;
    }
    std::string changed = bytes;
    changed[bytes.size() / 2] = static_cast<char>(changed[bytes.size() / 2] ^ 1);
    parse_compiled_forests(changed, 42, why);
    EXPECT_EQ(why, "damaged (its checksum differs)");
}

// Whatever the bytes, a forest read from them never leads evaluation outside itself: every link,
// slot, root and depth is checked.
TEST(CompiledForests, AForestsLinksSlotsAndDepthsAreChecked) {
    const Drawn drawn(1, 3, 6);
    std::string good;
    drawn.forests[0].append_to(good);
    FlatForest forest;
    std::string_view view = good;
    ASSERT_TRUE(forest.read_from(view));
    EXPECT_TRUE(view.empty());
    const auto refused = [&](std::size_t at, std::uint32_t value) {
        std::string bytes = good;
        for (int k = 0; k < 4; ++k) {
            bytes[at + static_cast<std::size_t>(k)] = static_cast<char>((value >> (8 * k)) & 0xff);
        }
        std::string_view rest = bytes;
        FlatForest read;
        return !read.read_from(rest);
    };
    const std::size_t node = 12;                    // the first node: value, slot, left, right
    EXPECT_TRUE(refused(node + 8, 3));              // a slot not a multiple of the lanes
    EXPECT_TRUE(refused(node + 8, 8 * 1000));       // beyond the largest split variable
    EXPECT_TRUE(refused(node + 12, 5));             // a link inside a node
    EXPECT_TRUE(refused(node + 16, 24u * 100000u)); // a link beyond the nodes
    EXPECT_TRUE(refused(4, 0xffffffffu));           // more nodes than bytes
    EXPECT_TRUE(refused(0, 0x80000000u));           // a negative largest split variable
    const std::size_t nodes = static_cast<unsigned char>(good[4]);
    const std::size_t roots = node + nodes * 20;
    EXPECT_TRUE(refused(roots, 7)); // a root inside a node
    EXPECT_TRUE(refused(roots + 3 * 4, static_cast<std::uint32_t>(nodes + 1))); // too deep
    EXPECT_FALSE(refused(roots + 3 * 4, static_cast<std::uint32_t>(nodes)));
}

TEST(CompiledForests, FilesAreWrittenWholeOrNotAtAll) {
    test::TempDir dir;
    const std::string bytes = Drawn(2).bytes(7);
    const std::string path = dir.file("compiled.bin");
    ASSERT_TRUE(write_compiled_forests(path, bytes));
    EXPECT_EQ(test::read_file(path), bytes);
    std::string why;
    EXPECT_TRUE(read_compiled_forests(path, 7, why).has_value()) << why;
    EXPECT_FALSE(read_compiled_forests(dir.file("absent.bin"), 7, why));
    EXPECT_EQ(why, "absent");
    // A folder in the file's place: nothing is written, nothing is left beside it.
    boost::filesystem::create_directories(dir.file("taken.bin"));
    EXPECT_FALSE(write_compiled_forests(dir.file("taken.bin"), bytes));
    std::size_t entries = 0;
    for (boost::filesystem::directory_iterator it(dir.path()), end; it != end; ++it) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

} // namespace
} // namespace veldra
