// Reading the command tree the application publishes as "commands.tree".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct siActionNodeEx_s;

namespace zibrel::qorzibrel {

// The application's 48-byte node record. The library sees the record only
// through the opaque siActionNodeEx_s pointer in the value, so it reads it
// through this layout-identical copy.
struct action_node_record {
    uint32_t size;
    int32_t type;
    const action_node_record* next;
    const action_node_record* children;
    const char* id;
    const char* label;
    const char* description;
};

static_assert(sizeof(action_node_record) == 48 && alignof(action_node_record) == 8);
static_assert(offsetof(action_node_record, size) == 0 && offsetof(action_node_record, type) == 4);
static_assert(offsetof(action_node_record, next) == 8 && offsetof(action_node_record, children) == 16);
static_assert(offsetof(action_node_record, id) == 24 && offsetof(action_node_record, label) == 32);
static_assert(offsetof(action_node_record, description) == 40);

// What a command tree may hold; beyond that it is refused.
inline constexpr size_t tree_node_limit = 1000000;
inline constexpr size_t tree_depth_limit = 1000;
inline constexpr size_t tree_text_limit = 65536;  // bytes of one id, label or description
inline constexpr size_t tree_description_limit = size_t{64} << 20;  // bytes of the whole description

// Walk the tree under root depth first (node, its children, then its next
// siblings) and describe it in `out`, one line per node:
// two spaces per level, "<type> <id>|<label>|<description>\n", "-" for a null
// text. A null root gives empty text. Returns 0, or invalid argument when a
// record's size is not 48, a node is reached twice (a cycle or shared
// subtree), or the tree exceeds one of the limits above; `out` is then unspecified.
int32_t describe_tree(const siActionNodeEx_s* root, std::string& out);

}  // namespace zibrel::qorzibrel
