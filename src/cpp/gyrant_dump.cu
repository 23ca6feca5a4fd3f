// GyrantBackend<T>::dump(): the built hierarchy as one Graphviz DOT document, for inspection.
#include "platform.h"

#include "gyrant_cuda.h"

#include <charconv>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

//! One replacement value of a template field: an integer, a fixed-point number or a text.
struct Field {
    enum class Kind { Integer, Number, Text } kind;
    unsigned long long integer = 0;
    double number = 0.0;
    std::string_view text;

    Field(unsigned long long v) : kind(Kind::Integer), integer(v) {}
    Field(unsigned long v) : kind(Kind::Integer), integer(v) {}
    Field(unsigned int v) : kind(Kind::Integer), integer(v) {}
    Field(int v) : kind(Kind::Integer), integer(static_cast<unsigned long long>(v)) {}
    Field(float v) : kind(Kind::Number), number(v) {}
    Field(double v) : kind(Kind::Number), number(v) {}
    Field(std::string_view v) : kind(Kind::Text), text(v) {}
    Field(std::string const& v) : kind(Kind::Text), text(v) {}
};

//! Fixed-point text with `precision` decimals, rounded from the exact binary value the way
//! std::format's "{:.Nf}" does (std::to_chars is its formatting primitive and ignores the
//! locale, unlike printf).
void append_fixed(std::string& out, double value, int precision) {
    char buffer[400];  // the longest double in fixed notation has 309 integer digits
    auto const result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                      precision);
    out.append(buffer, result.ptr);
}

//! Appends `pattern` with its fields replaced in order. Fields are "{}" (integer or text) and
//! "{:.Nf}" (fixed point, N decimals), as in std::format, which g++ 12 lacks.
void append_format(std::string& out, std::string_view pattern, std::initializer_list<Field> fields) {
    auto next = fields.begin();
    size_t i = 0;
    while (i < pattern.size()) {
        char const ch = pattern[i];
        if ((ch == '{' || ch == '}') && i + 1 < pattern.size() && pattern[i + 1] == ch) {
            out.push_back(ch);
            i += 2;
            continue;
        }
        if (ch != '{') {
            out.push_back(ch);
            ++i;
            continue;
        }
        size_t const close = pattern.find('}', i);
        if (close == std::string_view::npos || next == fields.end())
            throw std::logic_error("dump: malformed template");
        std::string_view const field_format = pattern.substr(i + 1, close - i - 1);
        Field const& field = *next++;
        if (field_format.empty()) {
            if (field.kind == Field::Kind::Text)
                out.append(field.text);
            else if (field.kind == Field::Kind::Integer)
                out.append(std::to_string(field.integer));
            else
                throw std::logic_error("dump: a number needs a precision");
        } else {
            bool const fixed_point = field_format.size() == 4 && field_format.substr(0, 2) == ":." &&
                                     field_format[3] == 'f';  // ":.Nf"
            if (!fixed_point || field.kind != Field::Kind::Number)
                throw std::logic_error("dump: unsupported field");
            append_fixed(out, field.number, field_format[2] - '0');
        }
        i = close + 1;
    }
    if (next != fields.end()) throw std::logic_error("dump: unused template argument");
}

constexpr std::string_view kEmptyGraph = "digraph BVH8 {\n}\n";
constexpr std::string_view kHeader =
    "digraph BVH8 {\n"
    "  node [fontname=\"Arial\", fontsize=10];\n"
    "  rankdir=TB;\n\n";
constexpr std::string_view kTableEnd = "    </TABLE>>];\n";
constexpr std::string_view kRowBreak = "      <TR>\n";
constexpr std::string_view kMatrixRow = "        <TD>{:.4f}</TD><TD>{:.4f}</TD><TD>{:.4f}</TD></TR>\n";
constexpr std::string_view kNodeBox =
    "      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\">AABB Min: ({:.3f}, {:.3f}, {:.3f})<BR/>AABB "
    "Max: ({:.3f}, {:.3f}, {:.3f})</FONT></TD></TR>\n";
constexpr std::string_view kLeafTableOpen =
    "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" "
    "BGCOLOR=\"#eaffea\">\n";
