#include "train/bart_chain.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

namespace veldra {

namespace {

using bart_detail::uniform;

constexpr double grow_share = 0.25;
constexpr double prune_share = 0.25;

std::mt19937_64 make_generator(std::uint64_t seed) {
    std::seed_seq sequence{static_cast<std::uint32_t>(seed),
                           static_cast<std::uint32_t>(seed >> 32)};
    return std::mt19937_64(sequence);
}

// One chain: its trees, where each row sits in each tree, and the running fit.
class Chain {
public:
    Chain(const BinnedData& data, const std::vector<double>& y, const BartOptions& options,
          double lambda, double sigma_hat, std::uint64_t seed)
        : data_(data), y_(y), options_(options), lambda_(lambda), random_(make_generator(seed)),
          trees_(static_cast<std::size_t>(options.trees)),
          leaf_of_(static_cast<std::size_t>(options.trees), std::vector<std::int32_t>(data.n, 0)),
          fit_(data.n, 0.0), residual_(data.n),
          // The error spread starts at the data-based estimate, not at the prior's scale: a
          // small start makes early trees split on noise, and splits are slow to undo.
          sigma2_(options.fixed_sigma > 0.0 ? options.fixed_sigma * options.fixed_sigma
                                            : sigma_hat * sigma_hat),
          counts_(data.p, 0.0), split_weights_(data.p, 1.0 / static_cast<double>(data.p)) {
        for (BartTree& tree : trees_) {
            tree.nodes.assign(1, BartTree::Node());
        }
        const double tau = 0.5 / (options.k * std::sqrt(static_cast<double>(options.trees)));
        tau2_ = tau * tau;
        cumulative_.resize(data.p);
        update_cumulative();
        theta_ = static_cast<double>(data.p);
    }

    // One sweep over every tree, then the error variance (and, with DART, the splitting
    // proportions once `sparse_active`).
    void iterate(bool sparse_active) {
        for (std::size_t t = 0; t < trees_.size(); ++t) {
            update_tree(t);
        }
        double sse = 0.0;
        for (std::size_t i = 0; i < data_.n; ++i) {
            const double e = y_[i] - fit_[i];
            sse += e * e;
        }
        const double n = static_cast<double>(data_.n);
        const double chi2 = 2.0 * bart_detail::gamma_variate(random_, 0.5 * (options_.nu + n));
        sigma2_ = (options_.nu * lambda_ + sse) / chi2;
        if (options_.fixed_sigma > 0.0) {
            sigma2_ = options_.fixed_sigma * options_.fixed_sigma;
        }
        if (options_.sparse && sparse_active) {
            update_split_weights();
        }
        if (options_.simulate_response) {
            const double sigma = std::sqrt(sigma2_);
            for (std::size_t i = 0; i < data_.n; ++i) {
                y_[i] = fit_[i] + sigma * bart_detail::standard_normal(random_);
            }
        }
    }

    const std::vector<BartTree>& trees() const { return trees_; }
    double sigma() const { return std::sqrt(sigma2_); }
    const std::vector<double>& split_counts() const { return counts_; }

private:
    // The cut range [low, high] of every covariate at a node, from its ancestors' rules;
    // covariates no ancestor tests keep their whole range.
    struct Region {
        std::vector<std::pair<std::int32_t, std::pair<std::int32_t, std::int32_t>>> limited;
        std::pair<std::int32_t, std::int32_t> range(const BinnedData& data, std::int32_t v) const {
            for (const auto& entry : limited) {
                if (entry.first == v) {
                    return entry.second;
                }
            }
            return {0, data.cut_counts[static_cast<std::size_t>(v)] - 1};
        }
    };

