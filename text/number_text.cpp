#include "text/number_text.h"

#include <charconv>

namespace veldra {

std::string shortest_text(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

} // namespace veldra
