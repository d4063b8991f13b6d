#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "bart/forest_prediction.h"
#include "tests/reference/reference_prediction.h"
#include "tests/support/error_text.h"
#include "tools/model_tree_generator.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::error_text;

// A leaf and an internal node as the documents write them.
std::string leaf(int depth, const std::string& mu) {
    return "{\"Depth\":" + std::to_string(depth) + ",\"TBN\":\"110\",\"Mu\":" + mu + "}";
}
std::string split(int depth, int variable, const std::string& rule, const std::string& left,
                  const std::string& right) {
    return "{\"Depth\":" + std::to_string(depth) + ",\"Var\":" + std::to_string(variable) +
           ",\"ORDRule\":\"" + rule + "\",\"TBN\":\"101\",\"S\":[" + left + "," + right + "]}";
}

// Forest sums of one document for each row. The flat forest used for fast evaluation, built
// from the node lists by itself, must raise the same errors and give the same sums, for the row
// as it is and for its first derivative taken on the fly.
std::vector<double> sums(const std::string& json, const std::vector<std::vector<double>>& rows) {
    Forest forest;
    test::read_forest_text(json, forest);
    std::unique_ptr<FlatForest> built;
    const std::string flat_error =
        error_text([&] { built = std::make_unique<FlatForest>(forest, "model.json"); });
    try {
        forest.build_trees("model.json");
    } catch (const std::exception& e) {
        EXPECT_EQ(e.what(), flat_error);
        throw;
    }
    EXPECT_EQ(flat_error, "no error");
    const FlatForest& flat = *built;
    EXPECT_EQ(flat.largest_split_variable(), forest.largest_split_variable());
    std::vector<double> out;
    for (const auto& row : rows) {
        EXPECT_EQ(error_text([&] { flat.check_row(row.size(), "model.json"); }),
                  error_text([&] { forest.check_row(row.size(), "model.json"); }));
        forest.check_row(row.size(), "model.json");
        const double sum = test::reference_forest_sum(forest, row.data());
        EXPECT_EQ(std::isnan(sum), std::isnan(flat.predict(row, false)));
        if (!std::isnan(sum)) {
            EXPECT_EQ(flat.predict(row, false), sum);
        }
        std::vector<double> derivative(row.size(), 0.0);
        for (std::size_t i = 0; i + 1 < row.size(); ++i) {
            derivative[i] = row[i + 1] - row[i];
        }
        EXPECT_EQ(flat.predict(row, true), test::reference_forest_sum(forest, derivative.data()));
        out.push_back(sum);
    }
    return out;
}

const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(Forest, SumsTreesWithTiesNanAndNonPositiveVariablesGoingLeft) {
    const std::string json =
        "{\"Tree\":1,\"T\":" + split(1, 2, "x<=0.5", leaf(2, "1"), leaf(2, "2")) +
        ",\"Tree\":2,\"T\":" + leaf(1, "0.25") +
        ",\"Tree\":3,\"T\":" + split(1, 0, "x<=-5", leaf(2, "10"), leaf(2, "20")) +
        ",\"Tree\":4,\"T\":" + split(1, -1, "x<=-5", leaf(2, "100"), leaf(2, "200")) + "}";
    EXPECT_EQ(sums(json, {{0, 0.5}, {0, 0.6}, {0, nan}, {9, -9}}),
              (std::vector<double>{111.25, 112.25, 111.25, 111.25}));
}

TEST(Forest, DepthsDecideWhereTheRightSubtreeBegins) {
    // Pre-order depths 1, 2, 3, 3, 2: the root's left child is node 2 (children 3 and 4), its
    // right child node 5. Flat containers in one array exercise the depth rule alone.
    const std::string json =
        "{\"Tree\":1,\"T\":" +
        split(1, 1, "x<=0", split(2, 2, "x<=0", leaf(3, "1"), leaf(3, "2")), leaf(2, "4")) + "}";
    EXPECT_EQ(sums(json, {{-1, -1}, {-1, 1}, {1, -1}}), (std::vector<double>{1, 2, 4}));

    Forest forest;
    test::read_forest_text(json, forest);
    forest.build_trees();
    ASSERT_EQ(forest.node_lists.size(), 2u);
    const std::vector<TreeNode>& nodes = forest.node_lists[1];
    ASSERT_EQ(nodes.size(), 6u);
    EXPECT_EQ(forest.roots[1], &nodes[1]);
    EXPECT_EQ(nodes[1].left, &nodes[2]);
    EXPECT_EQ(nodes[1].right, &nodes[5]);
    EXPECT_EQ(nodes[2].left, &nodes[3]);
    EXPECT_EQ(nodes[2].right, &nodes[4]);
    EXPECT_EQ(nodes[4].parent, &nodes[2]);
    EXPECT_EQ(nodes[5].left, nullptr);
    EXPECT_EQ(forest.largest_split_variable(), 2);
}

