#pragma once

#include "bart/forest.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veldra {

// The trees of a forest's node lists in one contiguous array with index links, for evaluation
// that stays in cache and descends several rows at once without data-dependent branches.
class FlatForest {
public:
    // Rows descended together: independent chains of loads the processor overlaps.
    static constexpr std::size_t lanes = 8;

    // Builds the trees of the forest's node lists (read, built or not) by the same rule and with
    // the same checks and messages as Forest::build_trees; only nodes evaluation can reach are
    // kept.
    explicit FlatForest(const Forest& forest, const std::string& source = std::string());

    // A forest without trees; every sum is 0.
    FlatForest() = default;

    // Builds the trees of `forest` in place of the present ones, as the constructor does, in
    // the memory already held. After an error the forest is unusable until rebuilt.
    void rebuild(const Forest& forest, const std::string& source = std::string());

    // The largest split variable any reachable internal node tests (0 when none), and the
    // check of Forest::check_row.
    // The memory of the node lists, and giving back what they hold beyond their size (for a
    // forest kept a long time).
    std::size_t bytes() const {
        return nodes_.capacity() * sizeof(Node) +
               (roots_.capacity() + depths_.capacity()) * sizeof(std::uint32_t);
    }
    void shrink_to_fit() {
        nodes_.shrink_to_fit();
        roots_.shrink_to_fit();
        depths_.shrink_to_fit();
    }

    // The forest in a compiled model's form, appended to `out`: the largest split variable, the
    // node and tree counts and four zero bytes, then every node as evaluation holds it (its
    // value's bits, its slot, its two links and four zero bytes: 24 bytes, little-endian), the
    // roots and the depths; a multiple of 8 bytes in all.
    void append_to(std::string& out) const;
    // Reads one forest of that form from the front of `bytes` and drops it from there. Every
    // count is checked against the bytes left and every link, slot, root and depth against the
    // forest's own sizes, so that no bytes can make evaluation read outside it; false (the forest
    // unusable) for bytes that are not such a forest. With `borrow`, on a little-endian processor
    // and at an address aligned for a node, the forest is evaluated where the bytes lie, without
    // a copy: they must outlive it and not change.
    bool read_from(std::string_view& bytes, bool borrow = false);
    // Whether the forest evaluates bytes it borrowed.
    bool borrowed() const { return borrowed_nodes_ != nullptr; }

    std::int32_t largest_split_variable() const { return largest_split_variable_; }
    void check_row(std::size_t values, const std::string& source) const {
        check_row_length(largest_split_variable_, values, source);
    }

    // Up to `lanes` rows prepared for evaluation, stored covariate by covariate: the values
    // of one covariate for every lane lie side by side, so lanes testing the same covariate
    // read one cache line. A row holds its values or, with the first derivative, row[i + 1] -
    // row[i] and 0.0 for the last, exactly as a derivative row holds them. Slot 0 comes first
    // and sends every test to the left (split variables of 0 or less); covariate i is slot
    // i + 1.
    class RowBlock {
    public:
        void prepare(const std::vector<std::vector<double>>& rows, std::size_t first,
                     std::size_t count, bool first_derivative);
        std::size_t count() const { return count_; }

    private:
        friend class FlatForest;
        std::size_t count_ = 0;
        std::vector<double> values_;
    };

    // Forest sums of the block's rows, trees added in order as Forest::predict adds them.
    // Every row must hold every split variable (Forest::check_row).
    void predict(const RowBlock& block, double* sums) const {
        predict(block, sums, wide_vectors_available());
    }

    // Whether this processor has 256-bit vector instructions (AVX2) the descent can use. With
    // or without them the sums are the same, bit for bit; `wide_vectors` chooses, and is
    // ignored where they are not available.
    static bool wide_vectors_available();
    void predict(const RowBlock& block, double* sums, bool wide_vectors) const;

    // The forest sum of one row.
    double predict(const std::vector<double>& row, bool first_derivative) const;

private:
    // The descent, compiled once for every processor and once more for wide vectors.
    void descend(const RowBlock& block, double* sums) const;
    void descend_wide(const RowBlock& block, double* sums) const;

    struct Node {
        double value; // the cut of an internal node, the output of a leaf
        // Where the covariate's values begin in a row block: its slot (1-based, 0, the
        // left-sending slot, for split variables of 0 or less) times the lanes.
        std::uint32_t first_value;
        // Left, right, as byte offsets from the first node; a leaf's children are itself.
        std::uint32_t child[2];
    };
    // Evaluation's view of the forest: the lists below, or the bytes it borrowed.
    const Node* node_data() const { return borrowed_nodes_ ? borrowed_nodes_ : nodes_.data(); }
    const std::uint32_t* root_data() const {
        return borrowed_nodes_ ? borrowed_roots_ : roots_.data();
    }
    const std::uint32_t* depth_data() const {
        return borrowed_nodes_ ? borrowed_roots_ + borrowed_trees_ : depths_.data();
    }
    std::size_t tree_count() const { return borrowed_nodes_ ? borrowed_trees_ : roots_.size(); }
    void forget();

    std::vector<Node> nodes_;
    std::vector<std::uint32_t> roots_;  // byte offsets, as the links
    std::vector<std::uint32_t> depths_; // steps from each root to its deepest leaf
    // Borrowed bytes: the nodes, then the roots followed by the depths.
    const Node* borrowed_nodes_ = nullptr;
    const std::uint32_t* borrowed_roots_ = nullptr;
    std::size_t borrowed_trees_ = 0;
    std::size_t borrowed_node_count_ = 0;
    std::int32_t largest_split_variable_ = 0;
};

} // namespace veldra
