#include "text/csv_record.h"

#include "tests/support/error_text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

std::vector<std::vector<std::string>> records(const std::string& text,
                                              std::size_t* lines = nullptr) {
    std::vector<std::vector<std::string>> all;
    std::vector<std::string> fields;
    std::size_t position = 0;
    std::size_t counted = 0;
    while (next_csv_record(text, position, fields, counted)) {
        all.push_back(fields);
    }
    if (lines != nullptr) {
        *lines = counted;
    }
    return all;
}

using Records = std::vector<std::vector<std::string>>;

TEST(CsvRecord, FieldsAreQuotedOnlyWhenTheyMustBe) {
    EXPECT_EQ(csv_field("soil 7"), "soil 7");
    EXPECT_EQ(csv_field(""), "");
    EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csv_field("cr\r"), "\"cr\r\"");
    // Whatever is written reads back as itself.
    for (const std::string& text :
         {std::string("a,b"), std::string("\"\""), std::string("x\r\ny"), std::string(",")}) {
        EXPECT_EQ(records(csv_field(text) + ",z\n"), (Records{{text, "z"}})) << text;
    }
}

TEST(CsvRecord, RecordsAsSpreadsheetsAndRWriteThem) {
    std::size_t lines = 0;
    EXPECT_EQ(records("a,b\r\n\"c,1\",\"d\"\"\"\n\"e\nf\",\n,", &lines),
              (Records{{"a", "b"}, {"c,1", "d\""}, {"e\nf", ""}, {"", ""}}));
    EXPECT_EQ(lines, 5u);
    EXPECT_EQ(records("x\n\ny"), (Records{{"x"}, {""}, {"y"}}));
    EXPECT_EQ(records("a\rb,c\n"), (Records{{"a\rb", "c"}})); // a lone CR is text
    EXPECT_EQ(records(""), Records{});
    EXPECT_EQ(test::error_text([] { records("a,\"open\n"); }), "a quoted field is not closed");
    EXPECT_EQ(test::error_text([] { records("\"a\"b,c\n"); }),
              "text after the closing quote of a field");
}

} // namespace
} // namespace veldra
