// Binary radix tree topology: structure checked against an independent prefix computation.
#include "platform.h"
#include "kernels/build_binary_tree.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

namespace {

struct Topology {
    std::vector<BinaryNode> nodes;
    std::vector<uint32_t> parents;
};

Topology run_topology(std::vector<uint64_t> const& keys) {
    unsigned const L = static_cast<unsigned>(keys.size());
    test::DeviceArray<unsigned long> d_keys(std::vector<unsigned long>(keys.begin(), keys.end()));
    test::DeviceArray<BinaryNode> d_nodes(L - 1);
    test::DeviceArray<unsigned int> d_parents(2 * L - 1);
    // Garbage in every entry, so that an entry the build forgets to write shows.
    d_parents.upload(std::vector<unsigned int>(2 * L - 1, 0x5A5A5A5Au));
    d_nodes.upload(std::vector<BinaryNode>(L - 1, BinaryNode{0x5A5A5A5Au, 0x5A5A5A5Au}));
    cudaStream_t stream = nullptr;
    build_binary_topology(d_keys.get(), d_nodes.get(), d_parents.get(), L, stream);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    return {d_nodes.download(), d_parents.download()};
}

//! Common prefix of the keys extended by their leaf index (written independently of the kernel).
int extended_prefix(std::vector<uint64_t> const& keys, unsigned i, unsigned j) {
    if (keys[i] != keys[j]) return std::countl_zero(keys[i] ^ keys[j]);
    return 64 + std::countl_zero(static_cast<uint32_t>(i ^ j));
}

//! Every property of a radix tree over the extended keys: a binary tree over all leaves with
//! consistent parent links, each node covering a contiguous range (left child the lower part)
//! with the node index at one end, split where the extended keys first differ.
void check_tree(std::vector<uint64_t> const& keys, Topology const& t) {
    unsigned const L = static_cast<unsigned>(keys.size());
    unsigned const internal = L - 1;
    ASSERT_EQ(t.parents.size(), 2 * L - 1);
    EXPECT_EQ(t.parents[0], INVALID_INDEX);

    std::vector<int> times_child(2 * L - 1, 0);
    for (unsigned i = 0; i < internal; ++i) {
        for (uint32_t c : {t.nodes[i].left, t.nodes[i].right}) {
            ASSERT_LT(c, 2 * L - 1) << "node " << i;
            ++times_child[c];
            EXPECT_EQ(t.parents[c], i) << "child " << c;
        }
    }
    EXPECT_EQ(times_child[0], 0);
    for (unsigned c = 1; c < 2 * L - 1; ++c) ASSERT_EQ(times_child[c], 1) << "index " << c;

    // Leaf ranges bottom-up by an explicit post-order walk from the root.
    std::vector<unsigned> lo(2 * L - 1), hi(2 * L - 1);
    std::vector<int> visited(2 * L - 1, 0);
    std::vector<std::pair<unsigned, bool>> stack{{0u, false}};
    while (!stack.empty()) {
        auto [node, expanded] = stack.back();
        stack.pop_back();
        if (BinaryNode::is_leaf(node, internal)) {
            ++visited[node];
            lo[node] = hi[node] = node - internal;
            continue;
        }
        BinaryNode const n = t.nodes[node];
        if (!expanded) {
            ++visited[node];
            ASSERT_EQ(visited[node], 1) << "cycle at " << node;
            stack.push_back({node, true});
            stack.push_back({n.left, false});
            stack.push_back({n.right, false});
            continue;
        }
        ASSERT_EQ(hi[n.left] + 1, lo[n.right]) << "node " << node << " covers a gap";
        lo[node] = lo[n.left];
        hi[node] = hi[n.right];
        EXPECT_TRUE(lo[node] == node || hi[node] == node) << "node " << node;
        // The split is the unique weakest link of the range.
        unsigned const split = hi[n.left];
        int const at_split = extended_prefix(keys, split, split + 1);
        for (unsigned k = lo[node]; k < hi[node]; ++k) {
            if (k != split) {
                ASSERT_LT(at_split, extended_prefix(keys, k, k + 1)) << "node " << node;
            }
        }
    }
    for (unsigned c = 0; c < 2 * L - 1; ++c) ASSERT_EQ(visited[c], 1) << "index " << c;
    EXPECT_EQ(lo[0], 0u);
    EXPECT_EQ(hi[0], L - 1);
}

std::vector<uint64_t> sorted_random_keys(unsigned L, uint64_t range, std::mt19937_64& rng) {
    std::vector<uint64_t> keys(L);
    std::uniform_int_distribution<uint64_t> dist(0, range);
    for (auto& k : keys) k = dist(rng);
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace

TEST(RadixTree, SmallTreesAndWorkedExamples) {
    // L = 1: no internal node; the single leaf is the root.
    Topology const one = run_topology({42});
    ASSERT_EQ(one.parents.size(), 1u);
    EXPECT_EQ(one.parents[0], INVALID_INDEX);

    Topology const two = run_topology({5, 9});
    EXPECT_EQ(two.nodes[0].left, 1u);
    EXPECT_EQ(two.nodes[0].right, 2u);
    EXPECT_EQ(two.parents[1], 0u);
    EXPECT_EQ(two.parents[2], 0u);
    EXPECT_EQ(two.parents[0], INVALID_INDEX);

    for (std::vector<uint64_t> keys : {std::vector<uint64_t>{1, 2, 3}, {7, 7, 7}, {0, 0, 8},
                                       {0, 8, 8}, {0x7fffffffffffffffull, 0x7fffffffffffffffull, 0x7fffffffffffffffull}})
        check_tree(keys, run_topology(keys));

    // 0, 0, 1, 1: the keys split the root between leaves 1 and 2.
    Topology const pairs = run_topology({0, 0, 1, 1});
    ASSERT_EQ(pairs.nodes.size(), 3u);
    EXPECT_EQ(pairs.nodes[0].left, 1u);
    EXPECT_EQ(pairs.nodes[0].right, 2u);
    EXPECT_EQ(pairs.nodes[1].left, 3u);
    EXPECT_EQ(pairs.nodes[1].right, 4u);
    EXPECT_EQ(pairs.nodes[2].left, 5u);
    EXPECT_EQ(pairs.nodes[2].right, 6u);

    // Five equal keys: the leaf indices alone decide; bit 2 of the index separates leaf 4.
    Topology const five = run_topology({3, 3, 3, 3, 3});
    EXPECT_EQ(five.nodes[0].left, 3u);
    EXPECT_EQ(five.nodes[0].right, 8u);
    check_tree({3, 3, 3, 3, 3}, five);
}

TEST(RadixTree, RandomDuplicateAndEqualKeys) {
    std::mt19937_64 rng(20240604);
    // Several blocks of threads; distinct-ish 63-bit keys.
    for (unsigned L : {3u, 257u, 258u, 1000u}) {
        auto const keys = sorted_random_keys(L, 0x7fffffffffffffffull, rng);
        check_tree(keys, run_topology(keys));
    }
    // Long runs of duplicates mixed with distinct keys.
    for (unsigned L : {17u, 777u}) {
        auto const keys = sorted_random_keys(L, 7, rng);
        check_tree(keys, run_topology(keys));
    }
    // A scene with all centroids equal gives all-zero keys.
    check_tree(std::vector<uint64_t>(600, 0), run_topology(std::vector<uint64_t>(600, 0)));
}
