#include "values/format.h"

#include <charconv>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "commands/action_node.h"

namespace {

const char* TextOr(const char* text, const char* absent) { return text != nullptr ? text : absent; }

// A text buffer need not be terminated within its length; read no further.
// A length beyond any sensible text is a lying record: nothing of it is read.
void WriteBoundedText(std::ostream& stream, const char* text, uint64_t length) {
    if (length > zibrel::max_text_length) {
        stream << "{text of " << length << " bytes, not shown}";
        return;
    }
    const void* end = std::memchr(text, '\0', length);
    stream << std::string_view(text, end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text)
                                                      : static_cast<std::size_t>(length));
}

void WriteSpaces(std::ostream& stream, uint64_t count) {
    static constexpr char spaces[] = "                                                                ";
    constexpr uint64_t chunk = sizeof(spaces) - 1;
    for (; count > chunk; count -= chunk) stream.write(spaces, chunk);
    stream.write(spaces, static_cast<std::streamsize>(count));
}

void WriteNode(std::ostream& stream, const siActionNodeEx_s& node, uint64_t level) {
    stream << '\n';
    WriteSpaces(stream, 4 * level);
    stream << "{size: " << node.size << ", type: " << static_cast<int32_t>(node.type) << ", id: " << TextOr(node.id, "nullptr")
           << ", label: " << TextOr(node.label, "nullptr") << ", description: " << TextOr(node.description, "nullptr") << '}';
}

void Marker(std::ostream& stream, uint64_t level, const std::string& what) {
    stream << '\n';
    WriteSpaces(stream, 4 * level);
    stream << "{... " << what << '}';
}

void WriteImage(std::ostream& stream, const siImage_s& image) {
    stream << "\n    {size: " << image.size << ", id: " << TextOr(image.id, "nullptr");
    switch (image.type) {
    case e_image_file: stream << ", type: e_image_file, " << image.file; break;
    case e_resource_file: stream << ", type: e_resource_file, " << image.resource; break;
    case e_image: stream << ", type: e_image, " << image.image; break;
    default: stream << ", type: e_none"; break;
    }
    stream << '}';
}

}  // namespace

namespace zibrel {

std::ostream& operator<<(std::ostream& stream, const value& v) {
    try {
        switch (v.type) {
        case voidptr_type: stream << v.p; break;
        case bool_type: stream << (v.b != 0 ? "true" : "false"); break;
        case long_type: stream << v.l; break;
        case float_type:
            stream.precision(7);
            stream << v.f;
            break;
        case double_type:
            stream.precision(17);
            stream << v.d;
            break;
        case point_type: stream << v.pt; break;
        case vector_type: stream << v.v; break;
        case matrix_type: stream << v.m; break;
        case string_type:
            if (v.s.p == nullptr) stream << "empty";
            else WriteBoundedText(stream, v.s.p, v.s.length);
            break;
        case actionnode_type:
            if (v.node == nullptr) stream << "nullptr";
            else stream << *v.node;
            break;
        case plane_type: stream << v.pl; break;
        case box_type: stream << v.bx; break;
        case frustum_type: stream << v.fr; break;
        case cstr_type:
            // The length counts the NUL; a record that holds none is not read past it.
            if (v.cs.p == nullptr) stream << "empty";
            else WriteBoundedText(stream, v.cs.p, v.cs.length);
            break;
        case imagearray_type: stream << v.ia; break;
        default: stream << "null"; break;
        }
    } catch (const std::runtime_error& error) {
        // The thrower may be the stream itself, which then refuses the report
        // too; the caller is writing a diagnostic and must not see either.
        try {
            stream << "std::runtime_error " << error.what();
        } catch (const std::ios_base::failure&) {
        }
    }
    return stream;
}

std::ostream& operator<<(std::ostream& stream, const point& p) {
    stream.precision(7);
    return stream << '[' << p.x << ", " << p.y << ", " << p.z << ']';
}

std::ostream& operator<<(std::ostream& stream, const vector& v) {
    stream.precision(7);
    return stream << '[' << v.x << ", " << v.y << ", " << v.z << ']';
}

std::ostream& operator<<(std::ostream& stream, const plane& p) {
    stream.precision(7);
    return stream << '[' << p.n.x << ", " << p.n.y << ", " << p.n.z << ", " << p.d << ']';
}

std::ostream& operator<<(std::ostream& stream, const box& b) {
    stream.precision(7);
    return stream << b.min << ", " << b.max;
}

std::ostream& operator<<(std::ostream& stream, const frustum& f) {
    stream.precision(7);
    return stream << '[' << f.left << ", " << f.right << ", " << f.bottom << ", " << f.top << ", " << f.near_plane << ", "
                  << f.far_plane << ']';
}

std::ostream& operator<<(std::ostream& stream, const matrix& m) {
    const double rows[4][4] = {
        {m.m00, m.m01, m.m02, m.m03}, {m.m10, m.m11, m.m12, m.m13}, {m.m20, m.m21, m.m22, m.m23}, {m.m30, m.m31, m.m32, m.m33}};
    stream.precision(7);
    stream << std::endl;
    for (const auto& row : rows) {
        if (&row != &rows[0]) stream << std::endl;
        stream << "\t[" << row[0] << ", " << row[1] << ", " << row[2] << ", " << row[3] << ']';
    }
    return stream;
}

std::ostream& operator<<(std::ostream& stream, const imagearray& images) {
    stream << "count: " << images.count;
    // Entries are read only through a pointer that is there, and only as many
    // as an image array can sensibly hold.
    if (images.p == nullptr) return stream;
    if (images.count > max_image_count) return stream << "\n    {more than " << max_image_count << " images, not shown}";
    for (uint64_t i = 0; i < images.count; ++i) WriteImage(stream, images.p[i]);
    return stream;
}

}  // namespace zibrel

