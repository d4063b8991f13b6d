#include "bart/forest_writer.h"

#include <charconv>
#include <stdexcept>

namespace veldra {

namespace {

void append_number(std::string& out, double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    out.append(text, end);
}

void append_node(std::string& out, const WrittenTree& tree, std::int32_t index, int depth) {
    if (index < 0 || static_cast<std::size_t>(index) >= tree.nodes.size() || depth > 10000) {
        throw std::logic_error("a written tree links outside its nodes");
    }
    const WrittenTree::Node& node = tree.nodes[static_cast<std::size_t>(index)];
    out += "{\"Depth\":" + std::to_string(depth);
    if (node.left < 0) {
        out += ",\"TBN\":\"110\",\"Mu\":";
        append_number(out, node.value);
        out += "}";
        return;
    }
    out += ",\"Var\":" + std::to_string(node.variable + 1) + ",\"ORDRule\":\"x<=";
    append_number(out, node.value);
    out += "\",\"TBN\":\"101\",\"S\":[";
    append_node(out, tree, node.left, depth + 1);
    out += ",";
    append_node(out, tree, node.right, depth + 1);
    out += "]}";
}

} // namespace

std::string forest_document(const std::vector<WrittenTree>& forest) {
    std::string out = "{";
    for (std::size_t t = 0; t < forest.size(); ++t) {
        out += (t == 0 ? "\"Tree\":" : ",\n\"Tree\":") + std::to_string(t + 1) + ",\"T\":";
        append_node(out, forest[t], 0, 1);
    }
    out += "}\n";
    return out;
}

} // namespace veldra
