#include "input/csv_reader.h"

#include "text/characters.h"
#include "text/csv_record.h"
#include "text/platform.h"
#include "text/runs.h"
#include "text/stream_number.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace {

const char* skip_space(const char* p, const char* end) {
    while (p != end && is_space(*p)) {
        ++p;
    }
    return p;
}

// The header line as read_csv_line reads it, but giving up (with a message naming the file) once
// it holds more than `largest_csv_columns` fields or `largest_csv_header_bytes` bytes, so a
// hostile header cannot take the memory of its whole length. False at the end of the file.
bool read_header_line(std::istream& in, std::string& line, const std::string& path) {
    line.clear();
    std::streambuf* const buffer = in.rdbuf();
    std::size_t commas = 0;
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            return !line.empty();
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return true;
        }
        commas += c == ',' ? 1 : 0;
        if (commas > largest_csv_columns) {
            throw std::runtime_error("The header of the csv file has more than " +
                                     std::to_string(largest_csv_columns) + " columns: " + path);
        }
        if (line.size() >= largest_csv_header_bytes) {
            throw std::runtime_error("The header of the csv file is longer than " +
                                     std::to_string(largest_csv_header_bytes >> 20) +
                                     " MB: " + path);
        }
        line.push_back(static_cast<char>(c));
    }
}

// The header's field count as splitting at ',' field after field gives it: empty fields
// between commas count, a comma at the very end adds no field, an empty line has none.
std::size_t count_header_fields(const std::string& header) {
    if (header.empty()) {
        return 0;
    }
    std::size_t commas = 0;
    for (const char c : header) {
        commas += c == ',' ? 1 : 0;
    }
    return header.back() == ',' ? commas : commas + 1;
}

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// The `index`-th field of the header (0 is the identifier's), or "" when it has fewer.
std::string header_field(const std::string& header, std::size_t index) {
    std::size_t start = 0;
    for (std::size_t k = 0; k < index; ++k) {
        start = header.find(',', start);
        if (start == std::string::npos) {
            return std::string();
        }
        ++start;
    }
    return header.substr(start, header.find(',', start) - start);
}

// Where a data line went wrong, for the end of a message: the line number, the column (1-based,
// the identifier's is 1) with its header name, the sample and the text found there.
std::string where(std::size_t line_number, const std::string& header, std::size_t column,
                  const std::string& id, const char* at, const char* end) {
    const char* stop = std::find(at, end, ',');
    std::string found(at, std::min<std::size_t>(static_cast<std::size_t>(stop - at), 24));
    if (static_cast<std::size_t>(stop - at) > found.size()) {
        found += "...";
    }
    return " (line " + std::to_string(line_number) + ", column " + std::to_string(column) + " \"" +
           header_field(header, column - 1).substr(0, 40) + "\", sample \"" + id.substr(0, 40) +
           "\", found \"" + found + "\")";
}

// The names of the value columns as a header line, for the messages of a quoted table.
std::string join_names(const std::vector<std::string>& names) {
    std::string line;
    for (std::size_t k = 0; k < names.size(); ++k) {
        line += (k > 0 ? "," : "") + names[k];
    }
    return line;
}

} // namespace

std::string csv_separator_hint(const std::string& header) {
    // Names with decimal commas ("m4000,5;m3998,5") hold as many commas as separators; a ';' in
    // one name of a comma-separated header is no separator.
    const auto count = [&](char c) { return std::count(header.begin(), header.end(), c); };
    const auto commas = count(',');
    const char* const found = count(';') > 0 && count(';') >= commas     ? "';'"
                              : count('\t') > 0 && count('\t') >= commas ? "tabs"
                                                                         : nullptr;
    if (found == nullptr) {
        return std::string();
    }
    return std::string("\nThe header is separated by ") + found +
           ": values must be separated by ',' with '.' for the decimal point.";
}