constexpr std::string_view kLeafCentre =
    "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#c8e6c9\"><I>CoM: ({:.4f}, {:.4f}, {:.4f})</I></TD></TR>\n";

float half_value(__half h) { return gyrant_detail::half_bits_to_float(__half_as_ushort(h)); }

//! Three rows of three values times `unit`, the first row already opened by the caller's "<TR>"
//! cell.
void append_matrix_rows(std::string& out, float const (&v)[9], double unit) {
    for (int r = 0; r < 3; ++r) {
        if (r > 0) out.append(kRowBreak);
        append_format(out, kMatrixRow, {v[3 * r] * unit, v[3 * r + 1] * unit, v[3 * r + 2] * unit});
    }
}

//! The box's corners times `unit`.
void append_box(std::string& out, std::string_view pattern, AABB const& box, double unit) {
    append_format(out, pattern,
                  {half_value(box.min.x) * unit, half_value(box.min.y) * unit, half_value(box.min.z) * unit,
                   half_value(box.max.x) * unit, half_value(box.max.y) * unit, half_value(box.max.z) * unit});
}

//! Text of sorted primitive i, read from the structure-of-arrays copy (stride n), in the
//! caller's units: coordinates times `unit`, scaled normals (areas) times its square.
template <class T>
std::string primitive_text(std::vector<float> const& storage, unsigned long n, unsigned long i, double unit) {
    auto c = [&](int k) { return storage[k * n + i] * unit; };
    std::string text;
    if constexpr (std::is_same_v<T, PointNormal>) {
        append_format(text, "Pos:({:.2f}, {:.2f}, {:.2f}) | Norm:({:.2f}, {:.2f}, {:.2f})",
                      {c(0), c(1), c(2), c(3) * unit, c(4) * unit, c(5) * unit});
    } else {
        append_format(text,
                      "v0:({:.2f}, {:.2f}, {:.2f}) | v1:({:.2f}, {:.2f}, {:.2f}) | v2:({:.2f}, {:.2f}, "
                      "{:.2f})",
                      {c(0), c(1), c(2), c(3), c(4), c(5), c(6), c(7), c(8)});
    }
    return text;
}

template <class T>
constexpr unsigned long kFloatsPerPrimitive = std::is_same_v<T, PointNormal> ? 6 : 9;

//! Blocking device-to-host copy of `count` records; a failure is reported and leaves the
//! zero-filled host copy as it is.
template <class E>
void copy_to_host(std::vector<E>& host, E const* device, size_t count) {
    host.assign(count, E{});
    if (count > 0) CUDA_CHECK(cudaMemcpy(host.data(), device, count * sizeof(E), cudaMemcpyDeviceToHost));
}

[[noreturn]] void inconsistent(char const* what, unsigned long long index, unsigned long long limit) {
    throw std::runtime_error("dump: the hierarchy is inconsistent (" + std::string(what) + " " +
                             std::to_string(index) + " of " + std::to_string(limit) + ")");
}

}  // namespace

