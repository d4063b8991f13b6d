#include "text/placed_file.h"
#include "text/platform.h"

#include "tests/support/temp_dir.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

// A file is read whole, byte for byte, whatever its size around the large pages its memory is
// made of and the two halves a large one is read in; memory let go and taken again for the next
// file holds that file's bytes. What is not a regular file of at most the bound is refused.
TEST(WholeFile, ReadsEveryByteOrRefusesWithTheReason) {
    test::TempDir dir;
    const std::size_t large_page = std::size_t{2} << 20;
    for (const std::size_t size : {std::size_t{1}, std::size_t{4097}, large_page - 1, large_page,
                                   large_page + 1, 3 * large_page + 12345, large_page + 7}) {
        const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
        const std::string path = dir.write("file.bin", bytes);
        std::string why;
        const std::unique_ptr<WholeFile> whole = WholeFile::read(path, size, why);
        ASSERT_TRUE(whole) << size << ": " << why;
        ASSERT_EQ(whole->size(), size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(whole->data()) % 4096, 0u);
        EXPECT_TRUE(std::string(whole->data(), whole->size()) == bytes) << size;
    }
    std::string why;
    EXPECT_FALSE(WholeFile::read(dir.write("big.bin", std::string(100, 'x')), 99, why));
    EXPECT_EQ(why, "larger than its bound");
    EXPECT_FALSE(WholeFile::read(dir.file("absent.bin"), 100, why));
    EXPECT_EQ(why, "absent");
    EXPECT_FALSE(WholeFile::read(dir.write("empty.bin", ""), 100, why));
    EXPECT_EQ(why, "absent");
    EXPECT_FALSE(WholeFile::read(dir.path().string(), 100, why));
    EXPECT_EQ(why, "absent");
}

// The stamps of files name their sizes and change with their modification time; a name that is
// not there is not found. A thousand files are stamped on two threads in their order.
TEST(FileStamps, GiveEachFilesSizeAndTimeInOrder) {
    test::TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) {
        names.push_back("f" + std::to_string(i) + ".json");
        dir.write(names.back(), std::string(static_cast<std::size_t>(i % 37), 'a'));
    }
    names.push_back("absent.json");
    const std::vector<FileStamp> stamps = file_stamps(dir.path().string(), names);
    ASSERT_EQ(stamps.size(), names.size());
    for (std::size_t i = 0; i < 1000; ++i) {
        ASSERT_TRUE(stamps[i].found) << names[i];
        ASSERT_EQ(stamps[i].size, i % 37) << names[i];
    }
    EXPECT_FALSE(stamps.back().found);
    EXPECT_EQ(stamps.back().size, 0u);
    const std::string seven = dir.file("f7.json");
    const auto time = std::filesystem::last_write_time(native_path(seven));
    std::filesystem::last_write_time(native_path(seven), time + std::chrono::seconds(3));
    const std::vector<FileStamp> later = file_stamps(dir.path().string(), {"f7.json", "f8.json"});
    EXPECT_NE(later[0].time, stamps[7].time);
    EXPECT_EQ(later[1].time, stamps[8].time);
    EXPECT_FALSE(file_stamps(dir.file("absent"), {"f7.json"})[0].found);
}

} // namespace
} // namespace veldra

namespace veldra {
namespace {

// A complete partial file takes its target's place in one step, an earlier file replaced; where
// the rename cannot be made (a folder stands at the target), the partial file is left whole and
// the error told. Syncing a file and a folder works; a missing one is said.
TEST(PlacedFile, ReplacesItsTargetWholeOrLeavesThePartialFile) {
    test::TempDir dir;
    const std::string target = dir.write("out.csv", "earlier\n");
    const std::string partial = dir.write(".out.csv.1-abcdefgh.part", "new\nwhole\n");
    EXPECT_TRUE(sync_to_disk(partial));
    EXPECT_TRUE(sync_to_disk(dir.path().string()));
    EXPECT_FALSE(sync_to_disk(dir.file("absent")));
    std::error_code error;
    place_file(partial, target, error);
    EXPECT_FALSE(error);
    EXPECT_EQ(test::read_file(target), "new\nwhole\n");
    EXPECT_FALSE(std::filesystem::exists(native_path(partial)));

    std::filesystem::create_directories(native_path(dir.file("folder/inside")));
    const std::string again = dir.write(".folder.1-abcdefgh.part", "kept\n");
    place_file(again, dir.file("folder"), error);
    EXPECT_TRUE(error);
    EXPECT_EQ(test::read_file(again), "kept\n");
}

} // namespace
} // namespace veldra