CsvSpectraReader::CsvSpectraReader(const std::string& path, unsigned threads,
                                   std::uint64_t whole_bytes)
    : path_(path), threads_(threads) {
    boost::system::error_code status_error;
    if (boost::filesystem::is_directory(path, status_error)) {
        fail("Can't open file: " + path);
    }
    in_.open(native_path(path), std::ios::binary);
    if (!in_) {
        fail("Can't open file: " + path);
    }
    if (!read_header_line(in_, header_, path)) {
        fail("Can't read header from csv file: " + path);
    }
    if (header_.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        header_.erase(0, 3); // a byte order mark, as spreadsheets save "CSV UTF-8"
    }
    quoted_ = header_.find('"') != std::string::npos;
    fields_ = count_header_fields(header_);
    if (quoted_) {
        std::size_t position = 0;
        std::size_t lines = 0;
        try {
            next_csv_record(header_, position, names_, lines);
        } catch (const std::runtime_error& e) {
            fail("The header of the csv file is not well formed: " + std::string(e.what()) + ": " +
                 path);
        }
        row_names_ = names_.size() > 2 && names_[0].empty() && names_[1] == "SSN";
        if (row_names_) {
            names_.erase(names_.begin());
        }
        fields_ = names_.size();
    }
    if (fields_ == 0) {
        fail("Header of the csv file is empty: " + path);
    }
    if (fields_ == 1) {
        fail("Expected at least one column of doubles in csv file: " + path +
             csv_separator_hint(header_));
    }
    if (!quoted_) {
        names_ = split_csv_fields(header_);
        names_.resize(fields_);
    }
    names_.erase(names_.begin());
    // A table that fits is read whole, on two threads: reading ahead a batch at a time on one
    // thread took as long as reading its values on two.
    if (!in_) {
        at_end_ = true;
        return;
    }
    const std::streamoff header_bytes = in_.tellg();
    std::string why;
    if (header_bytes >= 0 && whole_bytes > 0) {
        whole_ = WholeFile::read(path, whole_bytes, why);
    }
    if (whole_ && static_cast<std::size_t>(header_bytes) <= whole_->size()) {
        whole_text_ = std::string_view(whole_->data(), whole_->size())
                          .substr(static_cast<std::size_t>(header_bytes));
        whole_read_ = true;
        at_end_ = true;
        in_.close();
    } else {
        whole_.reset();
    }
}

bool CsvSpectraReader::read_quoted_line(SpectraTable& block) {
    if (!row_names_ && line_.find('"') == std::string::npos) {
        return false;
    }
    std::size_t position = 0;
    std::size_t lines = 0;
    try {
        next_csv_record(line_, position, fields_of_line_, lines);
    } catch (const std::runtime_error& e) {
        fail("Line " + std::to_string(line_number_) +
             " of the csv file is not well formed: " + e.what() + ": " + path_);
    }
    const std::size_t first = row_names_ ? 1 : 0;
    if (fields_of_line_.size() != fields_ + first) {
        fail("Expected " + std::to_string(fields_ - 1) + " values in file: " + path_ + " (line " +
             std::to_string(line_number_) + " has " +
             std::to_string(fields_of_line_.size() > first + 1 ? fields_of_line_.size() - first - 1
                                                               : 0) +
             ")");
    }
    block.ids.push_back(fields_of_line_[first]);
    std::vector<double> row;
    row.reserve(fields_ - 1);
    for (std::size_t k = first + 1; k < fields_of_line_.size(); ++k) {
        const std::string& field = fields_of_line_[k];
        const char* p = skip_space(field.data(), field.data() + field.size());
        const char* const end = field.data() + field.size();
        double value = 0.0;
        const char* const start = p;
        if (!scan_stream_double(p, end, value) || skip_space(p, end) != end) {
            fail("Expected <double> in file: " + path_ +
                 where(line_number_, "SSN," + join_names(names_), k - first + 1, block.ids.back(),
                       start, end));
        }
        row.push_back(value);
    }
    block.rows.push_back(std::move(row));
    return true;
}

