#pragma once

#include "text/platform.h"

#include <memory>
#include <string>
#include <vector>

namespace veldra {

// The files of one job, placed together. Each is written complete beside its target (a hidden
// partial file) and handed over here when closed; `place` then moves them all onto their targets
// in the order handed over, so that a failure or a stop before it leaves the folder as it was,
// and files of this job never stand beside files of an earlier one. A partial file not placed is
// removed with this object.
class StagedOutputs {
public:
    StagedOutputs() = default;
    ~StagedOutputs();
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // A complete `partial` file for `target` (`path` as the job named it).
    void add(const std::string& partial, const std::string& target, const std::string& path);

    // Moves every file onto its target. Where one cannot be moved (another program holds the
    // target open), it and the files after it are kept beside their targets ("out (new).csv"),
    // the earlier job's files among those targets are set aside as "out (earlier).csv" where they
    // can be, and the message (first line "Writing to file failed: " and the path) says which
    // file holds what.
    void place();

    // After a failure or a stop: moves the files handed over so far onto their targets (what
    // was finished stays complete on disk) and, where any was placed, sets aside each of the
    // job's other `outputs` that an earlier job left ("out-summary (earlier).csv"), so that the
    // job's names hold files of this job only. Never raises; returns a sentence per file moved
    // aside or that could not be.
    std::vector<std::string> place_finished(const std::vector<std::string>& outputs);

private:
    struct Staged {
        std::string partial;
        std::string target;
        std::string path;
    };
    std::vector<Staged> staged_;
};

// A job's claim on its outputs: the system's lock on a file beside the first output
// (".<name>.lock", holding the owner's process and host), taken at construction and let go with
// the object, or by the system when the process ends in any way (a killed job leaves no claim).
// Two jobs writing the same outputs at once would mix them: the second is refused, naming the
// first's process. On a file system without locks, the file's presence is the claim, and a
// refusal names the file to delete if no job runs. Where the folder takes no new file there is
// no lock, and nothing to write either.
class OutputLock {
public:
    // Raises "Another job (process N) is writing '<output>' now: wait for it to end, or choose
    // another output path." when another job holds the lock ("process N on HOST" for another
    // machine's).
    explicit OutputLock(const std::string& output);
    ~OutputLock();
    OutputLock(const OutputLock&) = delete;
    OutputLock& operator=(const OutputLock&) = delete;

    // The lock file of `output`.
    static std::string path_of(const std::string& output);

private:
    std::unique_ptr<SystemFileLock> lock_;
};

} // namespace veldra
