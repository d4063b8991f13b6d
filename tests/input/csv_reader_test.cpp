#include "input/csv_reader.h"

#include "tests/support/temp_dir.h"

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

// The message of the std::runtime_error that reading `content` raises, or "" when it reads.
std::string csv_error(const TempDir& dir, const std::string& content) {
    const std::string path = dir.write("in.csv", content);
    try {
        read_spectra_csv(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(CsvReader, ReadsTheDocumentedExample) {
    TempDir dir;
    const std::string path = dir.write(
        "ex.csv", "SSN,m4000,m3998,m3996\ns001,0.512,0.498, 0.487\ns002 ,1e-1,0.2 ,0.3\n");
    const SpectraTable table = read_spectra_csv(path);
    ASSERT_EQ(table.ids, (std::vector<std::string>{"s001", "s002 "}));
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[0], (std::vector<double>{0.512, 0.498, 0.487}));
    EXPECT_EQ(table.rows[1], (std::vector<double>{0.1, 0.2, 0.3}));
}

TEST(CsvReader, AcceptedForms) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> ids;
        std::vector<std::vector<double>> rows;
    };
    const std::vector<Case> cases = {
        {"CR LF line ends", "SSN,a,b\r\ns1,1,2\r\ns2,3,4\r\n", {"s1", "s2"}, {{1, 2}, {3, 4}}},
        {"no final line feed", "SSN,a,b\ns1,1,2", {"s1"}, {{1, 2}}},
        {"CR LF without final line feed", "SSN,a,b\r\ns1,1,2", {"s1"}, {{1, 2}}},
        {"header ending in a comma counts three fields", "SSN,a,b,\ns1,5,6\n", {"s1"}, {{5, 6}}},
        {"blanks around commas", "SSN,a,b\ns1 , 1 ,2\n", {"s1 "}, {{1, 2}}},
        {"tabs and other whitespace before values",
         "SSN,a,b\ns1,\t\v\f1\t,\r2\n",
         {"s1"},
         {{1, 2}}},
        {"identifier with quotes and spaces",
         "SSN,a\n\"my sample\" 7,-3\n",
         {"\"my sample\" 7"},
         {{-3}}},
        {"empty identifier", "SSN,a\n,8\n", {""}, {{8}}},
        {"number forms",
         "SSN,a,b,c,d,e,f\nx,+1.5,-.25,3.,1E3,2e-2,007\n",
         {"x"},
         {{1.5, -0.25, 3.0, 1000.0, 0.02, 7.0}}},
        {"underflow reads as zero", "SSN,a,b\nx,1e-400,-1e-999\n", {"x"}, {{0.0, -0.0}}},
        {"empty header fields count", "SSN,,a\nx,1,2\n", {"x"}, {{1, 2}}},
        {"trailing empty field does not count", "SSN,,\nx,1\n", {"x"}, {{1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SpectraTable table = read_spectra_csv(dir.write("ok.csv", c.content));
        EXPECT_EQ(table.ids, c.ids);
        EXPECT_EQ(table.rows, c.rows);
    }
}

// R's write.csv quotes the header and the identifiers (and adds a column of row names unless
// told not to); spreadsheets' "CSV UTF-8" starts with a byte order mark and ends lines in CR LF.
// Each gives the table of the plain file, names included.
TEST(CsvReader, TablesAsRAndSpreadsheetsWriteThemReadAsThePlainOne) {
    TempDir dir;
    const SpectraTable plain = read_spectra_csv(
        dir.write("plain.csv", "SSN,wn_4000,wn_3998\ns001,0.5,1e-3\ns002,2,-0.25\n"));
    const std::vector<std::pair<const char*, std::string>> forms = {
        {"write.csv", "\"\",\"SSN\",\"wn_4000\",\"wn_3998\"\n\"1\",\"s001\",0.5,0.001\n"
                      "\"2\",\"s002\",2,-0.25\n"},
        {"write.csv, row.names = FALSE", "\"SSN\",\"wn_4000\",\"wn_3998\"\n\"s001\",0.5,1e-3\n"
                                         "\"s002\",\"2\",-0.25\n"},
        {"CSV UTF-8",
         "\xEF\xBB\xBF\"SSN\",wn_4000,wn_3998\r\ns001,0.5,0.001\r\n\"s002\", 2 ,-0.25\r\n"},
        {"a byte order mark alone",
         "\xEF\xBB\xBFSSN,wn_4000,wn_3998\ns001,0.5,1e-3\ns002,2,-0.25\n"},
    };
    for (const auto& [name, content] : forms) {
        SCOPED_TRACE(name);
        const SpectraTable table = read_spectra_csv(dir.write("form.csv", content));
        EXPECT_EQ(table.ids, plain.ids);
        EXPECT_EQ(table.rows, plain.rows);
        EXPECT_EQ(table.names, plain.names);
    }
    // Identifiers holding commas and quotes, as RFC 4180 quotes them.
    const SpectraTable awkward = read_spectra_csv(
        dir.write("awkward.csv", "\"SSN\",\"a\"\n\"plot 3, depth 10\",1\n\"say \"\"hi\"\"\",2\n"));
    EXPECT_EQ(awkward.ids, (std::vector<std::string>{"plot 3, depth 10", "say \"hi\""}));
    EXPECT_EQ(csv_error(dir, "\"SSN\",\"a\",\"b\"\n\"s1\",1,x\n"),
              "Expected <double> in file: " + dir.file("in.csv") +
                  " (line 2, column 3 \"b\", sample \"s1\", found \"x\")");
    EXPECT_EQ(csv_error(dir, "\"SSN\",\"a\",\"b\"\n\"s1\",1\n"),
              "Expected 2 values in file: " + dir.file("in.csv") + " (line 2 has 1)");
    EXPECT_EQ(csv_error(dir, "\"SSN\",\"a\"\n\"s1,1\n"),
              "Line 2 of the csv file is not well formed: a quoted field is not closed: " +
                  dir.file("in.csv"));
}

TEST(CsvReader, EachErrorHasItsMessage) {
    TempDir dir;
    const std::string p = dir.file("in.csv");
    struct Case {
        const char* name;
        std::string content;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty file", "", "Can't read header from csv file: " + p},
        {"empty header line", "\ns1,1\n", "Header of the csv file is empty: " + p},
        {"header of one field", "SSN\ns1\n",
         "Expected at least one column of doubles in csv file: " + p},
        {"one comma only", ",\ns1\n", "Expected at least one column of doubles in csv file: " + p},
        // Errors in a data line say where: line, column and its name, sample, what was found.
        {"too many values", "SSN,a,b\ns1,1,2,3\n",
         "Not the whole line parsed, file: " + p +
             "\n  expected number of doubles:2\n  at line 2, sample \"s1\", found \",3\" after "
             "the last value\n"},
        {"too few values", "SSN,a,b\ns1,1\n",
         "Expected ',' in file: " + p +
             " (line 2, column 3 \"b\", sample \"s1\", found \"\"); the header has 2 columns of "
             "values, this line 1"},
        {"wrong separator", "SSN,a,b\ns1,1;2\n",
         "Expected ',' in file: " + p + " (line 2, column 3 \"b\", sample \"s1\", found \";2\")"},
        // A spreadsheet set to a language with decimal commas saves ';' or tabs: the message
        // says so.
        {"semicolons", "SSN;m4000.5;m3998.5\ns1;0.5;0.6\n",
         "Expected at least one column of doubles in csv file: " + p +
             "\nThe header is separated by ';': values must be separated by ',' with '.' for the "
             "decimal point."},
        {"semicolons and decimal commas", "SSN;m4000,5;m3998,5\ns1;0,5;0,6\n",
         "Expected ',' in file: " + p +
             " (line 2, column 3 \"5\", sample \"s1;0\", found \";0\")\nThe header is "
             "separated by ';': values must be separated by ',' with '.' for the decimal point."},
        {"tabs", "SSN\tm4000\tm3998\ns1\t0.5\t0.6\n",
         "Expected at least one column of doubles in csv file: " + p +
             "\nThe header is separated by tabs: values must be separated by ',' with '.' for "
             "the decimal point."},
        {"a semicolon in a name only", "SSN,a;1,b\ns1,1,x\n",
         "Expected <double> in file: " + p +
             " (line 2, column 3 \"b\", sample \"s1\", found \"x\")"},
        {"NA", "SSN,a,b\ns0,1,2\ns1,1,NA\n",
         "Expected <double> in file: " + p +
             " (line 3, column 3 \"b\", sample \"s1\", found \"NA\")"},
        {"nan", "SSN,a,b\ns1,nan,1\n",
         "Expected <double> in file: " + p +
             " (line 2, column 2 \"a\", sample \"s1\", found \"nan\")"},
        {"inf", "SSN,a,b\ns1,1,inf\n",
         "Expected <double> in file: " + p +
             " (line 2, column 3 \"b\", sample \"s1\", found \"inf\")"},
        {"empty field", "SSN,a,b\ns1,,1\n",
         "Expected <double> in file: " + p +
             " (line 2, column 2 \"a\", sample \"s1\", found \"\")"},
        {"exponent without digits", "SSN,a,b\ns1,1e,1\n",
         "Expected <double> in file: " + p +
             " (line 2, column 2 \"a\", sample \"s1\", found \"1e\")"},
        {"overflow", "SSN,a,b\ns1,1e400,1\n",
         "Expected <double> in file: " + p +
             " (line 2, column 2 \"a\", sample \"s1\", found \"1e400\")"},
        {"no comma in the data line", "SSN,a,b\ns1\n",
         "Expected <double> in file: " + p +
             " (line 2, column 2 \"a\", sample \"s1\", found \"\")"},
        {"blank after the last number", "SSN,a,b\ns1,1,2 \n",
         "Not the whole line parsed, file: " + p +
             "\n  expected number of doubles:2\n  at line 2, sample \"s1\", found \" \" after "
             "the last value\n"},
        {"two carriage returns", "SSN,a,b\ns1,1,2\r\r\n",
         "Not the whole line parsed, file: " + p +
             "\n  expected number of doubles:2\n  at line 2, sample \"s1\", found \"\r\" after "
             "the last value\n"},
        {"thousands separator", "SSN,a\ns1,1'000\n",
         "Not the whole line parsed, file: " + p +
             "\n  expected number of doubles:1\n  at line 2, sample \"s1\", found \"'000\" after "
             "the last value\n"},
        {"hexadecimal", "SSN,a\ns1,0x1A\n",
         "Not the whole line parsed, file: " + p +
             "\n  expected number of doubles:1\n  at line 2, sample \"s1\", found \"x1A\" after "
             "the last value\n"},
        {"blank line between rows", "SSN,a,b\ns1,1,2\n\ns2,3,4\n",
         "Expected ssn entry in file: " + p + " (line 3 is empty)"},
        {"two final line feeds", "SSN,a,b\ns1,1,2\n\n",
         "Expected ssn entry in file: " + p + " (line 3 is empty)"},
        {"CR LF blank line", "SSN,a,b\r\ns1,1,2\r\n\r\n",
         "Expected ssn entry in file: " + p + " (line 3 is empty)"},
        {"header only", "SSN,a,b\n", "There is no data in file (only header with 3 entries)"},
        {"header only without line feed", "SSN,a",
         "There is no data in file (only header with 2 entries)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(csv_error(dir, c.content), c.message) << c.name;
    }
}

TEST(CsvReader, MissingFileAndFolderCannotBeOpened) {
    TempDir dir;
    const std::string missing = dir.file("nothing.csv");
    EXPECT_THROW(
        {
            try {
                read_spectra_csv(missing);
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), "Can't open file: " + missing);
                throw;
            }
        },
        std::runtime_error);
    try {
        read_spectra_csv(dir.path().string());
        FAIL() << "a folder read as a CSV file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Can't open file: " + dir.path().string());
    }
}

TEST(CsvReader, HostileFilesEndInAMessage) {
    TempDir dir;
    const std::string p = dir.file("in.csv");

    // Binary noise with NUL bytes and no structure.
    std::mt19937 random(7);
    std::string noise(1 << 16, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random() & 0xff);
    }
    noise[0] = 'S'; // a header field at least, so the data lines are reached
    noise[1] = ',';
    const std::string noise_message = csv_error(dir, noise);
    EXPECT_FALSE(noise_message.empty());
    EXPECT_NE(noise_message.find(p), std::string::npos);

    // One line of 100 MB: a single number far beyond the double range.
    std::string huge = "SSN,a\ns1,";
    huge.append(100u << 20, '9');
    EXPECT_EQ(csv_error(dir, huge), "Expected <double> in file: " + p +
                                        " (line 2, column 2 \"a\", sample \"s1\", found "
                                        "\"999999999999999999999999...\")");

    // A header of 100,000 fields against a row one value short, then a full row.
    std::string header = "SSN";
    std::string full_row = "s1";
    for (int k = 1; k < 100000; ++k) {
        header += ",v" + std::to_string(k);
        full_row += "," + std::to_string(k % 97);
    }
    const std::string short_row = full_row.substr(0, full_row.rfind(','));
    EXPECT_EQ(csv_error(dir, header + "\n" + short_row + "\n"),
              "Expected ',' in file: " + p +
                  " (line 2, column 100000 \"v99999\", sample \"s1\", found \"\"); the header has "
                  "99999 columns of values, this line 99998");
    const SpectraTable wide = read_spectra_csv(dir.write("wide.csv", header + "\n" + full_row));
    ASSERT_EQ(wide.rows.size(), 1u);
    ASSERT_EQ(wide.rows[0].size(), 99999u);
    EXPECT_EQ(wide.rows[0][0], 1.0);
    EXPECT_EQ(wide.rows[0][99998], 99999 % 97);

    // Headers beyond the limits are refused as they are read, before their whole length is
    // held: more columns than any spectrum, or a single field of tens of megabytes.
    std::string many(largest_csv_columns + 2, ','); // "S" and 1,000,001 commas
    many[0] = 'S';
    EXPECT_EQ(csv_error(dir, many + "\ns1,1\n"),
              "The header of the csv file has more than 1000000 columns: " + p);
    EXPECT_EQ(csv_error(dir, std::string(largest_csv_header_bytes + 1, 'x') + ",a\n"),
              "The header of the csv file is longer than 64 MB: " + p);
    EXPECT_THROW(read_csv_header(dir.write("many.csv", many)), std::runtime_error);
}

