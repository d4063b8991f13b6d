#include "text/number_text.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

namespace veldra {

std::string shortest_text(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::optional<std::vector<double>> wavenumbers_of(const std::vector<std::string>& names) {
    std::vector<double> values;
    values.reserve(names.size());
    for (const std::string& name : names) {
        std::size_t start = name.size();
        while (start > 0 && (std::isdigit(static_cast<unsigned char>(name[start - 1])) != 0 ||
                             name[start - 1] == '.')) {
            --start;
        }
        const char* first = name.data() + start;
        const char* last = name.data() + name.size();
        double value = 0.0;
        const auto read = std::from_chars(first, last, value);
        if (start == name.size() || read.ec != std::errc() || read.ptr != last) {
            return std::nullopt;
        }
        values.push_back(value);
    }
    return values;
}

} // namespace veldra
