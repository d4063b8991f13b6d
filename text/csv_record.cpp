#include "text/csv_record.h"

#include <stdexcept>

namespace veldra {

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

bool next_csv_record(std::string_view text, std::size_t& position, std::vector<std::string>& fields,
                     std::size_t& lines) {
    fields.clear();
    if (position >= text.size()) {
        return false;
    }
    std::string field;
    std::size_t i = position;
    for (;;) {
        if (i < text.size() && text[i] == '"') {
            // A quoted field: up to the quote that is not doubled.
            for (++i;; ++i) {
                if (i >= text.size()) {
                    throw std::runtime_error("a quoted field is not closed");
                }
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                lines += text[i] == '\n' ? 1 : 0;
                field += text[i];
            }
            const bool ends = i >= text.size() || text[i] == ',' || text[i] == '\n' ||
                              (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
            if (!ends) {
                throw std::runtime_error("text after the closing quote of a field");
            }
        } else {
            const std::size_t end = text.find_first_of(",\n", i);
            const std::size_t stop = end == std::string_view::npos ? text.size() : end;
            std::size_t last = stop;
            if (last > i && text[last - 1] == '\r' && (stop == text.size() || text[stop] == '\n')) {
                --last; // CR LF ends the record; the CR is not part of the field
            }
            field.append(text.substr(i, last - i));
            i = stop;
        }
        fields.push_back(std::move(field));
        field.clear();
        if (i < text.size() && text[i] == '\r') {
            ++i;
        }
        if (i >= text.size() || text[i] == '\n') {
            position = i < text.size() ? i + 1 : i;
            lines += 1;
            return true;
        }
        ++i; // past the comma
    }
}

} // namespace veldra