    Region region_of(const BartTree& tree, std::int32_t node) const {
        Region region;
        std::int32_t child = node;
        std::int32_t parent = tree.nodes[static_cast<std::size_t>(node)].parent;
        while (parent >= 0) {
            const BartTree::Node& rule = tree.nodes[static_cast<std::size_t>(parent)];
            auto found = std::find_if(region.limited.begin(), region.limited.end(),
                                      [&](const auto& e) { return e.first == rule.variable; });
            if (found == region.limited.end()) {
                region.limited.push_back(
                    {rule.variable,
                     {0, data_.cut_counts[static_cast<std::size_t>(rule.variable)] - 1}});
                found = region.limited.end() - 1;
            }
            if (rule.left == child) {
                found->second.second = std::min(found->second.second, rule.cut - 1);
            } else {
                found->second.first = std::max(found->second.first, rule.cut + 1);
            }
            child = parent;
            parent = rule.parent;
        }
        return region;
    }

    // Draws a rule from the prior at a node: a covariate by the splitting proportions among
    // those with a cut left in the region, then a cut uniformly. False when none is left.
    bool draw_rule(const Region& region, std::int32_t& variable, std::int32_t& cut) {
        double blocked = 0.0;
        for (const auto& entry : region.limited) {
            if (entry.second.first > entry.second.second) {
                blocked += split_weights_[static_cast<std::size_t>(entry.first)];
            }
        }
        blocked += uncut_weight_;
        if (blocked >= total_weight_ * (1.0 - 1e-12)) {
            return false;
        }
        for (;;) {
            const double u = uniform(random_) * total_weight_;
            const auto at = std::upper_bound(cumulative_.begin(), cumulative_.end(), u);
            variable = static_cast<std::int32_t>(std::min<std::ptrdiff_t>(
                at - cumulative_.begin(), static_cast<std::ptrdiff_t>(data_.p) - 1));
            const auto range = region.range(data_, variable);
            if (range.first <= range.second) {
                const auto width = static_cast<std::uint64_t>(range.second - range.first + 1);
                cut = range.first + static_cast<std::int32_t>(random_() % width);
                return true;
            }
        }
    }

    void update_cumulative() {
        double sum = 0.0;
        uncut_weight_ = 0.0;
        for (std::size_t v = 0; v < data_.p; ++v) {
            sum += split_weights_[v];
            cumulative_[v] = sum;
            if (data_.cut_counts[v] == 0) {
                uncut_weight_ += split_weights_[v];
            }
        }
        total_weight_ = sum;
    }

    int depth_of(const BartTree& tree, std::int32_t node) const {
        int depth = 0;
        for (std::int32_t at = tree.nodes[static_cast<std::size_t>(node)].parent; at >= 0;
             at = tree.nodes[static_cast<std::size_t>(at)].parent) {
            ++depth;
        }
        return depth;
    }

    // Internal nodes whose children are both leaves.
    static std::vector<std::int32_t> prunable(const BartTree& tree, const std::vector<char>& live) {
        std::vector<std::int32_t> out;
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(tree.nodes.size()); ++i) {
            const BartTree::Node& node = tree.nodes[static_cast<std::size_t>(i)];
            if (live[static_cast<std::size_t>(i)] && node.left >= 0 && tree.is_leaf(node.left) &&
                tree.is_leaf(node.right)) {
                out.push_back(i);
            }
        }
        return out;
    }

    struct Split {
        double left_count = 0.0;
        double left_sum = 0.0;
        double right_count = 0.0;
        double right_sum = 0.0;
    };

    // Residual counts and sums of the rows in `leaves` split by (variable, cut).
    Split split_stats(const std::vector<std::int32_t>& leaf_of, std::int32_t a, std::int32_t b,
                      std::int32_t variable, std::int32_t cut) const {
        Split s;
        const std::uint16_t* bins =
            data_.bins.data() + static_cast<std::size_t>(variable) * data_.n;
        for (std::size_t i = 0; i < data_.n; ++i) {
            if (leaf_of[i] == a || leaf_of[i] == b) {
                if (bins[i] <= cut) {
                    s.left_count += 1.0;
                    s.left_sum += residual_[i];
                } else {
                    s.right_count += 1.0;
                    s.right_sum += residual_[i];
                }
            }
        }
        return s;
    }

