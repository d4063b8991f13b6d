#include "models/model_digest.h"
#include "models/model_folder.h"
#include "models/model_open.h"
#include "text/platform.h"

#include "tests/support/error_text.h"
#include "tests/support/temp_dir.h"

#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstring>

#include <map>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

// A model of `draws` draws whose every file says `tag`.
ModelContents tagged_model(std::size_t draws, const std::string& tag) {
    ModelContents contents;
    contents.draws = draws;
    contents.forest_document = [tag](std::size_t d) {
        return "{\"" + tag + "\":" + std::to_string(d) + "}\n";
    };
    contents.range_low = 0.5;
    contents.range_high = 1.0 + static_cast<double>(tag.size());
    contents.sigma.assign(draws, 0.25);
    ModelCard card;
    card.property = "pH";
    card.spectrometer_type = "mir";
    card.description = tag;
    card.demonstration = true;
    card.draws = draws;
    contents.card = card;
    return contents;
}

// Every entry below `folder`, by name, with its bytes ("/" for a folder).
std::map<std::string, std::string> entries(const fs::path& folder) {
    std::map<std::string, std::string> found;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
        const std::string name = fs::relative(it->path(), folder).generic_string();
        found[name] = fs::is_directory(it->path()) ? "/" : test::read_file(it->path().string());
    }
    return found;
}

TEST(ModelFolder, WritesEveryFileThroughItsOwner) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    ModelContents contents = tagged_model(2, "new");
    contents.range_low = 0.1;
    contents.range_high = 2.5e-07;
    CalibrationDomain domain;
    domain.center = {1.0, 2.0};
    domain.components = {{0.6, 0.8}};
    domain.variances = {4.0};
    domain.t2_limit = 9.0;
    domain.q_limit = 0.5;
    contents.domain = domain;
    write_model_folder(folder, contents);
    EXPECT_EQ(test::read_file(range_file(folder).string()), "0.1 2.5e-07\n");
    EXPECT_EQ(test::read_file(sigma_file(folder).string()), "0.25\n0.25\n");
    EXPECT_EQ(test::read_file((folder / "MCMC2.json").string()), "{\"new\":1}\n");
    EXPECT_EQ(read_model_card(folder)->description, "new");
    EXPECT_EQ(read_calibration_domain(folder)->components, domain.components);
    EXPECT_EQ(*read_sigma_file(folder.string(), 2), (std::vector<double>{0.25, 0.25}));
    EXPECT_EQ(entries(folder).size(), 6u);
    EXPECT_TRUE(is_model_file(folder / "MCMC1s.json"));
    EXPECT_FALSE(is_model_file(folder / "notes.txt"));
}

// The card records what shapes the model's predictions; an edit of any of it afterwards is
// found and named, an edit of what does not shape them (its description) is not, and a card of an
// earlier version, without the record, is taken as it is.
TEST(ModelFolder, TheCardRecordsWhatShapesPredictionsAndEditsAreFound) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    ModelContents contents = tagged_model(3, "new");
    contents.card->preprocessing = "sg(21,2,1)";
    contents.card->covariates = 2;
    write_model_folder(folder, contents);
    const auto changes = [&] { return model_changes(folder, *read_model_card(folder)); };
    EXPECT_EQ(read_model_card(folder)->digest.size(), 4u); // card, draws, range, sigma
    EXPECT_TRUE(changes().empty());
    const std::string card_text = test::read_file(card_file(folder).string());
    const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    dir.write("mir/pH/model.json", replaced(card_text, "\"new\"", "\"renamed\""));
    EXPECT_TRUE(changes().empty()) << "a description shapes nothing";
    dir.write("mir/pH/model.json", replaced(card_text, "sg(21,2,1)", "sg(23,2,1)"));
    EXPECT_EQ(changes(), (std::vector<std::string>{"its card's settings (pipeline, references, "
                                                   "covariates, transformation or calibration)"}));
    dir.write("mir/pH/model.json", card_text);
    dir.write("mir/pH/sigma.txt", "0.25\n0.25\n0.5\n");
    dir.write("mir/pH/MCMC2.json", "{\"new\":11}\n");
    EXPECT_EQ(changes(), (std::vector<std::string>{"its draw files (MCMC*.json)", "sigma.txt"}));
    dir.write("mir/pH/sigma.txt", "0.25\n0.25\n0.25\n");
    dir.write("mir/pH/MCMC2.json", "{\"new\":1}\n");
    fs::remove(folder / "MCMC3.json");
    EXPECT_EQ(changes(), (std::vector<std::string>{"its draw files (MCMC*.json)"}));
    ModelCard earlier = *read_model_card(folder);
    earlier.digest.clear();
    EXPECT_TRUE(model_changes(folder, earlier).empty());
}

