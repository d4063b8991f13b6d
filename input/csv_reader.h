#pragma once

#include "input/spectra_table.h"
#include "text/platform.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// Limits of a header, so that a hostile one cannot exhaust memory: far above any spectrum.
constexpr std::size_t largest_csv_columns = 1000000;
constexpr std::size_t largest_csv_header_bytes = std::size_t{64} << 20;

// Reads a CSV table of spectra: a header whose field count N fixes the width, then one line per
// sample holding an identifier and exactly N - 1 numbers. LF and CR LF line ends read alike.
// Tables as R's write.csv and spreadsheets save them read too: a byte order mark before the
// header is skipped, and in a table whose header holds a double quote, fields are read as
// RFC 4180 quotes them ("s001", "a ""b""", "x,y" on one line) and a first column of row names
// (an empty first name before "SSN") is left out.
// Every problem raises std::runtime_error with the complete message for the user; a header
// beyond the limits above is one.
SpectraTable read_spectra_csv(const std::string& path);

// The same table read a few samples at a time, so that a large one need not fit in memory:
// the same checks and messages, with the line numbers of the whole file.
class CsvSpectraReader {
public:
    // Opens the file and reads its header; raises as `read_spectra_csv` does. The values of a
    // few megabytes of lines are read on `threads` threads together (0: one per core). A file
    // of at most `whole_bytes` is read whole at once; a larger one, or a pipe, a batch at a time.
    explicit CsvSpectraReader(const std::string& path, unsigned threads = 0,
                              std::uint64_t whole_bytes = std::uint64_t{64} << 20);

    // The header's names of the value columns.
    const std::vector<std::string>& names() const { return names_; }
    std::size_t width() const { return fields_ - 1; }

    // Replaces the block's identifiers and rows with the next at most `count` samples and
    // returns how many there were (0 at the end). Raises for a file without any sample.
    std::size_t read(SpectraTable& block, std::size_t count);

    // Passes over the next `count` lines without reading their values; returns how many there
    // were.
    std::size_t skip(std::size_t count);

    // The samples of the whole table, as `count_csv_samples` counts them; before any is read.
    std::size_t count_samples() const;

private:
    std::string path_;
    std::ifstream in_;
    std::string header_;
    std::size_t fields_ = 0;
    std::vector<std::string> names_;
    unsigned threads_ = 0;
    // The file's text after the header: read whole at once (let go once every line is handed
    // out), or read ahead into text_. lines_ are the next lines handed out, as places in text();
    // what lies before text_begin_ has been handed out, scan_ is where the search for the next
    // line end goes on.
    std::unique_ptr<WholeFile> whole_;
    std::string_view whole_text_;
    bool whole_read_ = false;
    std::string_view text() const { return whole_read_ ? whole_text_ : std::string_view(text_); }
    struct LineSpan {
        std::size_t offset;
        std::size_t length;
    };
    std::string text_;
    std::size_t text_begin_ = 0;
    std::size_t scan_ = 0;
    bool at_end_ = false;
    std::vector<LineSpan> lines_;
    std::string line_;
    std::size_t line_number_ = 1; // of the last line handed out
    bool quoted_ = false;         // the header holds a double quote: RFC 4180 fields
    bool row_names_ = false;      // and a first column of row names before "SSN"
    std::vector<std::string> fields_of_line_;
    // Lets go of a table read whole once every line of it is handed out.
    void let_go_of_whole_text();
    // The next at most `most` lines (and a few megabytes) into lines_; false at the end.
    bool next_lines(std::size_t most);
    // The values of lines_ appended to the block.
    void read_lines(SpectraTable& block);
    // One line of a quoted table into the block (false when it holds no quote and reads as
    // any other line).
    bool read_quoted_line(SpectraTable& block);
};

// The samples of a CSV table as the reader would meet them: the lines after the header, a last
// line without a line end included. 0 when the file cannot be read.
std::size_t count_csv_samples(const std::string& path);

// Rebuilds a table from in-memory columns (column j, entry i is value j of sample i); the
// identifiers are taken unchanged. Raises std::out_of_range when there is no column or a
// column is shorter than the first.
SpectraTable table_from_columns(const SpectraColumns& columns, const std::vector<std::string>& ids);

// The in-memory form of a table: as many columns as the first row has values, column j holding
// value j of every row. Raises std::out_of_range "invalid vector<T> subscript" for a table
// without rows or with a row shorter than the first; values beyond the first row's length are
// not kept.
SpectraColumns columns_from_table(const SpectraTable& table);

// The fields of a CSV file's header line, split as the reader counts them.
std::vector<std::string> read_csv_header(const std::string& path);

// One line of a CSV file without its line end: a carriage return directly before the line feed
// is dropped, so CR LF files read like LF files. False at the end of the file.
bool read_csv_line(std::istream& in, std::string& line);

// For the end of a message about a header separated by semicolons or tabs, as spreadsheets set to
// a language with decimal commas save "CSV": "\nThe header is separated by ';': values must be
// separated by ',' with '.' for the decimal point."; "" for a comma-separated header.
std::string csv_separator_hint(const std::string& header);

// The fields of one line, split at every ',' (a line without one is one field).
std::vector<std::string> split_csv_fields(const std::string& line);

} // namespace veldra