    double likelihood(const Split& s) const {
        return bart_detail::leaf_log_likelihood(s.left_count, s.left_sum, sigma2_, tau2_) +
               bart_detail::leaf_log_likelihood(s.right_count, s.right_sum, sigma2_, tau2_);
    }

    double joined_likelihood(const Split& s) const {
        return bart_detail::leaf_log_likelihood(s.left_count + s.right_count,
                                                s.left_sum + s.right_sum, sigma2_, tau2_);
    }

    std::int32_t new_node(BartTree& tree, std::vector<char>& live) {
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (!live[i]) {
                live[i] = 1;
                tree.nodes[i] = BartTree::Node();
                return static_cast<std::int32_t>(i);
            }
        }
        tree.nodes.emplace_back();
        live.push_back(1);
        return static_cast<std::int32_t>(tree.nodes.size() - 1);
    }

    void update_tree(std::size_t t) {
        BartTree& tree = trees_[t];
        std::vector<std::int32_t>& leaf_of = leaf_of_[t];
        std::vector<char>& live = live_[t];
        if (live.size() != tree.nodes.size()) {
            live.assign(tree.nodes.size(), 1);
        }
        own_.resize(data_.n);
        for (std::size_t i = 0; i < data_.n; ++i) {
            own_[i] = tree.nodes[static_cast<std::size_t>(leaf_of[i])].value;
            residual_[i] = y_[i] - fit_[i] + own_[i];
        }

        std::vector<std::int32_t> leaves;
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(tree.nodes.size()); ++i) {
            if (live[static_cast<std::size_t>(i)] && tree.is_leaf(i)) {
                leaves.push_back(i);
            }
        }
        const std::vector<std::int32_t> nogs = prunable(tree, live);
        const bool root_only = leaves.size() == 1;
        const double u = uniform(random_);
        if (root_only || u < grow_share) {
            grow(tree, leaf_of, live, leaves, nogs, root_only);
        } else if (u < grow_share + prune_share) {
            prune(tree, leaf_of, live, leaves, nogs);
        } else {
            change(tree, leaf_of, nogs);
        }
        draw_leaf_values(tree, leaf_of, live);
    }

    void grow(BartTree& tree, std::vector<std::int32_t>& leaf_of, std::vector<char>& live,
              const std::vector<std::int32_t>& leaves, const std::vector<std::int32_t>& nogs,
              bool root_only) {
        const std::int32_t leaf = leaves[static_cast<std::size_t>(random_() % leaves.size())];
        std::int32_t variable = 0;
        std::int32_t cut = 0;
        if (!draw_rule(region_of(tree, leaf), variable, cut)) {
            return;
        }
        const Split s = split_stats(leaf_of, leaf, leaf, variable, cut);
        const std::int32_t parent = tree.nodes[static_cast<std::size_t>(leaf)].parent;
        int prunable_after = static_cast<int>(nogs.size()) + 1;
        if (parent >= 0 && std::find(nogs.begin(), nogs.end(), parent) != nogs.end()) {
            --prunable_after;
        }
        const double log_ratio =
            bart_detail::grow_log_ratio(options_.alpha, options_.beta, depth_of(tree, leaf),
                                        static_cast<int>(leaves.size()), prunable_after,
                                        root_only ? 1.0 : grow_share, prune_share) +
            likelihood(s) - joined_likelihood(s);
        if (std::log(uniform(random_)) >= log_ratio) {
            return;
        }
        const std::int32_t left = new_node(tree, live);
        const std::int32_t right = new_node(tree, live);
        BartTree::Node& node = tree.nodes[static_cast<std::size_t>(leaf)];
        node.variable = variable;
        node.cut = cut;
        node.left = left;
        node.right = right;
        tree.nodes[static_cast<std::size_t>(left)].parent = leaf;
        tree.nodes[static_cast<std::size_t>(right)].parent = leaf;
        counts_[static_cast<std::size_t>(variable)] += 1.0;
        const std::uint16_t* bins =
            data_.bins.data() + static_cast<std::size_t>(variable) * data_.n;
        for (std::size_t i = 0; i < data_.n; ++i) {
            if (leaf_of[i] == leaf) {
                leaf_of[i] = bins[i] <= cut ? left : right;
            }
        }
    }

    void prune(BartTree& tree, std::vector<std::int32_t>& leaf_of, std::vector<char>& live,
               const std::vector<std::int32_t>& leaves, const std::vector<std::int32_t>& nogs) {
        const std::int32_t node_index = nogs[static_cast<std::size_t>(random_() % nogs.size())];
        BartTree::Node& node = tree.nodes[static_cast<std::size_t>(node_index)];
        const Split s = split_stats(leaf_of, node.left, node.right, node.variable, node.cut);
        const int leaves_after = static_cast<int>(leaves.size()) - 1;
        const double log_ratio =
            -bart_detail::grow_log_ratio(options_.alpha, options_.beta, depth_of(tree, node_index),
                                         leaves_after, static_cast<int>(nogs.size()),
                                         leaves_after == 1 ? 1.0 : grow_share, prune_share) +
            joined_likelihood(s) - likelihood(s);
        if (std::log(uniform(random_)) >= log_ratio) {
            return;
        }
        for (std::size_t i = 0; i < data_.n; ++i) {
            if (leaf_of[i] == node.left || leaf_of[i] == node.right) {
                leaf_of[i] = node_index;
            }
        }
        counts_[static_cast<std::size_t>(node.variable)] -= 1.0;
        live[static_cast<std::size_t>(node.left)] = 0;
        live[static_cast<std::size_t>(node.right)] = 0;
        node.variable = -1;
        node.cut = -1;
        node.left = -1;
        node.right = -1;
    }

    void change(BartTree& tree, std::vector<std::int32_t>& leaf_of,
                const std::vector<std::int32_t>& nogs) {
        const std::int32_t node_index = nogs[static_cast<std::size_t>(random_() % nogs.size())];
        BartTree::Node& node = tree.nodes[static_cast<std::size_t>(node_index)];
        std::int32_t variable = 0;
        std::int32_t cut = 0;
        if (!draw_rule(region_of(tree, node_index), variable, cut)) {
            return;
        }
        const Split before = split_stats(leaf_of, node.left, node.right, node.variable, node.cut);
        const Split after = split_stats(leaf_of, node.left, node.right, variable, cut);
        if (std::log(uniform(random_)) >= likelihood(after) - likelihood(before)) {
            return;
        }
        counts_[static_cast<std::size_t>(node.variable)] -= 1.0;
        counts_[static_cast<std::size_t>(variable)] += 1.0;
        node.variable = variable;
        node.cut = cut;
        const std::uint16_t* bins =
            data_.bins.data() + static_cast<std::size_t>(variable) * data_.n;
        for (std::size_t i = 0; i < data_.n; ++i) {
            if (leaf_of[i] == node.left || leaf_of[i] == node.right) {
                leaf_of[i] = bins[i] <= cut ? node.left : node.right;
            }
        }
    }

    // Leaf values from their full conditionals, and the running fit updated.
    void draw_leaf_values(BartTree& tree, const std::vector<std::int32_t>& leaf_of,
                          const std::vector<char>& live) {
        const std::size_t size = tree.nodes.size();
        counts_by_leaf_.assign(size, 0.0);
        sums_by_leaf_.assign(size, 0.0);
        for (std::size_t i = 0; i < data_.n; ++i) {
            const auto leaf = static_cast<std::size_t>(leaf_of[i]);
            counts_by_leaf_[leaf] += 1.0;
            sums_by_leaf_[leaf] += residual_[i];
        }
        for (std::size_t l = 0; l < size; ++l) {
            if (!live[l] || !tree.is_leaf(static_cast<std::int32_t>(l))) {
                tree.nodes[l].value = 0.0;
                continue;
            }
            const double precision = counts_by_leaf_[l] / sigma2_ + 1.0 / tau2_;
            const double mean = (sums_by_leaf_[l] / sigma2_) / precision;
            tree.nodes[l].value =
                mean + bart_detail::standard_normal(random_) / std::sqrt(precision);
        }
        for (std::size_t i = 0; i < data_.n; ++i) {
            const auto leaf = static_cast<std::size_t>(leaf_of[i]);
            fit_[i] += tree.nodes[leaf].value - own_[i];
        }
    }

    // DART: the splitting proportions from their Dirichlet full conditional, and theta by a
    // grid over theta / (theta + rho).
    void update_split_weights() {
        const double p = static_cast<double>(data_.p);
        std::vector<double> logs(data_.p);
        double largest = -std::numeric_limits<double>::infinity();
        for (std::size_t v = 0; v < data_.p; ++v) {
            const double shape = theta_ / p + counts_[v];
            // log Gamma(shape) variate, stable for tiny shapes: log G(a+1) + log(U) / a.
            logs[v] = std::log(bart_detail::gamma_variate(random_, shape + 1.0)) +
                      std::log(uniform(random_)) / shape;
            largest = std::max(largest, logs[v]);
        }
        double total = 0.0;
        for (double& value : logs) {
            value = std::exp(value - largest);
            total += value;
        }
        double sum_log = 0.0;
        for (std::size_t v = 0; v < data_.p; ++v) {
            split_weights_[v] = std::max(logs[v] / total, 1e-300);
            sum_log += std::log(split_weights_[v]);
        }
        update_cumulative();
        const double rho = options_.sparse_rho > 0.0 ? options_.sparse_rho : p;
        constexpr int grid = 1000;
        std::vector<double> weights(grid);
        double best = -std::numeric_limits<double>::infinity();
        for (int g = 0; g < grid; ++g) {
            const double lambda = (g + 0.5) / grid;
            const double theta = lambda * rho / (1.0 - lambda);
            weights[static_cast<std::size_t>(g)] = std::lgamma(theta) - p * std::lgamma(theta / p) +
                                                   theta / p * sum_log +
                                                   (options_.sparse_a - 1.0) * std::log(lambda) +
                                                   (options_.sparse_b - 1.0) * std::log1p(-lambda);
            best = std::max(best, weights[static_cast<std::size_t>(g)]);
        }
        double mass = 0.0;
        for (double& w : weights) {
            w = std::exp(w - best);
            mass += w;
        }
        double u = uniform(random_) * mass;
        int chosen = grid - 1;
        for (int g = 0; g < grid; ++g) {
            u -= weights[static_cast<std::size_t>(g)];
            if (u <= 0.0) {
                chosen = g;
                break;
            }
        }
        const double lambda = (chosen + 0.5) / grid;
        theta_ = lambda * rho / (1.0 - lambda);
    }

    const BinnedData& data_;
    std::vector<double> y_; // a copy: checks may replace it
    const BartOptions& options_;
    double lambda_;
    std::mt19937_64 random_;
    std::vector<BartTree> trees_;
    std::vector<std::vector<std::int32_t>> leaf_of_;
    std::vector<std::vector<char>> live_ = std::vector<std::vector<char>>(trees_.size());
    std::vector<double> fit_;
    std::vector<double> residual_;
    double sigma2_;
    double tau2_ = 0.0;
    std::vector<double> counts_;
    std::vector<double> split_weights_;
    std::vector<double> cumulative_;
    double total_weight_ = 1.0;
    double uncut_weight_ = 0.0; // of the covariates without any cut
    double theta_ = 1.0;
    std::vector<double> counts_by_leaf_;
    std::vector<double> sums_by_leaf_;
    std::vector<double> own_; // each row's output of the tree being updated, before it changed
};

