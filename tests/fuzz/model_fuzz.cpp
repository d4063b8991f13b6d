// Arbitrary bytes as a model document. The fast and the reference reader must agree (the same
// node lists, or the same error text, and the same printed notices), also when the fast reader
// reads into a forest that held earlier inputs; a document both accept is built and evaluated,
// where the flat copies must agree with the tree nodes.
#include "bart/flat_forest.h"
#include "bart/forest.h"
#include "bart/model_document.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/reference/reference_prediction.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <typeinfo>

namespace {

// Everything reading gives: the node fields of every tree, or the error, and what was printed.
// The document is read into `reused` after clearing it, when given, or into a new forest.
std::string outcome(const std::string& path, veldra::test::Reader reader,
                    veldra::Forest* reused = nullptr) {
    std::ostringstream out;
    out.precision(17);
    std::ostringstream printed;
    std::streambuf* const console = std::cout.rdbuf(printed.rdbuf());
    try {
        veldra::Forest fresh;
        veldra::Forest& forest = reused != nullptr ? *reused : fresh;
        forest.clear();
        veldra::test::read_with(reader, path, forest);
        out << "trees " << forest.node_lists.size() << " current " << forest.current_tree << "\n";
        for (const auto& nodes : forest.node_lists) {
            for (const veldra::TreeNode& n : nodes) {
                out << n.flag_t << n.is_leaf << n.flag_n << " " << n.leaf_value << " " << n.depth
                    << " " << n.has_depth << " " << n.split_variable << " " << n.cut_value << ";";
            }
            out << "\n";
        }
    } catch (const std::exception& e) {
        out << "error " << typeid(e).name() << ": " << e.what();
    }
    std::cout.rdbuf(console);
    out << "printed: " << printed.str();
    return out.str();
}

// The error text `build` raises, or "" when none.
template <typename Build>
std::string error_text(const Build& build) {
    try {
        build();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Builds and evaluates an accepted document on a few rows. The flat forest, built from the node
// lists by itself, must raise the errors the tree nodes raise and give the same sums; so must
// one rebuilt in place, which held the forests of earlier inputs.
void evaluate(const std::string& path) {
    static veldra::FlatForest rebuilt;
    veldra::Forest forest;
    std::ostringstream printed;
    std::streambuf* const console = std::cout.rdbuf(printed.rdbuf());
    try {
        veldra::read_model_document(path, forest);
        std::unique_ptr<veldra::FlatForest> flat;
        const std::string flat_error =
            error_text([&] { flat = std::make_unique<veldra::FlatForest>(forest, path); });
        if (error_text([&] { rebuilt.rebuild(forest, path); }) != flat_error) {
            std::abort();
        }
        if (error_text([&] { forest.build_trees(path); }) != flat_error) {
            std::abort();
        }
        if (flat_error.empty()) {
            const std::vector<double> row = {0.5, -1.0, 2.0, 0.0, 1e300, -3.5, 0.25, 7.0};
            if (flat->largest_split_variable() != forest.largest_split_variable()) {
                std::abort();
            }
            forest.check_row(row.size(), path);
            const double expected = veldra::test::reference_forest_sum(forest, row.data());
            for (const double got : {flat->predict(row, false), rebuilt.predict(row, false)}) {
                if (!(got == expected || (std::isnan(got) && std::isnan(expected)))) {
                    std::abort();
                }
            }
        }
    } catch (const std::exception&) {
    }
    std::cout.rdbuf(console);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const veldra::fuzz::ScratchFile file(".json");
    const std::string& path = file.write(data, size);
    // A forest that read the earlier inputs, as a prediction thread's forest reads file after
    // file.
    static veldra::Forest reused;
    const std::string reference = outcome(path, veldra::test::Reader::reference);
    for (veldra::Forest* forest : {static_cast<veldra::Forest*>(nullptr), &reused}) {
        const std::string fast = outcome(path, veldra::test::Reader::fast, forest);
        if (fast != reference) {
            std::cerr << "The readers disagree" << (forest != nullptr ? " (reused forest)" : "")
                      << ".\nfast:\n"
                      << fast << "\nreference:\n"
                      << reference << "\n";
            std::abort();
        }
    }
    evaluate(path);
    return 0;
}
