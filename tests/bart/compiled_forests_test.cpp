#include "bart/compiled_forests.h"
#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "bart/forest_prediction.h"
#include "logging/logger_set.h"
#include "tests/reference/reference_prediction.h"
#include "tests/support/temp_dir.h"
#include "tools/model_tree_generator.h"

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <tuple>
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
    // Read from a file, the forests are evaluated in its mapped bytes, which they keep.
    test::TempDir dir;
    ASSERT_TRUE(write_compiled_forests(dir.file("compiled.bin"),
                                       std::string(dir.file("compiled.bin")) + ".partial", bytes));
    std::optional<CompiledForests> mapped =
        read_compiled_forests(dir.file("compiled.bin"), 42, why);
    ASSERT_TRUE(mapped.has_value()) << why;
    const std::vector<double> row = rows(1, 30)[0];
    const double sum = drawn.forests[4].predict(row, true);
    const FlatForest kept = std::move(mapped->forests[4]);
    const std::shared_ptr<const void> storage = mapped->storage;
    mapped.reset();
    EXPECT_EQ(kept.predict(row, true), sum);
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

// The checksum is the same with and without the processor's CRC instructions, for every length
// around the 32-byte steps and the 8-byte words, and a flip of any bit changes it.
TEST(CompiledForests, TheChecksumIsOneValueOnEveryProcessor) {
    std::mt19937_64 random(17);
    std::string bytes(300, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xff);
    }
    for (std::size_t size = 0; size <= bytes.size(); ++size) {
        const std::string_view piece(bytes.data(), size);
        ASSERT_EQ(compiled_checksum(piece, true), compiled_checksum(piece, false)) << size;
    }
    const std::uint64_t whole = compiled_checksum(bytes);
    for (std::size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        std::string flipped = bytes;
        flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
        ASSERT_NE(compiled_checksum(flipped, true), whole) << bit;
        ASSERT_NE(compiled_checksum(flipped, false), whole) << bit;
    }
    EXPECT_NE(compiled_checksum(bytes.substr(0, 299)), compiled_checksum(bytes.substr(0, 298)));
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
    const std::size_t node = 16;                    // the first node: value, slot, left, right
    EXPECT_TRUE(refused(node + 8, 3));              // a slot not a multiple of the lanes
    EXPECT_TRUE(refused(node + 8, 8 * 1000));       // beyond the largest split variable
    EXPECT_TRUE(refused(node + 12, 5));             // a link inside a node
    EXPECT_TRUE(refused(node + 16, 24u * 100000u)); // a link beyond the nodes
    EXPECT_TRUE(refused(node + 20, 1));             // a node's padding not zero
    EXPECT_TRUE(refused(12, 1));                    // the header's padding not zero
    EXPECT_TRUE(refused(4, 0xffffffffu));           // more nodes than bytes
    EXPECT_TRUE(refused(0, 0x80000000u));           // a negative largest split variable
    const std::size_t nodes = static_cast<unsigned char>(good[4]);
    const std::size_t roots = node + nodes * 24;
    EXPECT_TRUE(refused(roots, 7)); // a root inside a node
    EXPECT_TRUE(refused(roots + 3 * 4, static_cast<std::uint32_t>(nodes + 1))); // too deep
    EXPECT_FALSE(refused(roots + 3 * 4, static_cast<std::uint32_t>(nodes)));
}

// A forest read where its bytes lie gives the sums of one copied out of them, and is written
// back as the same bytes; bytes at an address not aligned for a node are copied.
TEST(CompiledForests, AForestIsEvaluatedWhereItsBytesLie) {
    const Drawn drawn(1, 20, 30);
    std::string form;
    drawn.forests[0].append_to(form);
    ASSERT_EQ(form.size() % 8, 0u);
    std::vector<std::uint64_t> aligned(form.size() / 8 + 1);
    std::memcpy(aligned.data(), form.data(), form.size());
    std::string_view in_place(reinterpret_cast<const char*>(aligned.data()), form.size());
    FlatForest borrowed;
    ASSERT_TRUE(borrowed.read_from(in_place, true));
    EXPECT_TRUE(in_place.empty());
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_TRUE(borrowed.borrowed());
#endif
    std::vector<char> unaligned(form.size() + 1);
    std::memcpy(unaligned.data() + 1, form.data(), form.size());
    std::string_view off_by_one(unaligned.data() + 1, form.size());
    FlatForest copied;
    ASSERT_TRUE(copied.read_from(off_by_one, true));
    EXPECT_FALSE(copied.borrowed());
    for (const std::vector<double>& row : rows(40, 30)) {
        EXPECT_EQ(borrowed.predict(row, true), drawn.forests[0].predict(row, true));
        EXPECT_EQ(copied.predict(row, false), drawn.forests[0].predict(row, false));
    }
    std::string again;
    borrowed.append_to(again);
    EXPECT_EQ(again, form);
    // Rebuilt from node lists, it no longer reads the borrowed bytes.
    Forest forest;
    std::mt19937_64 random(5);
    test::read_forest_text(tools::make_forest_document(4, 30, random), forest);
    borrowed.rebuild(forest, "draw");
    EXPECT_FALSE(borrowed.borrowed());
    EXPECT_EQ(borrowed.predict(rows(1, 30)[0], false),
              FlatForest(forest).predict(rows(1, 30)[0], false));
}