TEST(Forest, ReadingWalkRules) {
    struct Case {
        const char* name;
        std::string json;
        double expected; // sum for the row (1, 1)
    };
    const std::string simple = split(1, 1, "x<=0", leaf(2, "1"), leaf(2, "2"));
    const std::vector<Case> cases = {
        {"no tree at all", "{\"T\":" + leaf(1, "7") + "}", 0.0},
        {"nodes before the first Tree are ignored",
         "{\"T\":" + leaf(1, "7") + ",\"Tree\":1,\"T\":" + leaf(1, "3") + "}", 3.0},
        {"repeated keys keep document order",
         "{\"Tree\":1,\"T\":" + leaf(1, "3") + ",\"Tree\":1,\"T\":" + leaf(1, "4") + "}", 7.0},
        {"Depth as number, string and 2.7",
         "{\"Tree\":1,\"T\":{\"Depth\":\"1\",\"Var\":1,\"ORDRule\":\"0\",\"TBN\":\"101\",\"S\":["
         "{\"Depth\":2.7,\"TBN\":\"110\",\"Mu\":1},{\"Depth\":\" "
         "2\",\"TBN\":\"110\",\"Mu\":\"2\"}]}}",
         2.0},
        {"ORDRule texts",
         "{\"Tree\":1,\"T\":" + split(1, 1, "=0.5", leaf(2, "1"), leaf(2, "2")) +
             ",\"Tree\":2,\"T\":" + split(1, 1, "1", leaf(2, "10"), leaf(2, "20")) +
             ",\"Tree\":3,\"T\":" + split(1, 1, "y=1=2", leaf(2, "100"), leaf(2, "200")) + "}",
         112.0},
        {"an n entry is skipped with everything in it",
         "{\"n\":{\"Tree\":1,\"T\":" + leaf(1, "50") + "},\"Tree\":1,\"T\":" + leaf(1, "3") + "}",
         3.0},
        {"an n entry inside a node keeps its fields",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"n\":{\"Depth\":9},\"TBN\":\"110\",\"Mu\":5}}", 5.0},
        {"entries after Mu are not read",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"110\",\"Mu\":5,\"X\":" + leaf(1, "9") + "}}",
         5.0},
        {"entries after the subtree container are not read",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"0\",\"TBN\":\"101\",\"S\":[" +
             leaf(2, "1") + "," + leaf(2, "2") + "],\"X\":" + leaf(2, "9") + "}}",
         2.0},
        {"TBN counts its first three characters",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"TBN\":\"1101\",\"Mu\":6}}", 6.0},
        {"a rule of exactly -1 is no rule: the subtree's leaves become the nodes",
         "{\"Tree\":1,\"T\":" + split(1, 1, "x<=-1", leaf(2, "1"), leaf(2, "2")) + "}", 1.0},
        {"TBN before ORDRule does not complete the node",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"TBN\":\"101\",\"ORDRule\":\"0\",\"S\":[" +
             leaf(2, "1") + "," + leaf(2, "2") + "]}}",
         1.0},
        {"the subtree container's key does not matter",
         "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"0\",\"TBN\":\"101\",\"Mu\":{"
         "\"a\":" +
             leaf(2, "1") + ",\"b\":" + leaf(2, "2") + "}}}",
         2.0},
        {"a plain forest", "{\"Tree\":1,\"T\":" + simple + "}", 2.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sums(c.json, {{1, 1}}), std::vector<double>{c.expected}) << c.name;
    }
}

TEST(Forest, AResetNodeIsAFreshOne) {
    TreeNode node;
    TreeNode other;
    node = {2.5, 5.5, &other, &other, &other, 3, 4, false, false, true, true};
    node.reset();
    const TreeNode fresh;
    const auto fields = [](const TreeNode& n) {
        return std::make_tuple(n.flag_t, n.is_leaf, n.flag_n, n.leaf_value, n.depth,
                               n.split_variable, n.cut_value, n.parent, n.left, n.right,
                               n.has_depth);
    };
    EXPECT_EQ(fields(node), fields(fresh));
}

