#pragma once

#include <iostream>

#include <boost/program_options.hpp>

namespace veldra::bench {

// Parses a benchmark's options into their bound variables; false after printing the help text
// (when "--help" was given), so the benchmark ends there.
inline bool parse_options(int argc, char** argv,
                          const boost::program_options::options_description& described) {
    boost::program_options::variables_map values;
    boost::program_options::store(boost::program_options::parse_command_line(argc, argv, described),
                                  values);
    boost::program_options::notify(values);
    if (values.count("help")) {
        std::cout << described << "\n";
        return false;
    }
    return true;
}

} // namespace veldra::bench
