#include "bart/forest_prediction.h"
#include "bart/model_document.h"
#include "bart/plain_document.h"
#include "tests/reference/reference_prediction.h"

#include "tests/support/temp_dir.h"
#include "tools/model_tree_generator.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::TempDir;

// Every node's fields, tree by tree.
std::string describe(const Forest& forest) {
    std::ostringstream out;
    out.precision(17); // every bit of every number
    out << "trees " << forest.node_lists.size() << " current " << forest.current_tree << "\n";
    for (const auto& nodes : forest.node_lists) {
        out << "[";
        for (const TreeNode& n : nodes) {
            out << n.flag_t << n.is_leaf << n.flag_n << " " << n.leaf_value << " " << n.depth << " "
                << n.has_depth << " " << n.split_variable << " " << n.cut_value << ";";
        }
        out << "]\n";
    }
    return out.str();
}

// What reading a document gives: its nodes or the error raised, and what was printed. The
// document is read into `reused` after clearing it, when given, or into a new forest.
// The notices of a reading as the job logs them, one line each.
std::string notices(const Forest& forest) {
    std::string text;
    for (std::size_t n = 0; n < forest.missing_subtrees; ++n) {
        text += std::string(missing_subtree_notice) + "\n";
    }
    return text;
}

std::string outcome(const std::string& path, test::Reader reader, Forest* reused = nullptr) {
    std::ostringstream out;
    Forest fresh;
    Forest& forest = reused != nullptr ? *reused : fresh;
    try {
        forest.clear();
        test::read_with(reader, path, forest);
        out << describe(forest);
    } catch (const std::exception& e) {
        out << "error " << typeid(e).name() << ": " << e.what();
    }
    out << "printed: " << notices(forest);
    return out.str();
}

// Both readers give the same; so does the fast reader into a forest that held, or failed to
// read, other documents before.
void expect_same(const std::string& path, Forest* reused = nullptr) {
    const std::string reference = outcome(path, test::Reader::reference);
    ASSERT_EQ(outcome(path, test::Reader::fast), reference) << path;
    if (reused != nullptr) {
        ASSERT_EQ(outcome(path, test::Reader::fast, reused), reference) << path;
    }
}

TEST(ModelDocument, FastAndReferenceReadersAgreeOnGeneratedModels) {
    TempDir dir;
    Forest reused; // larger and smaller documents in turn
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        std::mt19937_64 random(seed);
        const int trees = static_cast<int>(seed % 2 == 0 ? 1 + seed * 7 : 90 - seed * 7);
        const std::string path = dir.write("m" + std::to_string(seed) + ".json",
                                           tools::make_forest_document(trees, 3578, random));
        expect_same(path, &reused);
        ASSERT_NE(outcome(path, test::Reader::fast).find("trees "), std::string::npos);
    }
}