TEST(Forest, InternalNodeWithoutSubtreePrintsTheNoticeAndBuildsByDepth) {
    const std::string json = "{\"Tree\":1,\"a\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"0\","
                             "\"TBN\":\"101\"},\"b\":" +
                             leaf(2, "1") + ",\"c\":" + leaf(2, "2") + "}";
    Forest forest;
    test::read_forest_text(json, forest);
    EXPECT_EQ(forest.missing_subtrees, 1u); // one notice for the job to log
    EXPECT_EQ(sums(json, {{-1}, {1}}), (std::vector<double>{1, 2}));
}

template <class Error>
std::string error_of(const std::string& json, const std::vector<double>& row = {1, 1}) {
    try {
        sums(json, {row});
    } catch (const Error& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong type: ") + e.what();
    }
    return "no error";
}

TEST(Forest, DocumentErrorsHaveTheirTexts) {
    const auto node = [](const std::string& fields) {
        return "{\"Tree\":1,\"T\":{" + fields + "}}";
    };
    EXPECT_EQ(error_of<std::invalid_argument>(node("\"Depth\":\"x1\",\"TBN\":\"110\",\"Mu\":1")),
              "invalid stoi argument");
    EXPECT_EQ(error_of<std::out_of_range>(node("\"Depth\":2147483648,\"TBN\":\"110\",\"Mu\":1")),
              "stoi argument out of range");
    EXPECT_EQ(
        error_of<std::invalid_argument>(node("\"Depth\":1,\"Var\":\"\",\"TBN\":\"110\",\"Mu\":1")),
        "invalid stoi argument");
    EXPECT_EQ(error_of<std::invalid_argument>(node("\"Depth\":1,\"TBN\":\"110\",\"Mu\":\"x\"")),
              "invalid stod argument");
    EXPECT_EQ(error_of<std::out_of_range>(node("\"Depth\":1,\"TBN\":\"110\",\"Mu\":1e999")),
              "stod argument out of range");
    EXPECT_EQ(
        error_of<std::invalid_argument>(node("\"Depth\":1,\"ORDRule\":\"x<=\",\"TBN\":\"101\"")),
        "invalid stod argument");
    EXPECT_EQ(error_of<std::out_of_range>(node("\"Depth\":1,\"TBN\":\"11\",\"Mu\":1")),
              "invalid string position");
    EXPECT_EQ(error_of<std::out_of_range>("{\"Tree\":1,\"Tree\":2,\"T\":" + leaf(1, "1") + "}"),
              "invalid vector<T> subscript");
}

// Trees too large to scan for right children: a complete tree of 127 nodes routes every row
// to its leaf, and a deep tree built to make the search quadratic is built in no time.
TEST(Forest, LargeTreesFindTheirRightChildrenByDepth) {
    const std::function<std::string(int, int)> complete = [&](int depth, int path) {
        if (depth == 7) {
            return leaf(depth, std::to_string(path));
        }
        return split(depth, depth, "0.5", complete(depth + 1, 2 * path),
                     complete(depth + 1, 2 * path + 1));
    };
    Forest forest;
    test::read_forest_text("{\"Tree\":1,\"T\":" + complete(1, 0) + "}", forest);
    forest.build_trees("model.json");
    ASSERT_EQ(forest.node_lists[1].size(), 128u);
    for (int bits = 0; bits < 64; ++bits) {
        std::vector<double> row(6);
        for (int d = 0; d < 6; ++d) {
            row[static_cast<std::size_t>(d)] = (bits >> (5 - d)) & 1;
        }
        EXPECT_EQ(test::reference_forest_sum(forest, row.data()), bits);
        EXPECT_EQ(FlatForest(forest).predict(row, false), bits);
    }

    // A spine of internal nodes at depths 1..n, each going left to the next, then the right
    // children (leaves) at depths n..2: in pre-order each right child lies at the far end, so
    // a scan for it would take n^2 / 2 steps.
    const int n = 100000;
    std::string spine = "{\"Tree\":1";
    for (int d = 1; d < n; ++d) {
        spine += ",\"T\":{\"Depth\":" + std::to_string(d) +
                 ",\"Var\":1,\"ORDRule\":\"0.5\",\"TBN\":\"101\"},\"n\":0";
    }
    spine += ",\"T\":" + leaf(n, "-7");
    for (int d = n; d >= 2; --d) {
        spine += ",\"T\":" + leaf(d, std::to_string(d));
    }
    EXPECT_EQ(sums(spine + "}", {{0.0}, {1.0}}), (std::vector<double>{-7.0, 2.0}));
}

