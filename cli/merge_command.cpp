#include "cli/merge_command.h"

#include "cli/command_line.h"
#include "job/shard_merge.h"
#include "version.h"

#include <charconv>
#include <exception>

namespace veldra {

namespace po = boost::program_options;

namespace {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

bool asks_for_merge(const std::vector<std::string>& arguments) {
    for (std::size_t j = 1; j < arguments.size(); ++j) {
        if (arguments[j] == "--merge-shards" || arguments[j].rfind("--merge-shards=", 0) == 0) {
            return true;
        }
    }
    return false;
}

std::size_t shard_count(const std::string& text) {
    std::size_t shards = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || std::from_chars(text.data(), end, shards).ptr != end || shards < 1 ||
        shards > 100000) {
        throw UsageError("--merge-shards takes N with 1 <= N <= 100000, not '" + text + "'");
    }
    return shards;
}

} // namespace

std::optional<int> run_merge_command(const std::vector<std::string>& arguments, std::ostream& out,
                                     std::ostream& err) {
    if (!asks_for_merge(arguments)) {
        return std::nullopt;
    }
    po::options_description described("veldra-predict --merge-shards N --output FILE");
    described.add_options()("merge-shards", po::value<std::string>(), "number of shards")(
        "output", po::value<std::string>(), "the output path given to every shard");
    std::size_t shards = 0;
    std::string output;
    try {
        const std::optional<po::variables_map> values = parse_command_line(
            arguments, described, out, std::string("veldra-predict ") + veldra_version);
        if (!values) {
            return exit_success;
        }
        shards = shard_count((*values)["merge-shards"].as<std::string>());
        if (!values->count("output")) {
            throw UsageError("--merge-shards needs --output, the output path given to every shard");
        }
        output = (*values)["output"].as<std::string>();
    } catch (const UsageError& e) {
        err << "veldra-predict: " << e.what()
            << "\nUsage: veldra-predict --merge-shards N --output FILE\n";
        return exit_usage;
    }
    try {
        const std::vector<std::string> written = merge_shards(output, shards);
        out << "Files created:\n";
        for (const std::string& file : written) {
            out << "  " << file << "\n";
        }
        return exit_success;
    } catch (const std::exception& e) {
        err << "veldra-predict: " << e.what() << "\n";
        return exit_failure;
    }
}

} // namespace veldra
