#include "text/platform.h"
#include "train/model_writer.h"

#include "tests/support/temp_dir.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

// A fit of `draws` one-leaf forests over one covariate.
BartFit small_fit(std::size_t draws) {
    BartFit fit;
    fit.grid.cuts = {{0.5}};
    fit.y_min = 1.0;
    fit.y_max = 3.0;
    BartTree tree;
    tree.nodes.resize(1);
    tree.nodes[0].value = 0.25;
    fit.forests.assign(draws, std::vector<BartTree>{tree});
    fit.sigma.assign(draws, 0.1);
    return fit;
}

std::string write_error(const fs::path& folder, const BartFit& fit,
                        const std::function<void()>& checkpoint = {}) {
    try {
        write_model(folder, fit, "{}\n", checkpoint);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

// The entries of a folder whose names start with ".veldra-train-".
std::vector<std::string> staging_folders(const fs::path& folder) {
    std::vector<std::string> found;
    for (fs::directory_iterator it(folder), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.rfind(".veldra-train-", 0) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

TEST(ModelWriter, AStopOrAFailureLeavesTheOldModelAndNoStagingFolder) {
    TempDir dir;
    const fs::path folder = dir.path() / "mir" / "pH";
    write_model(folder, small_fit(4), "{\"old\": true}\n");
    const std::string old_card = test::read_file((folder / "model.json").string());

    // A stop at every point of the writing, from the first draw to just before the replacement.
    for (int stop_at = 1; stop_at <= 6; ++stop_at) {
        int calls = 0;
        const std::string error = write_error(folder, small_fit(5), [&] {
            if (++calls == stop_at) {
                throw std::runtime_error("stopped");
            }
        });
        EXPECT_EQ(error, "stopped") << stop_at;
        EXPECT_EQ(test::read_file((folder / "model.json").string()), old_card) << stop_at;
        EXPECT_FALSE(fs::exists(folder / "MCMC5.json")) << stop_at;
        EXPECT_TRUE(staging_folders(folder.parent_path()).empty()) << stop_at;
    }

    // A value that is not a finite number is never written.
    BartFit broken = small_fit(5);
    broken.forests[2][0].nodes[0].value = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(write_error(folder, broken),
              "The fit gave a leaf value of draw 3 that is not a finite number; no model was "
              "written. Check the reference values and the prior settings.");
    broken = small_fit(5);
    broken.sigma[4] = std::numeric_limits<double>::infinity();
    EXPECT_NE(write_error(folder, broken).find("the error spread of draw 5"), std::string::npos);
    EXPECT_EQ(test::read_file((folder / "model.json").string()), old_card);

    // A folder that cannot be made: the message says where and why, in the user's terms.
    dir.write("file", "x");
    EXPECT_EQ(write_error(dir.path() / "file" / "pH", small_fit(2)),
              "Cannot write the model into \"" + dir.file("file") +
                  "\": it is a file, not a folder.");
    // A tree without write permission (root ignores permissions: checked only as another user;
    // Windows has no such mode bits).
#if !defined(_WIN32)
    if (geteuid() != 0) {
        fs::create_directories(dir.path() / "locked");
        fs::permissions(dir.path() / "locked", fs::owner_read | fs::owner_exe);
        EXPECT_EQ(write_error(dir.path() / "locked" / "pH", small_fit(2)),
                  "Cannot write the model into \"" + dir.file("locked") + "\": Permission denied.");
        fs::permissions(dir.path() / "locked", fs::owner_all);
    }
#endif
}

TEST(ModelWriter, StaleStagingFoldersOfEndedRunsAreRemoved) {
    TempDir dir;
    const fs::path type = dir.path() / "mir";
    // An ended process (identifiers stay far below this), this process, a folder of another
    // program, and an old-style name touched just now.
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

    // Writing a model cleans up the stale ones beside it.
    fs::create_directories(type / ".veldra-train-2147480001-ab12-cd34");
    write_model(type / "pH", small_fit(2), "{}\n");
    EXPECT_EQ(staging_folders(type), std::vector<std::string>{own});
}

} // namespace
} // namespace veldra