TEST(ModelDocument, FastAndReferenceReadersAgreeOnEveryRuleAndError) {
    TempDir dir;
    const std::vector<std::string> documents = {
        R"({})",
        R"([])",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":5}})",
        R"({"T":{"Depth":1,"TBN":"110","Mu":7},"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":3}})",
        R"({"Tree":1,"T":{"Depth":"1","Var":1,"ORDRule":"0","TBN":"101","S":[{"Depth":2.7,"TBN":"110","Mu":1},{"Depth":" 2","TBN":"110","Mu":"2"}]}})",
        R"({"n":{"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":50}},"Tree":1,"T":{"Depth":1,"n":[1,{"Depth":9}],"TBN":"110","Mu":5,"X":{"Depth":1,"Mu":9}}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":1,"ORDRule":"x<=-1","TBN":"101","S":[{"Depth":2,"TBN":"110","Mu":1},{"Depth":2,"TBN":"110","Mu":2}]}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":1,"TBN":"101","ORDRule":"0","S":{"a":{"Depth":2,"Mu":1e-2},"b":{"Depth":2,"Mu":-0.5E+1}}}})",
        R"({"Tree":1,"a":{"Depth":1,"Var":1,"ORDRule":"0","TBN":"101"},"b":{"Depth":2,"TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":1,"ORDRule":"0","TBN":"101","Mu":{"a":{"Depth":2,"Mu":1}}}})",
        R"([{"Tree":true},{"Depth":null,"Mu":false}])",
        R"({"Tree":1,"T":{"Depth":"x1","TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":2147483648,"TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":"x"}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":1e999}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"11","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":{"a":1},"TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"1\u0031\u0030","Mu":"\u0032"}})",
        R"({"Tr\u0065e":1,"T":{"Depth":1,"TBN":"110","Mu":1}})",
        // Left to the reference after a notice: the notice is printed once.
        R"({"Tree":1,"U":{"Depth":1,"Var":1,"ORDRule":"0","TBN":"101"},"x":"\u0041","T":{"Depth":1.5,"TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":1}} trailing)",
        // Numbers the parser converts itself: extremes, signed zeros, integers in other forms.
        R"({"Tree":1,"T":{"Depth":-0,"Var":1,"ORDRule":-0,"TBN":"101","S":[{"Depth":1E0,"TBN":"110","Mu":-0},{"Depth":2,"TBN":"110","Mu":-0.0}]}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":1,"ORDRule":-0,"TBN":"101","S":[{"Depth":2,"TBN":"110","Mu":-0},{"Depth":2,"TBN":"110","Mu":0}]}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":2.0,"ORDRule":0.5,"TBN":"101","S":[{"Depth":2,"TBN":"110","Mu":1e-400},{"Depth":2,"TBN":"110","Mu":4.9e-324}]}})",
        R"({"Tree":1,"T":{"Depth":1,"Var":1e0,"ORDRule":2.4703282292062328e-324,"TBN":110,"Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":1.7976931348623158e308},"Tree":1,"U":{"Depth":1,"TBN":"110","Mu":1.7976931348623159e308}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":18446744073709551615},"Tree":1,"U":{"Depth":1,"TBN":"110","Mu":-9223372036854775808}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":123456789012345678901234567890},"Tree":1,"U":{"Depth":9007199254740993,"Mu":0.1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","n":1.5,"Other":2.5e3,"Mu":0.30000000000000004}})",

        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":01}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":1},})",
        R"(5)",
        R"("text")",
        "",
        "\xEF\xBB\xBF{\"Tree\":1}",
        "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"110\",\"Mu\":\"\xFF\"}}",
    };
    // Documents the first readers give up on after taking nodes come after others here, so the
    // reused forest shows that nothing of an earlier or abandoned read is left.
    Forest reused;
    for (std::size_t k = 0; k < documents.size(); ++k) {
        expect_same(dir.write("d" + std::to_string(k) + ".json", documents[k]), &reused);
    }
    expect_same(dir.file("missing.json"));
}

// What the one-pass reader gives for `text`: the nodes, or "not plain", and what it printed.
std::string plain_outcome(std::string text) {
    Forest forest;
    const std::size_t size = text.size();
    text.push_back('\0');
    const bool read = read_plain_document(std::string_view(text.data(), size), forest);
    const std::string printed = notices(forest);
    return (read ? describe(forest) : "not plain\n") + "printed: " + printed;
}

std::string reference_outcome(const TempDir& dir, const std::string& text) {
    return outcome(dir.write("reference.json", text), test::Reader::reference);
}

