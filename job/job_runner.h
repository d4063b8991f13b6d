#pragma once

#include "input/spectra_table.h"
#include "job/job_settings.h"
#include "job/spectra_preview.h"
#include "logging/logger_set.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace veldra {

// Thrown from a log sink's checkpoint to abandon a job the user stopped. Not a std::exception,
// so no handler for errors catches it on its way out.
class JobStop {};

// Pairs of the job: maximum (pairs - 1) and how many are finished. With the inner pair of the
// LoggerSet (forest files) it gives the progress in units of forest files.
struct JobProgress {
    std::int32_t outer_maximum = 0;
    std::int32_t outer_position = 0;
};

// The progress a checkpoint reports: (maximum, current) in forest files over the whole job.
std::pair<int, int> job_progress(const JobProgress& outer, const LoggerSet& log);

// The message of a job that ran out of memory.
constexpr const char* out_of_memory_message =
    "Not enough memory for this job: the spectra and the forests being evaluated must fit in "
    "memory. Try fewer threads or a smaller input.";

// Told once per job that uses a demonstration model.
constexpr const char* demonstration_warning =
    "Warning: this job uses demonstration models, drawn at random from the prior. Their "
    "predictions mean nothing about soil: install calibrated models or make your own with "
    "veldra-train.";

// Told for each model of a job that has no card: it predicts, unchecked.
std::string no_card_notice(const std::string& folder);

// What a finished job reports: the text for the user, whether the user stopped it, whether it
// completed.
struct JobOutcome {
    std::string message;
    bool stopped_by_user = false;
    bool ok = false;
    std::vector<std::string> created; // the files complete and in place, also after a stop
    // After a failure or a stop that left finished files: the earlier job's files under the
    // job's other names, set aside (a sentence each); empty otherwise.
    std::vector<std::string> set_aside;
    std::vector<DefectiveFile> defective;          // the OPUS files that gave no spectrum, and why
    std::shared_ptr<const SpectraPreview> spectra; // with the settings' `keep_spectra`
};

// Samples [(shard - 1) n / shards, shard n / shards) of the table's n: contiguous parts that
// together are the table, in order. Raises for a shard that does not exist or more shards than
// samples.
SpectraTable shard_of(SpectraTable table, std::size_t shard, std::size_t shards);

// The samples [first, last) of that part among `samples`, with the same messages.
std::pair<std::size_t, std::size_t> shard_range(std::size_t samples, std::size_t shard,
                                                std::size_t shards);

// Reads the input once, a block of samples at a time (clearing the settings' input paths), and
// runs one prediction per (type, property) pair, types outside, on every block. Fills the
// outcome's created files (each as it is complete), defective files and spectra preview. Peak
// memory is the forests held (at most the settings' `held_forest_budget`, 512 megabytes unless set,
// and one pair's beyond it; a model of 1000 draws of 200 trees takes about 20), one block of input
// rows and one pair's predictions of the block, whatever the number of samples; an OPUS folder
// and in-memory columns are held whole. The summary has, for every sample, one line per pair.
// Returns the created files, each as two blanks, the path and a line feed, and adds each to
// `created` as it is complete. Errors and JobStop pass to the caller.
std::string predict_pairs(JobSettings& settings, const std::vector<std::string>& types,
                          const std::vector<std::string>& properties, bool single, LoggerSet& log,
                          JobProgress& progress, JobOutcome& outcome);

// Why the job must not start: one of its outputs (per-pair files, summary, shard names, and the
// `extra` outputs such as a report or written spectra) is a file the job reads (its CSV input, the
// OPUS configuration, one of its OPUS files), lies in the model folder of one of its pairs, or is
// another of its outputs, compared after resolving links, "." and ".." ("The output 'a' is the
// job's input 'b'."). "" when every output has a path of its own.
std::string job_output_clash(const JobSettings& settings, const std::vector<std::string>& extra);

// Why the job cannot end well: an existing output is held open by another program (on Windows a
// spreadsheet or a PDF viewer), so it could not be replaced ("The output 'a' is open in another
// program: ..."). "" when none is.
std::string job_output_in_use(const JobSettings& settings, const std::vector<std::string>& extra);

// Why a job request cannot start, checked once for every front end before any work: the first
// output that would replace what the job reads or another output (job_output_clash: a fault of
// the request, `usage`), else the first held open by another program (job_output_in_use). An
// empty message when the request can start. `extra` are outputs beside the job's own (a report,
// written spectra).
struct JobRefusal {
    std::string message;
    bool usage = false;
};
JobRefusal job_request_refusal(const JobSettings& request, const std::vector<std::string>& extra);

// The whole job with its result: "Files created:\n" and the files on success, the error text on
// failure, ("Files created:\n", user) after a stop, "Unknow exception catched" for anything else.
JobOutcome run_job(JobSettings& settings, LoggerSet& log, JobProgress& progress);

} // namespace veldra
