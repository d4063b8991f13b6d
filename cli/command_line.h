#pragma once

#include <atomic>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

namespace veldra {

// What the command-line programs share: option errors, the clock on their progress lines, the
// parse with --help and --version, and the start from main with Ctrl-C as a stop request.

// Wrong options: the program prints the text and its usage line and ends with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Minutes and seconds, "mm:ss".
std::string clock_text(double seconds);

// Parses `arguments` (the program path first) against `described`. For --help prints the
// options, for --version `version_line`, both to `out`, and gives nothing; raises UsageError
// for options it cannot parse.
std::optional<boost::program_options::variables_map>
parse_command_line(const std::vector<std::string>& arguments,
                   const boost::program_options::options_description& described, std::ostream& out,
                   const std::string& version_line);

// A program's body: arguments, standard output and error, the stop flag, whether standard
// error is a terminal; returns the exit status.
using CommandBody = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&,
                            const std::atomic<bool>&, bool);

// Runs `body` with the process's arguments and streams; Ctrl-C and SIGTERM set the stop flag.
int run_command(int argc, char** argv, CommandBody body);

} // namespace veldra