// Real documents are read in one pass with the reference's result; anything the pass cannot
// give exactly as the reference (escapes, other bytes, invalid JSON, an error of the walk) is
// declined with nothing printed, and the other readers take it.
TEST(ModelDocument, OnePassReaderTakesPlainDocumentsAndDeclinesTheRest) {
    TempDir dir;
    std::mt19937_64 random(5);
    std::vector<std::string> plain = {
        tools::make_forest_document(40, 3578, random),
        "\t\r\n {\"Tree\":1,\"T\" : {\"Depth\":1,\"TBN\":\"110\",\"Mu\":-0.0}, \"x\":\"\x7f ~\"}\n",
        R"([{"Tree":1,"n":[true,false,null,{}],"T":{"Depth":1,"Var":"2","ORDRule":"x<=0.5","TBN":"101","S":[{"Depth":2,"TBN":"110","Mu":1E+2},{"Depth":2,"TBN":"110","Mu":-25e-1}]}}])",
        // An internal node without a subtree: the notice is printed once the pass succeeds.
        R"({"Tree":1,"T":{"Depth":1,"Var":1,"ORDRule":"0","TBN":"101"},"U":{"Depth":1,"TBN":"101"}})",
        std::string(deepest_model_nesting, '[') + std::string(deepest_model_nesting, ']'),
    };
    for (const std::string& text : plain) {
        const std::string got = plain_outcome(text);
        EXPECT_EQ(got.substr(0, 6), "trees ") << text.substr(0, 80);
        EXPECT_EQ(got, reference_outcome(dir, text)) << text.substr(0, 80);
    }
    EXPECT_EQ(std::count(plain[3].begin(), plain[3].end(), 'T'), 4);
    EXPECT_NE(plain_outcome(plain[3]).find("printed: INFO : No subtree in intermediate node? "
                                           "Something wrong...\n"),
              std::string::npos);

    const std::vector<std::string> declined = {
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":"\u0032"}})",
        "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"110\",\"Mu\":1},\"x\":\"\xC3\xA9\"}",
        "{\"x\":\"\x01\"}",
        "\xEF\xBB\xBF{}",
        "{}\f",
        "{} x",
        "{}{}",
        "5",
        "",
        "{\"a\":1\0}",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":01}})",
        R"({"a":-})",
        R"({"a":1.})",
        R"({"a":1e})",
        R"({"a":.5})",
        R"({"a":+1})",
        R"({"a":tru})",
        R"({"a":1,})",
        R"([1,])",
        R"({"a" 1})",
        R"({a:1})",
        R"({"a":1)",
        R"({"a":[1 2]})",
        std::string(deepest_model_nesting + 1, '[') + std::string(deepest_model_nesting + 1, ']'),
        // Errors of the walk, after a notice that must not be printed twice.
        R"({"Tree":1,"U":{"Depth":1,"Var":1,"ORDRule":"0","TBN":"101"},"T":{"Depth":"x1","TBN":"110","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"11","Mu":1}})",
        R"({"Tree":1,"T":{"Depth":1,"TBN":"110","Mu":1e999}})",
    };
    for (const std::string& text : declined) {
        EXPECT_EQ(plain_outcome(text), "not plain\nprinted: ") << text;
    }
}

// Random damage to a valid document: both readers must still agree, whatever happens.
TEST(ModelDocument, FastAndReferenceReadersAgreeOnDamagedDocuments) {
    TempDir dir;
    std::mt19937_64 random(99);
    const std::string original = tools::make_forest_document(3, 50, random);
    const std::string alphabet = "{}[]:,\"0123456789.eE-+ntrufalsTBNMuDepthVar\\ \n";
    for (int n = 0; n < 3000; ++n) {
        std::string damaged = original;
        const int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = random() % damaged.size();
            switch (random() % 3) {
            case 0:
                damaged[at] = alphabet[random() % alphabet.size()];
                break;
            case 1:
                damaged.erase(at, 1 + random() % 4);
                break;
            default:
                damaged.insert(at, 1, alphabet[random() % alphabet.size()]);
            }
        }
        expect_same(dir.write("damaged.json", damaged));
    }
}

// Nesting and size bounds: at the nesting limit both readers agree; beyond it, and for a
// document nested a million levels, both give the limit's message instead of exhausting the
// stack; a file over the size limit is not loaded.
TEST(ModelDocument, LimitsOfNestingAndSize) {
    TempDir dir;
    const auto nested = [](std::size_t levels) {
        std::string text = "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"110\",\"Mu\":2},\"x\":";
        text += std::string(levels - 1, '[') + "1" + std::string(levels - 1, ']') + "}";
        return text;
    };
    for (const std::size_t levels : {deepest_model_nesting - 1, deepest_model_nesting}) {
        const std::string path = dir.write("ok.json", nested(levels));
        expect_same(path);
        ASSERT_NE(outcome(path, test::Reader::fast).find("trees 2"), std::string::npos);
    }
    for (const std::size_t levels : {deepest_model_nesting + 1, std::size_t{1000000}}) {
        const std::string path = dir.write("deep.json", nested(levels));
        expect_same(path);
        EXPECT_NE(outcome(path, test::Reader::fast)
                      .find("\"" + path + "\" nests deeper than 512 levels."),
                  std::string::npos);
    }
    const std::string big = dir.write("big.json", "{}");
    boost::filesystem::resize_file(big, largest_model_bytes + 1);
    EXPECT_NE(outcome(big, test::Reader::fast).find("\"" + big + "\" is larger than 256 MB."),
              std::string::npos);
}

} // namespace
} // namespace veldra