// The domain a prediction reads is the one checked against the card's record: opening the model
// keeps the digest of the bytes it parsed, the same as the record's for an untouched folder, and
// the check takes that digest instead of reading the file again.
TEST(ModelFolder, TheDomainCheckedIsTheDomainRead) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    ModelContents contents = tagged_model(2, "new");
    CalibrationDomain domain;
    domain.center = {1.0, 2.0};
    domain.components = {{0.6, 0.8}};
    domain.variances = {4.0};
    domain.t2_limit = 9.0;
    domain.q_limit = 0.5;
    contents.domain = domain;
    write_model_folder(folder, contents);
    const OpenedModel opened = open_model(folder);
    ASSERT_TRUE(opened.card && opened.domain);
    EXPECT_EQ(opened.digests.at("domain"), model_files_digest(folder).at("domain"));
    EXPECT_EQ(opened.digests.at("domain"), opened.card->digest.at("domain"));
    EXPECT_TRUE(model_changes(folder, *opened.card, opened.digests).empty());
    // A domain replaced after it was read: the bytes used are what the check judges.
    const std::string read = test::read_file((folder / domain_file_name).string());
    dir.write("mir/pH/domain.json", read + " ");
    EXPECT_TRUE(model_changes(folder, *opened.card, opened.digests).empty());
    EXPECT_EQ(model_changes(folder, *opened.card), (std::vector<std::string>{"domain.json"}));
    ModelDigest other = opened.digests;
    other["domain"] = bytes_digest(read + " ");
    EXPECT_EQ(model_changes(folder, *opened.card, other),
              (std::vector<std::string>{"domain.json"}));
    // So are the draws as listed: their sizes, stamped once, and the fingerprint of a compiled
    // model made from those stamps is the one the files give.
    EXPECT_EQ(opened.digests.at("draws"), model_files_digest(folder).at("draws"));
    ASSERT_EQ(opened.draw_stamps.size(), 2u);
    EXPECT_TRUE(opened.draw_stamps[1].found);
    EXPECT_EQ(opened.draw_stamps[1].size, fs::file_size(opened.draw_files[1]));
    EXPECT_EQ(draw_files_fingerprint(opened.draw_files, opened.draw_stamps),
              draw_files_fingerprint(opened.draw_files));
    dir.write("mir/pH/domain.json", read);
    dir.write("mir/pH/MCMC2.json", "{\"a draw of another size\":1}\n");
    EXPECT_TRUE(model_changes(folder, *opened.card, opened.digests).empty());
    EXPECT_EQ(model_changes(folder, *opened.card),
              (std::vector<std::string>{"its draw files (MCMC*.json)"}));
    EXPECT_NE(draw_files_fingerprint(opened.draw_files, opened.draw_stamps),
              draw_files_fingerprint(opened.draw_files));
}