namespace {

// What every plain data line is checked against.
struct PlainLayout {
    const std::string& path;
    const std::string& header;
    std::size_t values; // per line, after the identifier
};

// One data line without quotes: its identifier, then exactly `values` numbers separated by
// commas (spaces around them allowed). Raises the reader's message naming `line_number`.
void read_plain_line(const PlainLayout& layout, std::string_view line, std::size_t line_number,
                     std::string& id, std::vector<double>& row) {
    if (line.empty()) {
        fail("Expected ssn entry in file: " + layout.path + " (line " +
             std::to_string(line_number) + " is empty)");
    }
    const std::size_t comma = line.find(',');
    id.assign(line.substr(0, comma));
    // Each value takes at least two characters of the line, so a header claiming a huge width
    // cannot make the reservation outgrow the line itself.
    row.clear();
    row.reserve(std::min(layout.values, line.size() / 2 + 1));

    const char* p = line.data() + (comma == std::string_view::npos ? line.size() : comma + 1);
    const char* const end = line.data() + line.size();
    for (std::size_t k = 0; k < layout.values; ++k) {
        if (k > 0) {
            p = skip_space(p, end);
            if (p == end || *p != ',') {
                fail("Expected ',' in file: " + layout.path +
                     where(line_number, layout.header, k + 2, id, p, end) +
                     (p == end ? "; the header has " + std::to_string(layout.values) +
                                     " columns of values, this line " + std::to_string(k)
                               : std::string()) +
                     csv_separator_hint(layout.header));
            }
            ++p;
        }
        p = skip_space(p, end);
        double value = 0.0;
        const char* const field = p;
        if (!scan_stream_double(p, end, value)) {
            fail("Expected <double> in file: " + layout.path +
                 where(line_number, layout.header, k + 2, id, field, end) +
                 csv_separator_hint(layout.header));
        }
        row.push_back(value);
    }
    if (p != end) {
        std::ostringstream message;
        message << "Not the whole line parsed, file: " << layout.path << '\n'
                << "  expected number of doubles:" << layout.values << '\n'
                << "  at line " << line_number << ", sample \"" << id.substr(0, 40)
                << "\", found \"" << std::string(p, std::min<std::size_t>(end - p, 24))
                << "\" after the last value\n";
        fail(message.str());
    }
}

// Text read ahead and handed out in lines of about this many bytes together: a batch of lines
// is worth sharing between threads (a job on 31 MB of text took 0.23 s with batches of 8 MB,
// 0.30 s with batches of 2 MB), and its buffer is allocated once.
constexpr std::size_t batch_bytes = std::size_t{8} << 20;
constexpr std::size_t read_bytes = std::size_t{1} << 20;
// Fewer bytes than this are read on one thread: a thread costs more than they take.
constexpr std::size_t bytes_per_thread = std::size_t{256} << 10;

} // namespace

bool CsvSpectraReader::next_lines(std::size_t most) {
    if (!whole_read_) {
        text_.reserve(batch_bytes + read_bytes);
        text_.erase(0, text_begin_);
        scan_ -= text_begin_;
        text_begin_ = 0;
    }
    lines_.clear();
    std::size_t start = text_begin_;
    while (lines_.size() < most && start - text_begin_ < batch_bytes) {
        const std::string_view text = this->text();
        const char* const found =
            scan_ < text.size() ? static_cast<const char*>(
                                      std::memchr(text.data() + scan_, '\n', text.size() - scan_))
                                : nullptr;
        if (found != nullptr) {
            // A line ended by LF loses the CR before it; the last line of a file keeps one.
            const std::size_t stop = static_cast<std::size_t>(found - text.data());
            const bool carriage = stop > start && text[stop - 1] == '\r';
            lines_.push_back({start, stop - start - (carriage ? 1 : 0)});
            start = stop + 1;
            scan_ = start;
            continue;
        }
        scan_ = text.size();
        if (at_end_) {
            if (start < text.size()) {
                lines_.push_back({start, text.size() - start});
                start = text.size();
                scan_ = start;
            }
            break;
        }
        const std::size_t held = text_.size();
        text_.resize(held + read_bytes);
        in_.read(text_.data() + held, static_cast<std::streamsize>(read_bytes));
        text_.resize(held + static_cast<std::size_t>(in_.gcount()));
        if (in_.bad()) {
            fail("Expected <row> in csv file: " + path_);
        }
        at_end_ = !in_;
    }
    text_begin_ = start;
    return !lines_.empty();
}

void CsvSpectraReader::read_lines(SpectraTable& block) {
    const std::size_t first = block.rows.size();
    if (quoted_) {
        // Rare and small: one line after another.
        for (const LineSpan& span : lines_) {
            ++line_number_;
            line_.assign(text().substr(span.offset, span.length));
            if (line_.empty()) {
                fail("Expected ssn entry in file: " + path_ + " (line " +
                     std::to_string(line_number_) + " is empty)");
            }
            if (!read_quoted_line(block)) {
                block.ids.emplace_back();
                block.rows.emplace_back();
                read_plain_line({path_, header_, fields_ - 1}, line_, line_number_,
                                block.ids.back(), block.rows.back());
            }
        }
        return;
    }
    const std::size_t count = lines_.size();
    block.ids.resize(first + count);
    block.rows.resize(first + count);
    const std::size_t bytes = lines_.back().offset + lines_.back().length - lines_.front().offset;
    const std::size_t wanted = threads_ != 0 ? threads_ : std::thread::hardware_concurrency();
    const std::size_t workers =
        std::clamp<std::size_t>(std::min(wanted, bytes / bytes_per_thread), 1, count);
    // Each worker reads a run of neighbouring lines and stops at its first error; the error of
    // the earliest line is the one raised, as reading them in turn would have raised it.
    const PlainLayout layout{path_, header_, fields_ - 1};
    const std::string_view text = this->text();
    for_runs(count, workers, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            read_plain_line(layout, text.substr(lines_[i].offset, lines_[i].length),
                            line_number_ + 1 + i, block.ids[first + i], block.rows[first + i]);
        }
    });
    line_number_ += count;
}

