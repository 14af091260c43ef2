// Text rendering of value records and everything they carry, for diagnostic
// lines. The operators leave the stream's precision at the last one they set
// (7 or 17); a matrix flushes the stream; image data leaves it in decimal.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "values/value.h"

namespace zibrel {

// What a diagnostic line shows of a record at most. A text longer than
// max_text_length or an image array of more than max_image_count entries is a
// lying record and is not read; a command tree is shown to max_tree_depth
// levels below its root and max_tree_nodes nodes, each node once. A marker in
// braces, "{... ", says where and why the rendering stops.
inline constexpr uint64_t max_image_count = uint64_t{1} << 16;
inline constexpr uint64_t max_tree_depth = uint64_t{1} << 13;
inline constexpr uint64_t max_tree_nodes = uint64_t{1} << 18;

struct tree_limits {
    uint64_t depth = max_tree_depth;  // levels below the first node's
    uint64_t nodes = max_tree_nodes;
};

std::ostream& operator<<(std::ostream& stream, const value& v);
std::ostream& operator<<(std::ostream& stream, const point& p);
std::ostream& operator<<(std::ostream& stream, const vector& v);
std::ostream& operator<<(std::ostream& stream, const plane& p);
std::ostream& operator<<(std::ostream& stream, const box& b);
std::ostream& operator<<(std::ostream& stream, const frustum& f);
std::ostream& operator<<(std::ostream& stream, const matrix& m);
std::ostream& operator<<(std::ostream& stream, const imagearray& images);

}  // namespace zibrel

std::ostream& operator<<(std::ostream& stream, const siImageFile_s& file);
std::ostream& operator<<(std::ostream& stream, const siImageResource_s& resource);
std::ostream& operator<<(std::ostream& stream, const siImageData_s& data);

// A whole tree: node and everything linked from it, starting at level 1.
std::ostream& operator<<(std::ostream& stream, const siActionNodeEx_s& node);

// Writes node on a new line indented 4 x level spaces, then its children one
// level deeper, then its following siblings at the same level. A null node
// writes nothing. A node linked to again is written once; a node at depth
// limits.depth below the first, and every node after limits.nodes, is not
// written (a marker line says so).
std::ostream& StreamActionNode(std::ostream& stream, const siActionNodeEx_s* node, uint64_t level,
                               zibrel::tree_limits limits = {});