// A stop at every point of the writing, from the first draw to between the two renames of the
// replacement, leaves the old model exactly as it was (the lab's own files kept), and nothing
// staged or set aside; once no stop comes, the new model is there whole, the lab's files too.
TEST(ModelFolder, AStopAtAnyMomentLeavesTheOldModelOrTheNewOneWhole) {
    TempDir dir;
    const fs::path type = dir.path() / "mir";
    const fs::path folder = type / "pH";
    write_model_folder(folder, tagged_model(4, "old"));
    dir.write("mir/pH/notes.txt", "calibrated on the 2025 survey");
    const std::map<std::string, std::string> old_model = entries(folder);

    int points = 0;
    for (int stop_at = 1;; ++stop_at) {
        int calls = 0;
        const std::string error = test::error_text([&] {
            write_model_folder(folder, tagged_model(5, "newer"), [&] {
                if (++calls == stop_at) {
                    throw std::runtime_error("stopped");
                }
            });
        });
        if (error != "stopped") {
            points = stop_at - 1;
            break;
        }
        EXPECT_EQ(entries(folder), old_model) << stop_at;
        EXPECT_EQ(entries(type).size(), old_model.size() + 1) << "left beside: " << stop_at;
    }
    EXPECT_EQ(points, 5 + 2); // every draw, before the replacement, between its renames
    const std::map<std::string, std::string> now = entries(folder);
    EXPECT_EQ(now.size(), 5u + 4u);
    EXPECT_EQ(now.at("notes.txt"), "calibrated on the 2025 survey");
    EXPECT_EQ(now.at("MCMC5.json"), "{\"newer\":4}\n");
    EXPECT_EQ(read_model_card(folder)->description, "newer");
    EXPECT_EQ(entries(type).size(), now.size() + 1);
}

// A process killed between the renames leaves the old model set aside; the next writer (or
// tidying) beside it puts it back, or drops it when the new model had arrived.
TEST(ModelFolder, AModelSetAsideByAKilledWriterIsPutBack) {
    TempDir dir;
    const fs::path type = dir.path() / "mir";
    write_model_folder(type / "pH", tagged_model(3, "old"));
    const std::map<std::string, std::string> old_model = entries(type / "pH");
    // Identifiers of ended processes stay far below these.
    fs::rename(type / "pH", type / ".veldra-old-2147480000-pH");
    fs::create_directories(type / ".veldra-train-2147480000-ab12-cd34" / "x");
    write_model_folder(type / "N", tagged_model(1, "other"));
    EXPECT_EQ(entries(type / "pH"), old_model);
    EXPECT_FALSE(fs::exists(type / ".veldra-old-2147480000-pH"));
    EXPECT_FALSE(fs::exists(type / ".veldra-train-2147480000-ab12-cd34"));

    fs::create_directories(type / ".veldra-old-2147480001-pH");
    EXPECT_EQ(remove_stale_staging(type), 0u);
    EXPECT_FALSE(fs::exists(type / ".veldra-old-2147480001-pH"));
    EXPECT_EQ(entries(type / "pH"), old_model);
    // A running writer's folder set aside is left alone.
    const std::string own = ".veldra-old-" + std::to_string(current_process_id()) + "-Zn";
    fs::create_directories(type / own);
    remove_stale_staging(type);
    EXPECT_TRUE(fs::exists(type / own));
}

#if !defined(_WIN32)
// A disk that fills while the model is written (a file size limit refuses the write as a full
// disk does): the message names the model's folder, the file and the system's reason, not the
// staging folder that is gone; the old model stays and nothing staged is left.
TEST(ModelFolder, ADiskFullWhileWritingNamesTheFolderAndTheReason) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    write_model_folder(folder, tagged_model(2, "old"));
    const std::map<std::string, std::string> old_model = entries(folder);
    ModelContents large = tagged_model(3, "new");
    large.forest_document = [](std::size_t) { return std::string(4096, ' ') + "{}\n"; };
    signal(SIGXFSZ, SIG_IGN);
    rlimit original{};
    getrlimit(RLIMIT_FSIZE, &original);
    rlimit limited = original;
    limited.rlim_cur = 1024;
    setrlimit(RLIMIT_FSIZE, &limited);
    const std::string message = test::error_text([&] { write_model_folder(folder, large); });
    setrlimit(RLIMIT_FSIZE, &original);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(message, "Cannot write the model into \"" + folder.string() +
                           "\": its file MCMC1.json could not be written (" + std::strerror(EFBIG) +
                           "). Free space on the disk, or choose another models folder; the "
                           "model there is as it was.");
    EXPECT_EQ(entries(folder), old_model);
    EXPECT_EQ(entries(dir.path() / "mir").size(), entries(folder).size() + 1); // pH alone
}
#endif

