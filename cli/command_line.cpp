#include "cli/command_line.h"

#include "text/platform.h"

#include <cstdio>
#include <iostream>

namespace veldra {

namespace {

std::atomic<bool> stop_requested{false};

extern "C" void request_stop(int) {
    stop_requested.store(true);
}

} // namespace

std::string clock_text(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::optional<boost::program_options::variables_map>
parse_command_line(const std::vector<std::string>& arguments,
                   const boost::program_options::options_description& described, std::ostream& out,
                   const std::string& version_line) {
    namespace po = boost::program_options;
    po::variables_map values;
    const std::vector<std::string> rest(arguments.begin() + (arguments.empty() ? 0 : 1),
                                        arguments.end());
    try {
        const po::parsed_options parsed = po::command_line_parser(rest).options(described).run();
        // A word that belongs to no option ("--property Carbon pH") would be dropped unseen.
        for (const po::option& option : parsed.options) {
            if (option.position_key != -1 && !option.original_tokens.empty()) {
                throw UsageError("unexpected argument '" + option.original_tokens.front() +
                                 "': each option takes one value; repeat the option for more");
            }
        }
        po::store(parsed, values);
        po::notify(values);
    } catch (const po::error& e) {
        throw UsageError(e.what());
    }
    if (values.count("help")) {
        out << described << "\n";
        return std::nullopt;
    }
    if (values.count("version")) {
        out << version_line << "\n";
        return std::nullopt;
    }
    return values;
}

int run_command(int argc, char** argv, CommandBody body) {
    keep_freed_memory_for_reuse();
    // Both stop the work at its next checkpoint, so that every file left behind is complete.
    on_stop_signals(request_stop);
    const std::vector<std::string> arguments = program_arguments(argc, argv);
    return body(arguments, std::cout, std::cerr, stop_requested, standard_error_is_terminal());
}

} // namespace veldra