// 100,000 samples: every row is read, and the rows take no more room than their values.
TEST(CsvReader, AHundredThousandSamples) {
    TempDir dir;
    std::string text = "SSN,a,b,c,d\n";
    for (int i = 0; i < 100000; ++i) {
        text += "s" + std::to_string(i) + "," + std::to_string(i) + ",0.5,-1e-3,7\n";
    }
    const SpectraTable table = read_spectra_csv(dir.write("big.csv", text));
    ASSERT_EQ(table.rows.size(), 100000u);
    EXPECT_EQ(table.ids.back(), "s99999");
    EXPECT_EQ(table.rows.back()[0], 99999.0);
    std::size_t capacity = 0;
    for (const std::vector<double>& row : table.rows) {
        capacity += row.capacity();
    }
    EXPECT_EQ(capacity, 4u * 100000u);
}

TEST(CsvReader, InBlocksAsWhole) {
    TempDir dir;
    std::string text = "SSN,a,b\r\n";
    for (int i = 0; i < 10; ++i) {
        text += "s" + std::to_string(i) + "," + std::to_string(i) + ".5, -" + std::to_string(i) +
                (i == 9 ? "" : "\r\n"); // the last line without a line end
    }
    const std::string path = dir.write("in.csv", text);
    EXPECT_EQ(count_csv_samples(path), 10u);
    EXPECT_EQ(count_csv_samples(dir.write("two.csv", "SSN,a\nx,1\ny,2\n")), 2u);
    EXPECT_EQ(count_csv_samples(dir.write("none.csv", "SSN,a\n")), 0u);
    EXPECT_EQ(count_csv_samples(dir.file("missing.csv")), 0u);
    for (const std::uint64_t whole : {std::uint64_t{1} << 20, std::uint64_t{0}}) {
        EXPECT_EQ(CsvSpectraReader(path, 0, whole).count_samples(), 10u);
        EXPECT_EQ(CsvSpectraReader(dir.file("two.csv"), 0, whole).count_samples(), 2u);
        EXPECT_EQ(CsvSpectraReader(dir.file("none.csv"), 0, whole).count_samples(), 0u);
    }

    const SpectraTable whole = read_spectra_csv(path);
    for (const std::size_t block : {1u, 3u, 4u, 10u, 11u}) {
        CsvSpectraReader reader(path);
        EXPECT_EQ(reader.width(), 2u);
        EXPECT_EQ(reader.names(), (std::vector<std::string>{"a", "b"}));
        SpectraTable part;
        SpectraTable joined;
        while (reader.read(part, block) > 0) {
            EXPECT_LE(part.rows.size(), block);
            joined.ids.insert(joined.ids.end(), part.ids.begin(), part.ids.end());
            joined.rows.insert(joined.rows.end(), part.rows.begin(), part.rows.end());
        }
        EXPECT_EQ(joined.ids, whole.ids) << block;
        EXPECT_EQ(joined.rows, whole.rows) << block;
    }
    // Skipped lines are not read, and still counted in the line numbers of messages.
    CsvSpectraReader reader(dir.write("bad.csv", "SSN,a\nx,1\ny,oops\nz,2\nw,zz\n"));
    EXPECT_EQ(reader.skip(2), 2u);
    SpectraTable part;
    EXPECT_EQ(reader.read(part, 1), 1u);
    EXPECT_EQ(part.ids, std::vector<std::string>{"z"});
    try {
        reader.read(part, 5);
        ADD_FAILURE() << "line 5 read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("(line 5, column 2 \"a\", sample \"w\""),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(reader.skip(3), 0u);
    CsvSpectraReader empty(dir.file("none.csv"));
    EXPECT_THROW(empty.read(part, 4), std::runtime_error);
}

// A table of 12 MB is read in batches of lines shared between threads: on any number of
// threads and in any block size it reads as on one, its line numbers run on across batches and
// threads, and of several bad lines the first is the one named, wherever the others lie.
TEST(CsvReader, LinesSharedBetweenThreadsReadAsInTurn) {
    TempDir dir;
    constexpr int samples = 700;
    constexpr int values = 1000;
    std::vector<std::string> lines;
    std::string header = "SSN";
    for (int k = 0; k < values; ++k) {
        header += ",w" + std::to_string(k);
    }
    for (int i = 0; i < samples; ++i) {
        std::string line = "s" + std::to_string(i);
        for (int k = 0; k < values; ++k) {
            line += "," + std::to_string(i) + "." + std::to_string(1000000000000 + k);
        }
        lines.push_back(line);
    }
    const auto table_text = [&](const std::vector<std::pair<int, std::string>>& replaced) {
        std::vector<std::string> text_lines = lines;
        for (const auto& [index, line] : replaced) {
            text_lines[static_cast<std::size_t>(index)] = line;
        }
        std::string text = header + "\r\n";
        for (const std::string& line : text_lines) {
            text += line + "\r\n";
        }
        return text;
    };
    const std::string path = dir.write("big.csv", table_text({}));
    ASSERT_GT(boost::filesystem::file_size(path), std::uintmax_t{10} << 20); // more than a batch
    for (const unsigned threads : {1u, 2u, 3u}) {
        for (const std::size_t block : {7u, 1000u}) {
            // Read whole, and read a megabyte at a time: lines and CR LF cut by the reads.
            for (const std::uint64_t whole : {std::uint64_t{64} << 20, std::uint64_t{0}}) {
                CsvSpectraReader reader(path, threads, whole);
                EXPECT_EQ(reader.count_samples(), std::size_t{samples});
                SpectraTable part;
                std::size_t seen = 0;
                while (reader.read(part, block) > 0) {
                    for (std::size_t i = 0; i < part.rows.size(); ++i, ++seen) {
                        ASSERT_EQ(part.ids[i], "s" + std::to_string(seen));
                        ASSERT_EQ(part.rows[i].size(), std::size_t{values});
                        EXPECT_EQ(part.rows[i][999],
                                  std::stod(std::to_string(seen) + ".1000000000999"))
                            << threads << " threads, block " << block << ", whole " << whole;
                    }
                }
                EXPECT_EQ(seen, std::size_t{samples});
            }
        }
    }
    // Lines 2 to 701 are samples 0 to 699; a batch holds about 450 of them.
    const std::string bad_value = "s7,1,x";
    const std::string short_line = "s9,1";
    for (const unsigned threads : {1u, 2u}) {
        const auto message = [&](const std::vector<std::pair<int, std::string>>& replaced) {
            const std::string bad = dir.write("bad.csv", table_text(replaced));
            try {
                CsvSpectraReader reader(bad, threads, threads == 1 ? 0 : std::uint64_t{64} << 20);
                SpectraTable part;
                while (reader.read(part, 1000) > 0) {
                }
            } catch (const std::runtime_error& e) {
                return std::string(e.what());
            }
            return std::string();
        };
        const std::string p = dir.file("bad.csv");
        const std::string at_100 = "Expected <double> in file: " + p +
                                   " (line 101, column 3 \"w1\", sample \"s7\", found \"x\")";
        EXPECT_EQ(message({{99, bad_value}, {350, short_line}}), at_100);
        EXPECT_EQ(message({{350, short_line}, {99, bad_value}, {500, ""}}), at_100);
        EXPECT_EQ(message({{350, ""}, {500, bad_value}}),
                  "Expected ssn entry in file: " + p + " (line 352 is empty)");
        EXPECT_EQ(message({{500, short_line}, {590, bad_value}}),
                  "Expected ',' in file: " + p +
                      " (line 502, column 3 \"w1\", sample \"s9\", found \"\"); the header has "
                      "1000 columns of values, this line 1");
    }
}

TEST(TableFromColumns, TransposesColumnsAndKeepsIdentifiersUnchanged) {
    const SpectraTable table = table_from_columns({{1, 2, 3}, {4, 5, 6}}, {"a", "b"});
    EXPECT_EQ(table.ids, (std::vector<std::string>{"a", "b"})); // counts are not compared
    EXPECT_EQ(table.rows, (std::vector<std::vector<double>>{{1, 4}, {2, 5}, {3, 6}}));

    // Rows follow the first column; a longer later column is cut, a shorter one fails.
    EXPECT_EQ(table_from_columns({{1}, {2, 3}}, {"a"}).rows,
              (std::vector<std::vector<double>>{{1, 2}}));
    const auto expect_subscript_error = [](const SpectraColumns& columns) {
        try {
            table_from_columns(columns, {"a"});
            ADD_FAILURE() << "no error";
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "invalid vector<T> subscript");
        }
    };
    expect_subscript_error({});
    expect_subscript_error({{1, 2}, {3}});
    EXPECT_TRUE(table_from_columns({{}}, {}).rows.empty());
}

} // namespace
} // namespace veldra
