#include "job/staged_outputs.h"

#include "job/output_names.h"
#include "job/result_file.h"
#include "text/placed_file.h"
#include "text/platform.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace fs = boost::filesystem;

StagedOutputs::~StagedOutputs() {
    for (const Staged& file : staged_) {
        boost::system::error_code ignored;
        fs::remove(file.partial, ignored);
    }
}

void StagedOutputs::add(const std::string& partial, const std::string& target,
                        const std::string& path) {
    staged_.push_back({partial, target, path});
}

namespace {} // namespace

void StagedOutputs::place() {
    std::size_t failed = staged_.size();
    for (std::size_t k = 0; k < staged_.size(); ++k) {
        std::error_code error;
        place_waiting(staged_[k].partial, staged_[k].target, error);
        if (error) {
            failed = k;
            break;
        }
    }
    if (failed == staged_.size()) {
        staged_.clear();
        return;
    }
    // The rest stay complete beside their targets; what an earlier job left under their names is
    // set aside where it can be, and told where it cannot.
    std::string message =
        "Writing to file failed: " + staged_[failed].path + "\n" +
        (file_held_open_elsewhere(staged_[failed].target) ? "It is open in another program."
                                                          : "It could not be moved into place.");
    for (std::size_t k = failed; k < staged_.size(); ++k) {
        const Staged& file = staged_[k];
        boost::system::error_code error;
        if (failed > 0 && fs::exists(file.target, error)) {
            const std::string aside = earlier_path(file.target);
            fs::rename(file.target, aside, error);
            message += error ? " '" + file.path + "' still holds an earlier job's file."
                             : " The earlier job's '" + file.path + "' is now '" + aside + "'.";
        }
        const std::string kept = kept_beside_path(file.target);
        fs::rename(file.partial, kept, error);
        message += error ? " The new '" + file.path + "' could not be kept."
                         : " The new '" + file.path + "' is kept as '" + kept + "'.";
    }
    staged_.clear(); // placed, or kept beside
    throw std::runtime_error(message);
}

std::vector<std::string> StagedOutputs::place_finished(const std::vector<std::string>& outputs) {
    std::vector<std::string> placed;
    std::vector<std::string> notes;
    for (const Staged& file : staged_) {
        std::error_code error;
        place_file(file.partial, file.target, error);
        if (error) {
            boost::system::error_code ignored;
            fs::remove(file.partial, ignored);
            notes.push_back("The finished '" + file.path + "' could not be put in place.");
        } else {
            placed.push_back(file.path);
        }
    }
    staged_.clear();
    if (placed.empty()) {
        return notes;
    }
    for (const std::string& output : outputs) {
        boost::system::error_code error;
        if (std::find(placed.begin(), placed.end(), output) != placed.end() ||
            !fs::exists(output, error)) {
            continue;
        }
        const std::string aside = earlier_path(output);
        fs::rename(output, aside, error);
        notes.push_back(error ? "'" + output + "' still holds an earlier job's file."
                              : "'" + output + "', an earlier job's, is now '" + aside + "'.");
    }
    return notes;
}

std::string OutputLock::path_of(const std::string& output) {
    return lock_path(output);
}

namespace {

// "process 4711 on lab-pc" from a lock file's content ("4711 lab-pc"): who holds it, for the
// refusal; "" when it says nothing readable. This machine's own process goes without the host.
std::string holder_text(const std::string& content) {
    std::istringstream in(content);
    long process = 0;
    std::string host;
    if (!(in >> process) || process <= 0) {
        return std::string();
    }
    in >> host;
    return "process " + std::to_string(process) +
           (host.empty() || host == host_name() ? std::string() : " on " + host);
}

} // namespace

OutputLock::OutputLock(const std::string& output) {
    const std::string path = path_of(output);
    boost::system::error_code error;
    if (fs::is_directory(path, error)) {
        // A lock folder of an earlier version, left by a killed job: no job of this version
        // takes one.
        fs::remove_all(path, error);
    }
    std::string found;
    const SystemFileLock::Outcome outcome = SystemFileLock::take(
        path, std::to_string(current_process_id()) + " " + host_name() + "\n", lock_, found);
    if (outcome == SystemFileLock::Outcome::taken || outcome == SystemFileLock::Outcome::failed) {
        return; // a folder that takes no new file takes no output either: the job says so
    }
    const std::string holder = holder_text(found);
    const std::string who = holder.empty() ? std::string() : " (" + holder + ")";
    if (outcome == SystemFileLock::Outcome::held) {
        throw std::runtime_error("Another job" + who + " is writing '" + output +
                                 "' now: wait for it to end, or choose another output path.");
    }
    throw std::runtime_error("Another job" + who + " is writing '" + output +
                             "' now: wait for it to end, or choose another output path.\n"
                             "This folder's file system keeps no locks, so a job that was "
                             "killed leaves its claim behind: if no job is writing there, "
                             "delete '" +
                             path + "'.");
}

OutputLock::~OutputLock() = default;

} // namespace veldra