// Forests held from a compiled file are read by the first prediction, on its threads: the
// same matrix as forests read whole, on that call and the next; a file whose bytes are not its
// forests (a value changed, which only the checksum tells; a link beyond the nodes, which is
// never followed) predicts nothing and says why.
TEST(CompiledForests, HeldForestsAreReadByTheirFirstPrediction) {
    const Drawn drawn(40, 12, 30);
    const std::string bytes = drawn.bytes();
    test::TempDir dir;
    const std::string path = dir.file("compiled.bin");
    ASSERT_TRUE(write_compiled_forests(path, std::string(path) + ".partial", bytes));
    const SpectraRows block = rows(11, 30);
    const RangeScaling scaling{1.0, 3.0};
    LoggerSet log;
    std::string why;
    const HeldForests whole(*parse_compiled_forests(bytes, 42, why), dir.path().string());
    const PredictionMatrix expected = whole.predict(block, scaling, true, log, false);
    for (const unsigned threads : {1u, 2u}) {
        std::optional<CompiledFile> file = open_compiled_file(path, 42, why);
        ASSERT_TRUE(file.has_value()) << why;
        const HeldForests held(std::move(*file), dir.path().string());
        // The memory held is the file's, read whole, and the forests' places.
        EXPECT_GE(held.bytes(), bytes.size());
        EXPECT_LT(held.bytes(), bytes.size() + 40 * 2 * sizeof(FlatForest));
        EXPECT_EQ(held.predict(block, scaling, true, log, false, PredictionOptions{threads}),
                  expected);
        EXPECT_EQ(held.predict(block, scaling, true, log, false, PredictionOptions{threads}),
                  expected);
    }
    // The first node of the first forest: header, name and notices, the forest's own header.
    const std::size_t node = 48 + 8 + 16 + 8 + 16;
    ASSERT_EQ(bytes.substr(48 + 8, 11), std::string("MCMC1.json\0", 11));
    for (const auto& [at, value, reason] :
         {std::tuple<std::size_t, char, std::string>{node, '\x01', "its checksum differs"},
          {node + 15, '\x7f', "its checksum differs"}}) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ value);
        ASSERT_TRUE(write_compiled_forests(path, std::string(path) + ".partial", damaged));
        std::optional<CompiledFile> file = open_compiled_file(path, 42, why);
        ASSERT_TRUE(file.has_value()) << why;
        const HeldForests held(std::move(*file), dir.path().string());
        try {
            held.predict(block, scaling, true, log, false);
            ADD_FAILURE() << "a damaged file predicted: " << reason;
        } catch (const DamagedCompiledModel& e) {
            EXPECT_EQ(std::string(e.what()), "damaged (" + reason + ")");
        }
    }
}

TEST(CompiledForests, FilesAreWrittenWholeOrNotAtAll) {
    test::TempDir dir;
    const std::string bytes = Drawn(2).bytes(7);
    const std::string path = dir.file("compiled.bin");
    ASSERT_TRUE(write_compiled_forests(path, std::string(path) + ".partial", bytes));
    EXPECT_EQ(test::read_file(path), bytes);
    std::string why;
    EXPECT_TRUE(read_compiled_forests(path, 7, why).has_value()) << why;
    // Written a forest at a time: the same bytes.
    const Drawn drawn(2);
    ASSERT_TRUE(write_compiled_forests(dir.file("pieces.bin"),
                                       std::string(dir.file("pieces.bin")) + ".partial",
                                       drawn.names, drawn.forests, drawn.missing, 7));
    EXPECT_EQ(test::read_file(dir.file("pieces.bin")), bytes);
    boost::filesystem::remove(dir.file("pieces.bin"));
    EXPECT_FALSE(read_compiled_forests(dir.file("absent.bin"), 7, why));
    EXPECT_EQ(why, "absent");
    // A folder in the file's place: nothing is written, nothing is left beside it.
    boost::filesystem::create_directories(dir.file("taken.bin"));
    EXPECT_FALSE(write_compiled_forests(dir.file("taken.bin"),
                                        std::string(dir.file("taken.bin")) + ".partial", bytes));
    std::size_t entries = 0;
    for (boost::filesystem::directory_iterator it(dir.path()), end; it != end; ++it) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

} // namespace
} // namespace veldra