// Runs every chain on the threads the options allow, each keeping `kept[c]` draws into its
// place of `fit` (chains in order), and adds up the chains' split counts.
class ChainRun {
public:
    ChainRun(const BinnedData& data, const std::vector<double>& scaled, const BartOptions& options,
             double lambda, double sigma_hat, BartFit& fit)
        : data_(data), scaled_(scaled), options_(options), lambda_(lambda), sigma_hat_(sigma_hat),
          fit_(fit), chains_(static_cast<std::size_t>(options.chains)),
          kept_(chains_, static_cast<std::size_t>(options.draws) / chains_),
          chain_counts_(chains_, std::vector<double>(data.p, 0.0)), errors_(chains_) {
        for (std::size_t c = 0; c < static_cast<std::size_t>(options.draws) % chains_; ++c) {
            ++kept_[c];
        }
        for (std::size_t c = 0; c < chains_; ++c) {
            total_ += options.burn_in + static_cast<long>(kept_[c]) * options.thin;
        }
    }

    void run() {
        unsigned threads =
            options_.threads != 0 ? options_.threads : std::thread::hardware_concurrency();
        threads = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, chains_));
        std::atomic<std::size_t> next{0};
        const auto worker = [&] {
            for (std::size_t c = next.fetch_add(1); c < chains_; c = next.fetch_add(1)) {
                run_chain(c);
            }
        };
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threads; ++t) {
            helpers.emplace_back(worker);
        }
        worker();
        for (std::thread& helper : helpers) {
            helper.join();
        }
        for (const std::exception_ptr& error : errors_) {
            if (error) {
                std::rethrow_exception(error);
            }
        }
        fit_.variable_counts.assign(data_.p, 0.0);
        for (const std::vector<double>& counts : chain_counts_) {
            for (std::size_t v = 0; v < counts.size(); ++v) {
                fit_.variable_counts[v] += counts[v];
            }
        }
    }

