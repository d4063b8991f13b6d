#pragma once

#include "tools/model_tree_generator.h"

#include <cstdio>
#include <string>

#include <boost/filesystem.hpp>

namespace veldra::bench {

// The folder of a benchmark's 17 "mir" models of `draws` documents of `trees` trees: `keep`
// when given (made there unless it already holds them), else a new temporary folder named
// after `name`.
inline boost::filesystem::path realistic_models(const std::string& keep, const std::string& name,
                                                int draws, int trees) {
    namespace fs = boost::filesystem;
    const fs::path root = keep.empty()
                              ? fs::temp_directory_path() / fs::unique_path(name + "-%%%%-%%%%")
                              : fs::path(keep);
    if (!fs::exists(root / "mir" / "Total.Nitrogen" / "rgy.txt")) {
        std::printf("generating 17 models of %d documents of %d trees in %s\n", draws, trees,
                    root.string().c_str());
        tools::ModelTreeOptions options;
        options.draws = draws;
        options.trees = trees;
        options.types = {"mir"};
        options.varied = true;
        tools::write_model_tree(root, options);
    }
    return root;
}

} // namespace veldra::bench
