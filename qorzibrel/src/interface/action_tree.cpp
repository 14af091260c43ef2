#include "interface/action_tree.h"

#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/result_codes.h"

namespace zibrel::qorzibrel {
namespace {

// A node's texts have no length: each is read up to its NUL, but never
// further than the limit (a text without a NUL there refuses the tree).
bool append_text(std::string& out, const char* text) {
    if (text == nullptr) {
        out += '-';
        return true;
    }
    const size_t n = strnlen(text, tree_text_limit + 1);
    if (n > tree_text_limit) return false;
    out.append(text, n);
    return true;
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
        if (node->size != sizeof(action_node_record) || depth >= tree_depth_limit ||
            visited.size() >= tree_node_limit || !visited.insert(node).second) {
            return result_invalid_argument;
        }
        out.append(2 * depth, ' ');
        out += std::to_string(node->type);
        out += ' ';
        const bool texts_ok = append_text(out, node->id) && (out += '|', append_text(out, node->label)) &&
                              (out += '|', append_text(out, node->description));
        if (!texts_ok) return result_invalid_argument;
        out += '\n';
        if (out.size() > tree_description_limit) return result_invalid_argument;
        // The sibling goes below the first child so that the whole subtree is
        // written before the node's next sibling.
        if (node->next != nullptr) pending.emplace_back(node->next, depth);
        if (node->children != nullptr) pending.emplace_back(node->children, depth + 1);
    }
    return result_ok;
}

}  // namespace zibrel::qorzibrel