template <class T>
std::string GyrantBackend<T>::dump() const {
    if (count == 0) return std::string(kEmptyGraph);

    std::string out(kHeader);
    if constexpr (std::is_same_v<T, Triangle>) {
        // Which path compute(method="exact") takes, after the graph's opening line.
        std::string line = exact_uses_crossings() ? "  // exact method: crossings, " : "  // exact method: hierarchical, ";
        line += std::to_string(boundary_edges) + " boundary edges\n";
        out.insert(out.find('\n') + 1, line);
    }
    unsigned long const n = count;
    // Back to the caller's units, exactly (the frame's scale is a power of two): lengths times
    // `unit`, areas (zero order) times its square, and each further order one power more.
    double const unit = 1.0 / scale;
    double const area = unit * unit;
    unsigned long const leaves = leaf_count();
    std::vector<float> primitives;

    if (n <= PRIMITIVES_PER_LEAF) {
        // The single root leaf; no 8-wide tree exists.
        std::vector<AABB> box;
        copy_to_host(box, d_binary_aabbs, 1);
        copy_to_host(primitives, d_primitives, kFloatsPerPrimitive<T> * n);
        out.append("  L0 [shape=none, label=<\n");
        out.append(kLeafTableOpen);
        out.append(
            "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#4CAF50\"><B><FONT COLOR=\"white\">LEAF 0 (Root "
            "Leaf)</FONT></B></TD></TR>\n");
        append_format(out, kLeafCentre, {box[0].center.x * unit, box[0].center.y * unit, box[0].center.z * unit});
        append_box(out, kNodeBox, box[0], unit);
        for (unsigned long j = 0; j < n; ++j)
            append_format(out,
                          "      <TR><TD>P{}</TD><TD COLSPAN=\"3\" ALIGN=\"LEFT\"><FONT "
                          "POINT-SIZE=\"9\">{}</FONT></TD></TR>\n",
                          {j, primitive_text<T>(primitives, n, j, unit)});
        out.append("    </TABLE>>];\n}\n");
        return out;
    }

    std::vector<uint32_t> node_count_copy;
    copy_to_host(node_count_copy, d_bvh8_node_count, 1);
    unsigned long const node_count = node_count_copy[0];
    // A tree over more than one leaf has at least its root; more than L − 1 nodes cannot exist.
    if (node_count == 0 || node_count > bvh8_capacity()) inconsistent("node count", node_count, bvh8_capacity());

    std::vector<BVH8Node> nodes;
    std::vector<AABB> leaf_boxes;
    std::vector<LeafPointers> leaf_rows;
    std::vector<TailorCoefficientsF16> leaf_coefficients;
    std::vector<TailorCoefficientsF16> node_coefficients;
    copy_to_host(nodes, d_bvh8_nodes, node_count);
    copy_to_host(leaf_boxes, d_binary_aabbs + (leaves - 1), leaves);  // inner nodes come first
    copy_to_host(primitives, d_primitives, kFloatsPerPrimitive<T> * n);
    copy_to_host(leaf_rows, d_leaf_pointers, node_count);
    copy_to_host(leaf_coefficients, d_leaf_coefficients, leaves);
    copy_to_host(node_coefficients, d_bvh8_coefficients, node_count);

    auto append_leaf = [&](unsigned long leaf) {
        AABB const& box = leaf_boxes[leaf];
        TailorCoefficients const c = TailorCoefficients::from_f16(leaf_coefficients[leaf]);
        append_format(out, "  L{} [shape=none, label=<\n", {leaf});
        out.append(kLeafTableOpen);
        append_format(out,
                      "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#4CAF50\"><B><FONT COLOR=\"white\">LEAF "
                      "{}</FONT></B></TD></TR>\n",
                      {leaf});
        append_format(out, kLeafCentre, {box.center.x * unit, box.center.y * unit, box.center.z * unit});
        append_box(out,
                   "      <TR><TD COLSPAN=\"4\"><FONT POINT-SIZE=\"9\" COLOR=\"#333333\">AABB Min: "
                   "({:.2f}, {:.2f}, {:.2f}) Max: ({:.2f}, {:.2f}, {:.2f})</FONT></TD></TR>\n",
                   box, unit);
        append_format(out,
                      "      <TR><TD BGCOLOR=\"#c8e6c9\"><B>Zero Order</B></TD><TD>{:.4f}</TD><TD>{:.4f}"
                      "</TD><TD>{:.4f}</TD></TR>\n",
                      {c.zero_order.x * area, c.zero_order.y * area, c.zero_order.z * area});
        out.append("      <TR><TD ROWSPAN=\"3\" BGCOLOR=\"#c8e6c9\"><B>1st Order</B></TD>\n");
        append_matrix_rows(out, c.first_order.m, area * unit);
        append_format(out,
                      "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#c8e6c9\"><I>Geometry (Max {} "
                      "Packets)</I></TD></TR>\n",
                      {PRIMITIVES_PER_LEAF});
        for (unsigned long j = 0; j < PRIMITIVES_PER_LEAF && PRIMITIVES_PER_LEAF * leaf + j < n; ++j)
            append_format(out,
                          "      <TR><TD>P{}</TD><TD COLSPAN=\"3\" ALIGN=\"LEFT\"><FONT "
                          "POINT-SIZE=\"8\">{}</FONT></TD></TR>\n",
                          {j, primitive_text<T>(primitives, n, PRIMITIVES_PER_LEAF * leaf + j, unit)});
        out.append(kTableEnd);
    };

    std::deque<unsigned> queue{0u};
    unsigned long empty_slots = 0;  // numbers the E points across the whole document
    while (!queue.empty()) {
        unsigned const node_index = queue.front();
        queue.pop_front();
        BVH8Node const& node = nodes[node_index];
        AABB const box = node.getAABB();
        TailorCoefficients const c = TailorCoefficients::from_f16(node_coefficients[node_index]);

        append_format(out, "  N{} [shape=none, label=<\n", {node_index});
        out.append(
            "    <TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"4\" "
            "BGCOLOR=\"#f0faff\">\n");
        append_format(out,
                      "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#2196F3\"><B><FONT COLOR=\"white\">NODE "
                      "{}</FONT></B></TD></TR>\n",
                      {node_index});
        append_format(out,
                      "      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#bbdefb\"><I>CoM: ({:.4f}, {:.4f}, "
                      "{:.4f})</I></TD></TR>\n",
                      {box.center.x * unit, box.center.y * unit, box.center.z * unit});
        append_box(out, kNodeBox, box, unit);
        append_format(out,
                      "      <TR><TD BGCOLOR=\"#bbdefb\"><B>Zero Order</B></TD><TD>{:.4f}</TD><TD>{:.4f}"
                      "</TD><TD>{:.4f}</TD></TR>\n",
                      {c.zero_order.x * area, c.zero_order.y * area, c.zero_order.z * area});
        out.append("      <TR><TD ROWSPAN=\"3\" BGCOLOR=\"#bbdefb\"><B>1st Order</B></TD>\n");
        append_matrix_rows(out, c.first_order.m, area * unit);
        out.append("      <TR><TD COLSPAN=\"4\" BGCOLOR=\"#bbdefb\"><B>2nd Order</B></TD></TR>\n");
        // Slice s, row r shows the stored block of the symmetric pair (s, r); the three values
        // of a block run over the single index.
        static constexpr int kPairBlock[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
        float const* t = c.second_order.t;
        for (int s = 0; s < 3; ++s) {
            append_format(out, "      <TR><TD ROWSPAN=\"3\">Slice {}</TD>\n", {s});
            float slice[9];
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k) slice[3 * r + k] = t[3 * kPairBlock[s][r] + k];
            append_matrix_rows(out, slice, area * area);
        }
        out.append(kTableEnd);

        unsigned internal_children = 0;
        for (unsigned k = 0; k < 8; ++k) {
            switch (node.getChildMeta(k)) {
                case ChildType::Internal: {
                    unsigned long const child =
                        static_cast<unsigned long>(node.first_child) + internal_children++;
                    // Breadth-first numbering puts every child after its parent, which also
                    // guarantees that the walk ends.
                    if (child >= node_count || child <= node_index) inconsistent("child node", child, node_count);
                    queue.push_back(static_cast<unsigned>(child));
                    append_format(out, "  N{} -> N{} [label=\"{}\", weight=3];\n", {node_index, child, k});
                    break;
                }
                case ChildType::Leaf: {
                    unsigned long const leaf = leaf_rows[node_index].leaves[k];
                    if (leaf >= leaves) inconsistent("leaf", leaf, leaves);
                    append_leaf(leaf);
                    append_format(out, "  N{} -> L{} [label=\"{}\", color=\"#4CAF50\", penwidth=2];\n",
                                  {node_index, leaf, k});
                    break;
                }
                case ChildType::Empty:
                    append_format(out, "  E{} [label=\"\", shape=point, color=gray];\n", {empty_slots});
                    append_format(out, "  N{} -> E{} [style=dotted, color=gray, arrowhead=none];\n",
                                  {node_index, empty_slots});
                    ++empty_slots;
                    break;
                default:  // the fourth bit pattern is never written; show it as the corrupt tree it is
                    inconsistent("slot type", static_cast<unsigned>(node.getChildMeta(k)), 3);
            }
        }
    }
    out.append("}\n");
    return out;
}

template std::string GyrantBackend<Triangle>::dump() const;
template std::string GyrantBackend<PointNormal>::dump() const;
