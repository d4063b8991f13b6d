#include "models/model_directory.h"
#include "version.h"

#include "tests/support/temp_dir.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

namespace fs = boost::filesystem;
using test::TempDir;

struct ProcessRun {
    int exit_code;
    std::string out;
    std::string err;
};

// Runs `command` in the shell from `folder`, capturing both streams.
ProcessRun run_in(const fs::path& folder, const std::string& command) {
    const fs::path out = folder / "stdout.txt";
    const fs::path err = folder / "stderr.txt";
    const fs::path runtime = folder / "runtime"; // keeps Qt from warning about its absence
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::owner_all);
    const std::string line = "cd '" + folder.string() + "' && QT_QPA_PLATFORM=offscreen " +
                             "XDG_RUNTIME_DIR='" + runtime.string() + "' " + command + " >'" +
                             out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::read_file(out.string()),
            test::read_file(err.string())};
}

// A copy of a program at `relative` below `root`.
fs::path install(const fs::path& root, const std::string& relative, const char* program) {
    const fs::path target = root / relative;
    fs::create_directories(target.parent_path());
    fs::copy_file(program, target);
    return target;
}

void make_models(const fs::path& base) {
    fs::create_directories(base / model_directory_location);
}

TEST(ModelDirectory, TheExecutablesFolderComesBeforeItsParent) {
    TempDir dir;
    const fs::path root = dir.path();
    install(root, "bin/probe", VELDRA_PROBE);
    // Only below the parent: candidate 2.
    make_models(root);
    ProcessRun run = run_in(root, "bin/probe");
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.out, (root / model_directory_location).string() + "\n");
    // Below both: candidate 1 wins.
    make_models(root / "bin");
    run = run_in(root, "bin/probe");
    EXPECT_EQ(run.out, (root / "bin" / model_directory_location).string() + "\n");
    // A relative program path from another working folder resolves against that folder.
    fs::create_directories(root / "elsewhere");
    run = run_in(root / "elsewhere", "../bin/probe");
    EXPECT_EQ(run.out, (root / "bin" / model_directory_location).string() + "\n");
    // Started through the search path (no folder in the program path): the running
    // executable's own path is used.
    run = run_in(root / "elsewhere", "env PATH='" + (root / "bin").string() + "' probe");
    EXPECT_EQ(run.out, (root / "bin" / model_directory_location).string() + "\n");
    // A plain file bearing the directory's name counts as found.
    TempDir other;
    install(other.path(), "probe", VELDRA_PROBE);
    fs::create_directories((other.path() / model_directory_location).parent_path());
    std::ofstream((other.path() / model_directory_location).string()) << "not a folder";
    run = run_in(other.path(), "./probe");
    EXPECT_EQ(run.out, (other.path() / model_directory_location).string() + "\n");
}

TEST(ModelDirectory, NeitherCandidateEndsTheWindowProgramWithThreeLines) {
    TempDir dir;
    install(dir.path(), "bin/veldra", VELDRA_PROGRAM);
    const ProcessRun run = run_in(dir.path(), "bin/veldra");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Resources not found. Expected locations:\n  \"" +
                           (dir.path() / "bin" / model_directory_location).string() + "\"\n  \"" +
                           (dir.path() / model_directory_location).string() + "\"\n");
}

// Help and version are printed, without a window or a model tree; an unknown option is refused
// with the usage rather than opening the window.
TEST(ModelDirectory, TheWindowProgramAnswersHelpAndVersionAlone) {
    TempDir dir;
    install(dir.path(), "bin/veldra", VELDRA_PROGRAM);
    const ProcessRun help = run_in(dir.path(), "bin/veldra --help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("Usage: veldra ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("veldra --results SUMMARY [--spectra CSV]"), std::string::npos);
    EXPECT_NE(help.out.find("veldra-predict --help"), std::string::npos);
    const ProcessRun version = run_in(dir.path(), "bin/veldra --version");
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("veldra ") + veldra_version + "\n");
    const ProcessRun unknown = run_in(dir.path(), "bin/veldra --bogus");
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("veldra: unknown option '--bogus'\nUsage: veldra ", 0), 0u)
        << unknown.err;
}

} // namespace
} // namespace veldra
