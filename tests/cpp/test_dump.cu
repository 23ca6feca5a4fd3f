// The tree dump refuses a hierarchy whose indices point outside what was built, instead of
// reading past its host copies or walking in circles. (The text itself is checked from Python.)
#include "platform.h"
#include "gyrant_cuda.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using test::DeviceArray;
using Access = GyrantBackendTestAccess;

//! 20 leaves of random triangles: a root with internal children, so every index kind exists.
std::unique_ptr<GyrantBackend<Triangle>> build_engine() {
    std::mt19937 rng(20240607);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> soup(9 * 20 * PRIMITIVES_PER_LEAF);
    for (float& x : soup) x = u(rng);
    DeviceArray<float> d_soup(soup);
    auto engine = GyrantBackend<Triangle>::CreateFromTriangles(d_soup.get(), soup.size() / 9, 0);
    EXPECT_EQ(cudaStreamSynchronize(Access::stream(*engine)), cudaSuccess);
    return engine;
}

template <class E>
E read(E const* p) {
    return DeviceArray<E>::download(p, 1)[0];
}

template <class E>
void write(E* p, E const& value) {
    ASSERT_EQ(cudaMemcpy(p, &value, sizeof(E), cudaMemcpyHostToDevice), cudaSuccess);
}

void expect_refused(GyrantBackend<Triangle> const& engine, char const* what) {
    try {
        (void)engine.dump();
        ADD_FAILURE() << "dump accepted " << what;
    } catch (std::runtime_error const& e) {
        EXPECT_NE(std::string(e.what()).find("inconsistent"), std::string::npos) << e.what();
    }
}

TEST(TreeDump, RefusesIndicesOutsideTheBuiltHierarchy) {
    auto engine = build_engine();
    uint32_t* count = Access::bvh8_node_count(*engine);
    BVH8Node* nodes = Access::bvh8_nodes(*engine);
    LeafPointers* rows = Access::leaf_pointers(*engine);

    std::string const good = engine->dump();
    ASSERT_EQ(good.substr(good.size() - 2), "}\n");
    uint32_t const built = read(count);
    ASSERT_GE(built, 2u);
    BVH8Node const root = read(nodes);

    // Node count: none at all (what a failed read leaves), or more than L - 1 nodes.
    write(count, 0u);
    expect_refused(*engine, "a node count of 0");
    write(count, static_cast<uint32_t>(engine->bvh8_capacity() + 1));
    expect_refused(*engine, "a node count above L - 1");
    write(count, built);

    // An internal child that points back at its parent would never end the walk.
    unsigned internal_slot = 8;
    for (unsigned k = 8; k-- > 0;)
        if (root.getChildMeta(k) == ChildType::Internal) internal_slot = k;
    ASSERT_LT(internal_slot, 8u);
    BVH8Node looped = root;
    looped.first_child = 0;
    write(nodes, looped);
    expect_refused(*engine, "a child pointing at its parent");
    looped.first_child = built;  // one past the last node
    write(nodes, looped);
    expect_refused(*engine, "a child past the last node");

    // A leaf slot whose leaf index is past the last leaf.
    BVH8Node with_leaf = root;
    with_leaf.setChildMeta(internal_slot, ChildType::Leaf);
    write(nodes, with_leaf);
    LeafPointers row = read(rows);
    LeafPointers const original_row = row;
    row.leaves[internal_slot] = static_cast<uint32_t>(engine->leaf_count());
    write(rows, row);
    expect_refused(*engine, "a leaf index past the last leaf");

    // Restored, the same document comes back.
    write(nodes, root);
    write(rows, original_row);
    EXPECT_EQ(engine->dump(), good);
}

}  // namespace