TEST(Forest, ChecksKeepEvaluationInsideTheRowAndTheLinks) {
    // An unknown key inside a node resets it, so its depth is lost.
    EXPECT_EQ(error_of<std::runtime_error>(
                  "{\"Tree\":1,\"T\":" + leaf(1, "1") +
                  ",\"Tree\":2,\"T\":{\"Depth\":1,\"depth\":0,\"TBN\":\"110\",\"Mu\":3}}"),
              "Model file \"model.json\", tree 2: a node has no \"Depth\".");
    // An internal node whose right child never comes.
    EXPECT_EQ(error_of<std::runtime_error>(
                  "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"0\",\"TBN\":\"101\","
                  "\"S\":[" +
                  leaf(2, "1") + "]}}"),
              "Model file \"model.json\", tree 1: an internal node has no children.");
    // Variable 3 against rows of two values.
    EXPECT_EQ(
        error_of<std::runtime_error>(
            "{\"Tree\":1,\"T\":" + split(1, 3, "0", leaf(2, "1"), leaf(2, "2")) + "}"),
        "Model file \"model.json\" needs covariate 3, but the input has 2 values per sample.");
}

// A thread reads file after file into one cleared forest and rebuilds one flat forest in place:
// each document, larger or smaller than the one before, failing or not, gives what a new forest
// gives, with nothing of earlier documents left.
TEST(Forest, ClearedAndRebuiltForestsGiveWhatNewOnesGive) {
    const std::string deep = split(1, 1, "x<=0", split(2, 2, "x<=0", leaf(3, "1"), leaf(3, "2")),
                                   split(2, 3, "x<=0", leaf(3, "4"), leaf(3, "8")));
    std::string large = "{";
    for (int t = 1; t <= 30; ++t) {
        large += (t > 1 ? ",\"Tree\":" : "\"Tree\":") + std::to_string(t) + ",\"T\":" + deep;
    }
    large += "}";
    const std::vector<std::string> documents = {
        large,
        "{\"Tree\":1,\"T\":" + leaf(1, "16") + "}",
        // A node before the first tree lands in the placeholder list.
        "{\"T\":" + leaf(1, "32") + ",\"Tree\":1,\"T\":" + leaf(1, "64") + "}",
        "{\"Tree\":1,\"T\":{\"Var\":1,\"TBN\":\"110\",\"Mu\":1}}", // no "Depth"
        large,
        "{\"Tree\":1,\"T\":{\"Depth\":1,\"Var\":1,\"ORDRule\":\"0\",\"TBN\":\"101\",\"S\":[" +
            leaf(2, "1") + "]}}", // no right child
        "{\"Tree\":1,\"T\":" + split(1, 2, "x<=0", leaf(2, "128"), leaf(2, "256")) + "}",
        "{}",
    };
    const std::vector<std::vector<double>> rows = {{-1, -1, -1}, {1, -1, 1}, {-1, 1, 1}};
    // What one forest gives: trees, nodes per tree, then each row's sum, or the error raised.
    const auto result = [&](const Forest& forest, const FlatForest& flat) {
        std::string text = std::to_string(forest.node_lists.size()) + " trees:";
        for (const std::vector<TreeNode>& nodes : forest.node_lists) {
            text += " " + std::to_string(nodes.size());
        }
        for (const std::vector<double>& row : rows) {
            text += " " + std::to_string(flat.predict(row, false));
        }
        return text + " largest " + std::to_string(flat.largest_split_variable());
    };
    const auto outcome = [](const std::function<std::string()>& run) {
        std::string text;
        const std::string error = error_text([&] { text = run(); });
        return error == "no error" ? text : "error: " + error;
    };
    Forest reused;
    FlatForest rebuilt;
    std::size_t failed = 0;
    for (const std::string& json : documents) {
        Forest fresh;
        test::read_forest_text(json, fresh);
        const std::string expected =
            outcome([&] { return result(fresh, FlatForest(fresh, "model.json")); });
        reused.clear();
        test::read_forest_text(json, reused);
        EXPECT_EQ(outcome([&] {
                      rebuilt.rebuild(reused, "model.json");
                      return result(reused, rebuilt);
                  }),
                  expected)
            << json.substr(0, 60);
        failed += expected.rfind("error: ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(failed, 2u);
}

// Blocks of rows against generated forests (trees of every depth the generator makes): each
// lane, with and without wide vectors, gets exactly the sum Forest::predict gives its row. Some
// rows tie with cuts or hold NaN; blocks are full, partial, or of rows of several lengths.
TEST(Forest, EveryLaneOfABlockGetsItsRowsSum) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> value(-0.02, 0.02);
    for (int document = 0; document < 12; ++document) {
        Forest forest;
        test::read_forest_text(tools::make_forest_document(60, 30, random), forest);
        const FlatForest flat(forest, "model.json");
        forest.build_trees("model.json");
        std::vector<std::vector<double>> rows(21);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            rows[r].resize(document % 3 == 2 && r % 8 == 3 ? 31 : 30);
            for (double& v : rows[r]) {
                v = value(random);
            }
            // A tie with the cut of some internal node, and now and then a NaN.
            const std::vector<TreeNode>& nodes = forest.node_lists[1 + r % 60];
            for (const TreeNode& node : nodes) {
                if (!node.is_leaf && node.split_variable >= 1 && random() % 2 == 0) {
                    rows[r][static_cast<std::size_t>(node.split_variable) - 1] = node.cut_value;
                }
            }
            if (r % 7 == 4) {
                rows[r][random() % 30] = nan;
            }
        }
        for (const bool derivative : {false, true}) {
            FlatForest::RowBlock block;
            for (std::size_t first = 0; first < rows.size(); first += FlatForest::lanes) {
                const std::size_t count = std::min(FlatForest::lanes, rows.size() - first);
                block.prepare(rows, first, count, derivative);
                for (const bool wide : {false, true}) {
                    double sums[FlatForest::lanes];
                    flat.predict(block, sums, wide);
                    for (std::size_t l = 0; l < count; ++l) {
                        std::vector<double> row = rows[first + l];
                        if (derivative) {
                            for (std::size_t i = 0; i + 1 < row.size(); ++i) {
                                row[i] = row[i + 1] - row[i];
                            }
                            row.back() = 0.0;
                        }
                        const double expected = test::reference_forest_sum(forest, row.data());
                        EXPECT_TRUE(sums[l] == expected ||
                                    (std::isnan(sums[l]) && std::isnan(expected)))
                            << "document " << document << ", row " << first + l << ", wide " << wide
                            << ", derivative " << derivative;
                    }
                }
            }
        }
    }
}