void CsvSpectraReader::let_go_of_whole_text() {
    if (whole_read_ && text_begin_ == whole_text_.size()) {
        whole_.reset();
        whole_text_ = std::string_view();
        text_begin_ = 0;
        scan_ = 0;
    }
}

std::size_t CsvSpectraReader::read(SpectraTable& block, std::size_t count) {
    block.ids.clear();
    block.rows.clear();
    while (block.rows.size() < count && next_lines(count - block.rows.size())) {
        read_lines(block);
    }
    let_go_of_whole_text();
    if (line_number_ == 1) {
        std::ostringstream message;
        message << "There is no data in file "
                << "(only header with " << fields_ << " entries)";
        fail(message.str());
    }
    return block.rows.size();
}

std::size_t CsvSpectraReader::skip(std::size_t count) {
    std::size_t skipped = 0;
    while (skipped < count && next_lines(count - skipped)) {
        skipped += lines_.size();
        line_number_ += lines_.size();
    }
    let_go_of_whole_text();
    return skipped;
}

std::size_t CsvSpectraReader::count_samples() const {
    if (!whole_read_) {
        return count_csv_samples(path_);
    }
    std::size_t lines = 0;
    const char* p = whole_text_.data();
    const char* const end = p + whole_text_.size();
    while (p != end && (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
        ++lines;
        ++p;
    }
    return whole_text_.empty() || whole_text_.back() == '\n' ? lines : lines + 1;
}

std::size_t count_csv_samples(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    std::string header;
    if (!in || !read_header_line(in, header, path)) {
        return 0;
    }
    std::size_t lines = 0;
    std::vector<char> buffer(read_bytes);
    char last = '\n';
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        const char* p = buffer.data();
        const char* const end = p + in.gcount();
        while ((p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr) {
            ++lines;
            ++p;
        }
        last = end[-1];
    }
    return last == '\n' ? lines : lines + 1;
}

SpectraTable read_spectra_csv(const std::string& path) {
    CsvSpectraReader reader(path);
    SpectraTable table;
    reader.read(table, std::numeric_limits<std::size_t>::max());
    table.names = reader.names();
    return table;
}

SpectraTable table_from_columns(const SpectraColumns& columns,
                                const std::vector<std::string>& ids) {
    if (columns.empty()) {
        throw std::out_of_range("invalid vector<T> subscript");
    }
    SpectraTable table;
    const std::size_t row_count = columns.front().size();
    table.rows.reserve(row_count);
    for (std::size_t i = 0; i < row_count; ++i) {
        std::vector<double> row;
        row.reserve(columns.size());
        for (const std::vector<double>& column : columns) {
            if (i >= column.size()) {
                throw std::out_of_range("invalid vector<T> subscript");
            }
            row.push_back(column[i]);
        }
        table.rows.push_back(std::move(row));
    }
    table.ids = ids;
    return table;
}

SpectraColumns columns_from_table(const SpectraTable& table) {
    if (table.rows.empty()) {
        throw std::out_of_range("invalid vector<T> subscript");
    }
    const std::size_t width = table.rows.front().size();
    SpectraColumns columns(width);
    for (std::vector<double>& column : columns) {
        column.reserve(table.rows.size());
    }
    for (const std::vector<double>& row : table.rows) {
        if (row.size() < width) {
            throw std::out_of_range("invalid vector<T> subscript");
        }
        for (std::size_t j = 0; j < width; ++j) {
            columns[j].push_back(row[j]);
        }
    }
    return columns;
}

std::vector<std::string> read_csv_header(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    std::string line;
    if (!read_header_line(in, line, path)) {
        throw std::runtime_error("Can't read header from csv file: " + path);
    }
    std::vector<std::string> fields = split_csv_fields(line);
    fields.resize(count_header_fields(line));
    return fields;
}

bool read_csv_line(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) {
        return false;
    }
    if (!in.eof() && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

std::vector<std::string> split_csv_fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        if (comma == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
}

} // namespace veldra
