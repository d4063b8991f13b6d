#pragma once

#include <map>
#include <string>
#include <vector>

namespace veldra {

// The choices of per-sample decisions as the command line and the window take them. Each raises
// a message naming the text for anything else.

// A level of a calibrated interval: "0.9" or "90%", above 0 and below 1.
double parse_level(const std::string& text);

// Levels separated by commas or spaces ("0.68, 0.9, 0.95"), each once (as the summary's columns
// name it), in the order given; "" gives the default 0.95.
std::vector<double> parse_levels(const std::string& text);

// "PROPERTY=HALF_WIDTH", the half width a positive number: "Carbon=0.2".
std::pair<std::string, double> parse_tolerance(const std::string& text);

// Tolerances separated by commas or spaces ("Carbon=0.2, pH=0.3"); a property named twice is
// refused.
std::map<std::string, double> parse_tolerances(const std::string& text);

} // namespace veldra