TEST(ForestPrediction, FirstDerivativeAndRangeScaling) {
    // Bits of the sum reveal each derivative value: (1, 3, 6) becomes (2, 3, 0).
    const std::string json =
        "{\"Tree\":1,\"T\":" + split(1, 1, "1.5", leaf(2, "0"), leaf(2, "1")) +
        ",\"Tree\":2,\"T\":" + split(1, 2, "2.5", leaf(2, "0"), leaf(2, "2")) +
        ",\"Tree\":3,\"T\":" + split(1, 3, "-0.5", leaf(2, "0"), leaf(2, "4")) +
        ",\"Tree\":4,\"T\":" + leaf(1, "-0.5") + "}";
    const RangeScaling unit{0.0, 1.0}; // y = s + 0.5
    EXPECT_EQ(test::predict_with_forest(json, {{1, 3, 6}}, unit, true), (std::vector<double>{7}));
    EXPECT_EQ(test::predict_with_forest(json, {{1, 3, 6}}, unit, false), (std::vector<double>{6}));
    EXPECT_EQ(test::predict_with_forest(json, {{1, 1, -6}}, unit, true),
              (std::vector<double>{4})); // (0, -7, 0)
    EXPECT_EQ(test::predict_with_forest(json, {{1, 1, -6}}, unit, false), (std::vector<double>{0}));
    EXPECT_EQ(test::predict_with_forest(json, {{2, 4, 7}}, unit, false),
              (std::vector<double>{7})); // (2, 4, 7) as it is

    const RangeScaling zero_to_ten{0.0, 10.0};
    const auto single_leaf = [](const std::string& mu) {
        return "{\"Tree\":1,\"T\":" + leaf(1, mu) + "}";
    };
    EXPECT_EQ(test::predict_with_forest(single_leaf("-0.5"), {{0}}, zero_to_ten, false)[0], 0.0);
    EXPECT_EQ(test::predict_with_forest(single_leaf("0"), {{0}}, zero_to_ten, false)[0], 5.0);
    EXPECT_EQ(test::predict_with_forest(single_leaf("0.5"), {{0}}, zero_to_ten, false)[0], 10.0);
    EXPECT_EQ(test::predict_with_forest("{}", {{0}, {1}}, zero_to_ten, true),
              (std::vector<double>{5.0, 5.0}));
    // A one-value row becomes (0) under the derivative.
    EXPECT_EQ(test::predict_with_forest(
                  "{\"Tree\":1,\"T\":" + split(1, 1, "-0.5", leaf(2, "0"), leaf(2, "0.5")) + "}",
                  {{-7}}, zero_to_ten, true),
              (std::vector<double>{10.0}));
}

} // namespace
} // namespace veldra