std::ostream& operator<<(std::ostream& stream, const siImageFile_s& file) {
    return stream << "{file_name: " << TextOr(file.file_name, "nullptr") << ", index: " << file.index << '}';
}

std::ostream& operator<<(std::ostream& stream, const siImageResource_s& resource) {
    return stream << "{file_name: " << TextOr(resource.file_name, "nullptr") << ", id: " << TextOr(resource.id, "nullptr")
                  << ", type: " << TextOr(resource.type, "nullptr") << ", index: " << resource.index << '}';
}

std::ostream& operator<<(std::ostream& stream, const siImageData_s& data) {
    // Formatted apart from the stream so that its showbase and uppercase flags
    // cannot change the address text.
    char hex[2 * sizeof(uint64_t)];
    const auto address = reinterpret_cast<uintptr_t>(data.data);
    const auto end = std::to_chars(hex, hex + sizeof(hex), static_cast<uint64_t>(address), 16).ptr;
    stream << "{data: 0x" << std::string_view(hex, static_cast<std::size_t>(end - hex)) << std::dec;
    return stream << ", size: " << data.size << ", index: " << data.index << '}';
}

std::ostream& operator<<(std::ostream& stream, const siActionNodeEx_s& node) { return StreamActionNode(stream, &node, 1); }

// Depth-first with an explicit stack, since trees and sibling chains can be far
// longer than the call stack allows: a node's children are written before its
// next siblings, so the sibling goes on the stack first.
//
// A record from a library may link back to a node already written (a cycle) or
// be absurdly large; each node is written once, and depth and count are bounded,
// with a marker line where the rendering stops.
std::ostream& StreamActionNode(std::ostream& stream, const siActionNodeEx_s* node, uint64_t level,
                               zibrel::tree_limits limits) {
    if (node == nullptr) return stream;
    std::vector<std::pair<const siActionNodeEx_s*, uint64_t>> pending{{node, level}};
    std::unordered_set<const siActionNodeEx_s*> written;
    uint64_t count = 0;
    while (!pending.empty()) {
        const auto [current, depth] = pending.back();
        pending.pop_back();
        if (count == limits.nodes) {
            Marker(stream, depth, "more than " + std::to_string(limits.nodes) + " nodes; the rest not shown");
            break;
        }
        if (depth - level >= limits.depth) {
            // One marker for the node and its following siblings, all as deep.
            Marker(stream, depth, "deeper than " + std::to_string(limits.depth) + " levels, not shown");
            continue;
        }
        if (!written.insert(current).second) {
            Marker(stream, depth, "node already shown above; the links go round in a cycle");
            continue;
        }
        ++count;
        WriteNode(stream, *current, depth);
        if (current->next != nullptr) pending.emplace_back(current->next, depth);
        if (current->children != nullptr) pending.emplace_back(current->children, depth + 1);
    }
    return stream;
}
