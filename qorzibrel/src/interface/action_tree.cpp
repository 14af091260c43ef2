#include "interface/action_tree.h"

#include <unordered_set>
#include <utility>
#include <vector>

#include "interface/result_codes.h"

namespace zibrel::qorzibrel {
namespace {

void append_text(std::string& out, const char* text) {
    out += text != nullptr ? text : "-";
}

}  // namespace

int32_t describe_tree(const siActionNodeEx_s* root, std::string& out) {
    out.clear();
    // The application's tree may be arbitrarily deep or long, so the walk keeps
    // its own stack instead of recursing; the visited set stops malformed trees
    // from looping forever.
    std::vector<std::pair<const action_node_record*, size_t>> pending;
    std::unordered_set<const action_node_record*> visited;
    if (root != nullptr) pending.emplace_back(reinterpret_cast<const action_node_record*>(root), 0);
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (node->size != sizeof(action_node_record) || !visited.insert(node).second) {
            return result_invalid_argument;
        }
        out.append(2 * depth, ' ');
        out += std::to_string(node->type);
        out += ' ';
        append_text(out, node->id);
        out += '|';
        append_text(out, node->label);
        out += '|';
        append_text(out, node->description);
        out += '\n';
        // The sibling goes below the first child so that the whole subtree is
        // written before the node's next sibling.
        if (node->next != nullptr) pending.emplace_back(node->next, depth);
        if (node->children != nullptr) pending.emplace_back(node->children, depth + 1);
    }
    return result_ok;
}

}  // namespace zibrel::qorzibrel
