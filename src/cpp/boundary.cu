// The boundary chain and the exact boxes of the ray walk.
#include "platform.h"

#include "boundary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace gyrant {
namespace {

uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return x;
}

uint32_t bits_of(float v) {
    if (v == 0.0f) v = 0.0f;  // -0 is the same point as +0
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

//! Open addressing over a power-of-two table; keys are never removed.
template <class Key, class Hash>
class IdTable {
   public:
    explicit IdTable(uint64_t expected) {
        uint64_t size = 16;
        while (size < 2 * expected) size *= 2;
        slots_.assign(size, EMPTY);
        mask_ = size - 1;
    }
    //! The id of `key`, making it `next_id` when new (then `inserted` is set).
    uint32_t find_or_insert(Key const& key, std::vector<Key>& keys, bool& inserted) {
        uint64_t h = Hash{}(key) & mask_;
        while (true) {
            uint32_t const id = slots_[h];
            if (id == EMPTY) {
                slots_[h] = static_cast<uint32_t>(keys.size());
                keys.push_back(key);
                inserted = true;
                return slots_[h];
            }
            if (keys[id] == key) {
                inserted = false;
                return id;
            }
            h = (h + 1) & mask_;
        }
    }

   private:
    static constexpr uint32_t EMPTY = 0xffffffffu;
    std::vector<uint32_t> slots_;
    uint64_t mask_ = 0;
};

struct PointKey {
    uint32_t x, y, z;
    bool operator==(PointKey const&) const = default;
};
struct PointHash {
    uint64_t operator()(PointKey const& k) const {
        return mix((uint64_t{k.x} << 32 | k.y) ^ mix(k.z + 0x9e3779b97f4a7c15ull));
    }
};
struct EdgeHash {
    uint64_t operator()(uint64_t k) const { return mix(k); }
};

}  // namespace

std::vector<BoundarySegment> boundary_chain(float const* soa, uint64_t n) {
    std::vector<BoundarySegment> chain;
    if (n == 0) return chain;
    // Vertex ids by coordinates.
    std::vector<PointKey> points;
    points.reserve(n);
    IdTable<PointKey, PointHash> point_ids(3 * n);
    std::vector<uint32_t> corner(3 * n);
    for (uint64_t i = 0; i < n; ++i)
        for (unsigned c = 0; c < 3; ++c) {
            PointKey const key{bits_of(soa[(3 * c) * n + i]), bits_of(soa[(3 * c + 1) * n + i]),
                               bits_of(soa[(3 * c + 2) * n + i])};
            bool inserted;
            corner[3 * i + c] = point_ids.find_or_insert(key, points, inserted);
        }
    // Net count of each undirected edge, counted in the direction from its smaller id.
    std::vector<uint64_t> edges;
    std::vector<int64_t> net;
    edges.reserve(n);
    IdTable<uint64_t, EdgeHash> edge_ids(3 * n / 2 + 1);
    for (uint64_t i = 0; i < n; ++i)
        for (unsigned c = 0; c < 3; ++c) {
            uint32_t const a = corner[3 * i + c], b = corner[3 * i + (c + 1) % 3];
            if (a == b) continue;
            uint64_t const key = a < b ? (uint64_t{a} << 32 | b) : (uint64_t{b} << 32 | a);
            bool inserted;
            uint32_t const id = edge_ids.find_or_insert(key, edges, inserted);
            if (inserted) net.push_back(0);
            net[id] += a < b ? 1 : -1;
        }
    auto const point = [&](uint32_t id) {
        Vec3 v;
        std::memcpy(&v.x, &points[id].x, 4);
        std::memcpy(&v.y, &points[id].y, 4);
        std::memcpy(&v.z, &points[id].z, 4);
        return v;
    };
    for (size_t e = 0; e < edges.size(); ++e) {
        if (net[e] == 0) continue;
        uint32_t lo = static_cast<uint32_t>(edges[e] >> 32), hi = static_cast<uint32_t>(edges[e]);
        if (net[e] < 0) std::swap(lo, hi);
        BoundarySegment const s{point(lo), point(hi)};
        for (int64_t k = 0; k < std::abs(net[e]); ++k) chain.push_back(s);
    }
    return chain;
}

void ray_boxes(float const* soa, uint64_t n, BVH8Node const* nodes, LeafPointers const* leaf_pointers,
               uint32_t node_count, std::vector<RayBox>& node_boxes, std::vector<RayBox>& leaf_boxes) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    RayBox const empty{{inf, inf, inf}, {-inf, -inf, -inf}};
    auto const grow = [](RayBox& box, RayBox const& other) {
        for (int a = 0; a < 3; ++a) {
            box.lo[a] = std::fmin(box.lo[a], other.lo[a]);
            box.hi[a] = std::fmax(box.hi[a], other.hi[a]);
        }
    };
    uint64_t const leaves = (n + PRIMITIVES_PER_LEAF - 1) / PRIMITIVES_PER_LEAF;
    leaf_boxes.assign(leaves, empty);
    for (uint64_t i = 0; i < n; ++i) {
        RayBox& box = leaf_boxes[i / PRIMITIVES_PER_LEAF];
        for (unsigned c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a) {
                float const v = soa[(3 * c + a) * n + i];
                box.lo[a] = std::fmin(box.lo[a], v);
                box.hi[a] = std::fmax(box.hi[a], v);
            }
    }
    node_boxes.assign(node_count, empty);
    for (uint32_t k = node_count; k-- > 0;) {
        BVH8Node const& node = nodes[k];
        uint32_t internal = node.first_child;
        for (unsigned slot = 0; slot < 8; ++slot) {
            ChildType const type = node.getChildMeta(slot);
            if (type == ChildType::Internal) {
                uint32_t const child = internal++;
                if (child > k && child < node_count) grow(node_boxes[k], node_boxes[child]);
            } else if (type == ChildType::Leaf) {
                uint32_t const leaf = leaf_pointers[k].leaves[slot];
                if (leaf < leaves) grow(node_boxes[k], leaf_boxes[leaf]);
            }
        }
    }
}

bool all_finite(float const* soa, uint64_t n) {
    for (uint64_t i = 0; i < 9 * n; ++i)
        if (!std::isfinite(soa[i])) return false;
    return true;
}

}  // namespace gyrant