private:
    void run_chain(std::size_t c) {
        try {
            Chain chain(data_, scaled_, options_, lambda_, sigma_hat_,
                        options_.seed * 1000003u + c);
            std::size_t first = 0;
            for (std::size_t earlier = 0; earlier < c; ++earlier) {
                first += kept_[earlier];
            }
            const long iterations = options_.burn_in + static_cast<long>(kept_[c]) * options_.thin;
            for (long it = 0; it < iterations && !failed_.load(); ++it) {
                chain.iterate(it >= options_.burn_in / 2);
                const long after = it + 1 - options_.burn_in;
                if (after > 0 && after % options_.thin == 0) {
                    const std::size_t d =
                        first + static_cast<std::size_t>(after / options_.thin) - 1;
                    std::vector<BartTree>& forest = fit_.forests[d];
                    forest.clear();
                    for (const BartTree& tree : chain.trees()) {
                        forest.push_back(compacted(tree));
                    }
                    fit_.sigma[d] = chain.sigma();
                    for (std::size_t v = 0; v < chain_counts_[c].size(); ++v) {
                        chain_counts_[c][v] += chain.split_counts()[v];
                    }
                }
                if (options_.progress) {
                    const std::lock_guard<std::mutex> lock(progress_mutex_);
                    options_.progress(++done_, total_);
                }
            }
        } catch (...) {
            errors_[c] = std::current_exception();
            failed_.store(true);
        }
    }

    const BinnedData& data_;
    const std::vector<double>& scaled_;
    const BartOptions& options_;
    double lambda_;
    double sigma_hat_;
    BartFit& fit_;
    std::size_t chains_;
    std::vector<std::size_t> kept_;
    std::vector<std::vector<double>> chain_counts_;
    std::vector<std::exception_ptr> errors_;
    long total_ = 0;
    long done_ = 0;
    std::mutex progress_mutex_;
    std::atomic<bool> failed_{false};
};

} // namespace

void run_chains(const BinnedData& data, const std::vector<double>& scaled,
                const BartOptions& options, double lambda, double sigma_hat, BartFit& fit) {
    ChainRun(data, scaled, options, lambda, sigma_hat, fit).run();
}

} // namespace veldra
