// Writes the demonstration model tree below a folder.
#include "tools/model_tree_generator.h"

#include <exception>
#include <iostream>

#include <boost/program_options.hpp>

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    veldra::tools::ModelTreeOptions options;
    std::string root;
    po::options_description described("veldra-make-model-tree: demonstration models drawn at "
                                      "random from the BART tree prior (not calibrated)");
    described.add_options()("help", "show this text")(
        "out", po::value(&root), "folder that receives opus.conf and the model folders")(
        "draws", po::value(&options.draws)->default_value(options.draws),
        "posterior-sample documents per model")(
        "trees", po::value(&options.trees)->default_value(options.trees), "trees per document")(
        "seed", po::value(&options.seed)->default_value(options.seed), "random seed")(
        "type", po::value(&options.types), "spectrometer type (repeatable; default all)")(
        "property", po::value(&options.properties), "soil property (repeatable; default all)");
    try {
        po::variables_map values;
        po::store(po::parse_command_line(argc, argv, described), values);
        po::notify(values);
        if (values.count("help") || root.empty() || options.draws < 1 || options.trees < 1) {
            std::cout << described << "\n";
            return values.count("help") ? 0 : 2;
        }
        veldra::tools::write_model_tree(root, options);
    } catch (const std::exception& e) {
        std::cerr << "veldra-make-model-tree: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