TEST(ModelFolder, StaleStagingFoldersOfEndedRunsAreRemoved) {
    TempDir dir;
    const fs::path type = dir.path() / "mir";
    // An ended process, this process, a folder of another program, and an old-style name
    // touched just now.
    fs::create_directories(type / ".veldra-train-2147480000-ab12-cd34" / "x");
    const std::string own = ".veldra-train-" + std::to_string(current_process_id()) + "-ab12-cd34";
    fs::create_directories(type / own);
    fs::create_directories(type / ".other-train-1-ab12");
    fs::create_directories(type / ".veldra-train-ab12-cd34");
    EXPECT_EQ(remove_stale_staging(type), 1u);
    EXPECT_FALSE(fs::exists(type / ".veldra-train-2147480000-ab12-cd34"));
    EXPECT_TRUE(fs::exists(type / own));
    EXPECT_TRUE(fs::exists(type / ".other-train-1-ab12"));
    EXPECT_TRUE(fs::exists(type / ".veldra-train-ab12-cd34"));
    // An old-style name untouched for two hours is stale too.
    fs::last_write_time(type / ".veldra-train-ab12-cd34", std::time(nullptr) - 7200);
    EXPECT_EQ(remove_stale_staging(type), 1u);
    EXPECT_FALSE(fs::exists(type / ".veldra-train-ab12-cd34"));
}

TEST(ModelFolder, FoldersThatCannotBeWrittenAreNamedWithTheReason) {
    TempDir dir;
    dir.write("file", "x");
    EXPECT_EQ(test::error_text(
                  [&] { write_model_folder(dir.path() / "file" / "pH", tagged_model(1, "a")); }),
              "Cannot write the model into \"" + dir.file("file") +
                  "\": it is a file, not a folder.");
    // Root ignores permissions: checked only as another user; Windows has no such mode bits.
#if !defined(_WIN32)
    if (geteuid() != 0) {
        fs::create_directories(dir.path() / "locked");
        fs::permissions(dir.path() / "locked", fs::owner_read | fs::owner_exe);
        EXPECT_EQ(test::error_text([&] {
                      write_model_folder(dir.path() / "locked" / "pH", tagged_model(1, "a"));
                  }),
                  "Cannot write the model into \"" + dir.file("locked") + "\": Permission denied.");
        fs::permissions(dir.path() / "locked", fs::owner_all);
    }
#endif
}

TEST(ModelFolder, ErrorSpreadFilesAreCheckedAndBounded) {
    TempDir dir;
    const std::string sigma = dir.file("sigma.txt");
    EXPECT_FALSE(read_sigma_file(dir.path().string(), 2).has_value());
    dir.write("sigma.txt", "0.5\r\n\n0.25\n");
    EXPECT_EQ(*read_sigma_file(dir.path().string(), 2), (std::vector<double>{0.5, 0.25}));
    EXPECT_EQ(test::error_text([&] { read_sigma_file(dir.path().string(), 3); }),
              "The error spread file \"" + sigma + "\" holds 2 values for 3 draws.");
    dir.write("sigma.txt", "0.5\n0.25\n1\n");
    EXPECT_EQ(test::error_text([&] { read_sigma_file(dir.path().string(), 2); }),
              "The error spread file \"" + sigma + "\" holds more than 2 values for 2 draws.");
    for (const char* bad : {"-1", "nan", "x", "1 2"}) {
        dir.write("sigma.txt", std::string("0.5\n") + bad + "\n");
        EXPECT_EQ(test::error_text([&] { read_sigma_file(dir.path().string(), 2); }),
                  "The error spread file \"" + sigma + "\" holds \"" + bad +
                      "\", not one number of at least 0 per line.");
    }
    dir.write("sigma.txt", std::string(largest_sigma_bytes + 1, '\n'));
    EXPECT_EQ(test::error_text([&] { read_sigma_file(dir.path().string(), 2); }),
              "The error spread file \"" + sigma + "\" is larger than 16 MB.");
    fs::remove(sigma);
    fs::create_directories(sigma);
    EXPECT_EQ(test::error_text([&] { read_sigma_file(dir.path().string(), 2); }),
              "The error spread file \"" + sigma + "\" cannot be read: it is not a file.");
}

} // namespace
} // namespace veldra
