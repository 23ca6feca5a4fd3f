// Leaf and bounds pass: leaf packets and internal binary nodes against direct double-precision
// computations over their primitives.
#include "platform.h"
#include "kernels/build_binary_tree.h"
#include "expansion_reference.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

struct PassResult {
    std::vector<BinaryNode> nodes;
    std::vector<unsigned int> parents;
    std::vector<AABB> boxes;
    std::vector<TailorCoefficientsF16> coefficients;
    std::vector<float> weights;
};

//! The topology over `keys` (one per leaf), then the pass over `prims` taken as sorted.
template <class T>
PassResult run_pass(std::vector<T> const& prims, std::vector<unsigned long> const& keys) {
    unsigned const n = static_cast<unsigned>(prims.size());
    unsigned const L = (n + 31) / 32;
    EXPECT_EQ(keys.size(), L);
    cudaStream_t stream = nullptr;
    test::DeviceArray<float> d_prims(test::to_planes(prims));
    test::DeviceArray<unsigned long> d_keys(keys);
    test::DeviceArray<BinaryNode> d_nodes(L - 1);
    test::DeviceArray<unsigned int> d_parents(2 * L - 1);
    test::DeviceArray<float> d_weights(std::vector<float>(L - 1, 0.0f));
    test::DeviceArray<AABB> d_boxes(2 * L - 1);
    test::DeviceArray<TailorCoefficientsF16> d_coefficients(L);
    build_binary_topology(d_keys.get(), d_nodes.get(), d_parents.get(), L, stream);
    populate_binary_tree_aabb_and_leaf_coefficients<T>(d_prims.get(), d_coefficients.get(), L,
                                                       d_nodes.get(), d_boxes.get(),
                                                       d_parents.get(), d_weights.get(), n, stream);
    EXPECT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    return {d_nodes.download(), d_parents.download(), d_boxes.download(),
            d_coefficients.download(), d_weights.download()};
}

std::vector<unsigned long> sorted_keys(unsigned L, unsigned long range, test::Random& rng) {
    std::vector<unsigned long> keys(L);
    for (auto& k : keys) k = rng.engine() % (range + 1);
    std::sort(keys.begin(), keys.end());
    return keys;
}

float half_round(double v) { return __half2float(__float2half_rn(static_cast<float>(v))); }

// ---- double-precision description of one primitive ----

struct Facts {
    double weight;
    test::D3 centroid;
    std::vector<test::D3> points;  // what the radius must cover
    float lo[3], hi[3];            // float extremes, before rounding to half
};

Facts facts_of(Triangle const& t) {
    test::D3 const a = test::d3(t.v0), b = test::d3(t.v1), c = test::d3(t.v2);
    Facts f;
    f.weight = 0.5 * test::norm(test::cross(test::sub(b, a), test::sub(c, a)));
    f.centroid = {(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3};
    f.points = {a, b, c};
    float const xs[3] = {t.v0.x, t.v1.x, t.v2.x}, ys[3] = {t.v0.y, t.v1.y, t.v2.y},
                zs[3] = {t.v0.z, t.v1.z, t.v2.z};
    f.lo[0] = *std::min_element(xs, xs + 3);
    f.lo[1] = *std::min_element(ys, ys + 3);
    f.lo[2] = *std::min_element(zs, zs + 3);
    f.hi[0] = *std::max_element(xs, xs + 3);
    f.hi[1] = *std::max_element(ys, ys + 3);
    f.hi[2] = *std::max_element(zs, zs + 3);
    return f;
}

Facts facts_of(PointNormal const& p) {
    Facts f;
    f.weight = 1.0;
    f.centroid = test::d3(p.position);
    f.points = {f.centroid};
    float const c[3] = {p.position.x, p.position.y, p.position.z};
    for (int a = 0; a < 3; ++a) f.lo[a] = f.hi[a] = c[a];
    return f;
}

test::Moments moments_of(Triangle const& t, Vec3 const& c) { return test::triangle_moments(t, c); }
test::Moments moments_of(PointNormal const& p, Vec3 const& c) { return test::point_moments(p, c); }

//! Leaf ranges [first, last] of every node in the combined numbering.
void leaf_ranges(PassResult const& r, unsigned L, std::vector<unsigned>& first,
                 std::vector<unsigned>& last) {
    first.assign(2 * L - 1, 0);
    last.assign(2 * L - 1, 0);
    for (unsigned l = 0; l < L; ++l) first[L - 1 + l] = last[L - 1 + l] = l;
    // Children carry no index order relative to their parent: repeat sweeps until every
    // internal node is resolved (each sweep resolves at least the lowest unresolved level).
    std::vector<bool> done(2 * L - 1, false);
    for (unsigned l = 0; l < L; ++l) done[L - 1 + l] = true;
    bool progress = true;
    while (progress) {
        progress = false;
        for (unsigned i = 0; i + 1 < L; ++i) {
            BinaryNode const nd = r.nodes[i];
            if (done[i] || !done[nd.left] || !done[nd.right]) continue;
            first[i] = first[nd.left];
            last[i] = last[nd.right];
            done[i] = progress = true;
        }
    }
    for (unsigned i = 0; i + 1 < L; ++i) ASSERT_TRUE(done[i]) << "node " << i << " unreachable";
}

double scale_of(std::vector<Facts> const& facts) {
    double s = 1.0;
    for (auto const& f : facts)
        for (auto const& p : f.points) s = std::max({s, std::abs(p[0]), std::abs(p[1]), std::abs(p[2])});
    return s;
}

//! Every leaf and every internal node of a pass over `prims` against direct computations.
template <class T>
void check_pass(std::vector<T> const& prims, PassResult const& r) {
    unsigned const n = static_cast<unsigned>(prims.size());
    unsigned const L = (n + 31) / 32;
    std::vector<Facts> facts;
    for (auto const& p : prims) facts.push_back(facts_of(p));
    double const scale = scale_of(facts);
    // Centres are float weighted means, merged once per tree level: a few ulps of the scene's
    // coordinates per level.
    double const centre_tol = 5e-7 * scale * (1 + std::log2(double(L)));

    std::vector<unsigned> first, last;
    leaf_ranges(r, L, first, last);

    // What each packet adds to its ancestors' weights: its primitives' weight, or the arrival
    // mark when that is exactly zero.
    std::vector<double> packet_mark(L, 0.0);
    for (unsigned i = 0; i < n; ++i) packet_mark[i / 32] += facts[i].weight;
    for (double& m : packet_mark)
        if (m == 0.0) m = ZERO_WEIGHT_MARK;

    for (unsigned node = 0; node < 2 * L - 1; ++node) {
        unsigned const p0 = first[node] * 32, p1 = std::min(n, (last[node] + 1) * 32);
        double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
        double weight = 0, wc[3] = {0, 0, 0};
        for (unsigned i = p0; i < p1; ++i) {
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min<double>(lo[a], facts[i].lo[a]);
                hi[a] = std::max<double>(hi[a], facts[i].hi[a]);
                wc[a] += facts[i].weight * facts[i].centroid[a];
            }
            weight += facts[i].weight;
        }
        AABB const& box = r.boxes[node];
        Vec3 const bmin = Vec3::from_f16(box.min), bmax = Vec3::from_f16(box.max);
        // Rounding to nearest half is monotone: the corners are exactly the rounded extremes.
        ASSERT_EQ(bmin.x, half_round(lo[0])) << "node " << node;
        ASSERT_EQ(bmin.y, half_round(lo[1])) << "node " << node;
        ASSERT_EQ(bmin.z, half_round(lo[2])) << "node " << node;
        ASSERT_EQ(bmax.x, half_round(hi[0])) << "node " << node;
        ASSERT_EQ(bmax.y, half_round(hi[1])) << "node " << node;
        ASSERT_EQ(bmax.z, half_round(hi[2])) << "node " << node;
        if (weight > 0) {
            EXPECT_NEAR(box.center.x, wc[0] / weight, centre_tol) << "node " << node;
            EXPECT_NEAR(box.center.y, wc[1] / weight, centre_tol) << "node " << node;
            EXPECT_NEAR(box.center.z, wc[2] / weight, centre_tol) << "node " << node;
        }
        if (node + 1 < L) {
            double marks = 0;
            for (unsigned l = first[node]; l <= last[node]; ++l) marks += packet_mark[l];
            EXPECT_NEAR(r.weights[node], marks, 1e-6 * marks) << "node " << node;  // float sums
            continue;
        }

        unsigned const leaf = node - (L - 1);
        // Radius: the farthest vertex from the centre the kernel chose, rounded to half.
        double radius = 0;
        for (unsigned i = p0; i < p1; ++i)
            for (auto const& pt : facts[i].points)
                radius = std::max(radius, test::norm(test::sub(pt, test::d3(box.center))));
        EXPECT_NEAR(__half2float(box.radius), radius, radius * 0x1p-11 + 1e-6 * scale)
            << "leaf " << leaf;  // half rounding of a float distance

        // Expansion about the leaf's centre, summed in double.
        test::Moments sum, mag;
        for (unsigned i = p0; i < p1; ++i) {
            test::Moments const m = moments_of(prims[i], box.center);
            for (int k = 0; k < 3; ++k) sum.zero[k] += m.zero[k], mag.zero[k] += std::abs(m.zero[k]);
            for (int k = 0; k < 9; ++k) sum.first[k] += m.first[k], mag.first[k] += std::abs(m.first[k]);
            for (int k = 0; k < 18; ++k)
                sum.second[k] += m.second[k], mag.second[k] += std::abs(m.second[k]);
        }
        TailorCoefficients const got = TailorCoefficients::from_f16(r.coefficients[leaf]);
        // Narrowing rounds to nearest: half keeps 11 significant bits (and subnormal steps of
        // 2^-24), bfloat16 keeps 8; the float sums over 32 lanes add ~1e-6 of the magnitudes.
        auto tol = [](double ref, double magnitude, double rel) {
            return std::abs(ref) * rel + 2e-6 * magnitude + 0x1p-24;
        };
        float const z[3] = {got.zero_order.x, got.zero_order.y, got.zero_order.z};
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(z[k], sum.zero[k], tol(sum.zero[k], mag.zero[k], 0x1p-11)) << "leaf " << leaf;
        for (int k = 0; k < 9; ++k)
            EXPECT_NEAR(got.first_order.m[k], sum.first[k], tol(sum.first[k], mag.first[k], 0x1p-11))
                << "leaf " << leaf << " first " << k;
        for (int k = 0; k < 18; ++k)
            EXPECT_NEAR(got.second_order.t[k], sum.second[k], tol(sum.second[k], mag.second[k], 0x1p-8))
                << "leaf " << leaf << " second " << k;
    }
}

//! Small triangles scattered through a box, as a tessellated surface would be.
std::vector<Triangle> scattered_triangles(unsigned n, test::Random& rng) {
    std::vector<Triangle> tris(n);
    for (auto& t : tris) {
        Vec3 const c = rng.point(-4, 4);
        t = {c + rng.point(-0.2f, 0.2f), c + rng.point(-0.2f, 0.2f), c + rng.point(-0.2f, 0.2f)};
    }
    return tris;
}

std::vector<PointNormal> scattered_points(unsigned n, test::Random& rng) {
    std::vector<PointNormal> pts(n);
    for (auto& p : pts) p = {rng.point(-4, 4), rng.point(-0.05f, 0.05f)};
    return pts;
}

}  // namespace

TEST(LeafPass, TrianglesMatchDirectComputation) {
    test::Random rng(41);
    // Not a multiple of 32 (a partial last packet), several blocks, and keys with duplicates so
    // the tree is uneven.
    for (unsigned n : {1u, 31u, 32u, 33u, 45u * 32u + 7u}) {
        auto const tris = scattered_triangles(n, rng);
        unsigned const L = (n + 31) / 32;
        auto const r = run_pass(tris, sorted_keys(L, 40, rng));
        check_pass(tris, r);
        if (HasFatalFailure()) return;
    }
}

TEST(LeafPass, PointsMatchDirectComputation) {
    test::Random rng(43);
    for (unsigned n : {5u, 64u, 30u * 32u + 1u}) {
        auto const pts = scattered_points(n, rng);
        unsigned const L = (n + 31) / 32;
        auto const r = run_pass(pts, sorted_keys(L, 1000, rng));
        check_pass(pts, r);
        if (HasFatalFailure()) return;
        // Every point weighs 1, so the subtree weights are exact counts.
        if (L > 1) {
            EXPECT_EQ(r.weights[0], static_cast<float>(n));
        }
    }
}

TEST(LeafPass, ZeroAreaPacketsPropagate) {
    test::Random rng(47);
    // Leaf 1 of three holds only degenerate triangles away from the origin (two equal vertices,
    // so the cross product is exactly zero even with fused multiply-adds).
    auto tris = scattered_triangles(96, rng);
    for (unsigned i = 32; i < 64; ++i) {
        Vec3 const a = rng.point(1, 2);
        tris[i] = {a, a, a + rng.point(-1, 1)};
    }
    // Keys 0, 1, 2: leaves 0 and 1 meet in internal node 1, which meets leaf 2 at the root.
    auto const r = run_pass(tris, {0, 1, 2});
    ASSERT_EQ(r.nodes[0].left, 1u);
    ASSERT_EQ(r.nodes[1].left, 2u);
    ASSERT_EQ(r.nodes[1].right, 3u);
    check_pass(tris, r);

    AABB const& flat = r.boxes[3];
    EXPECT_EQ(flat.center.x, 0.0f);
    EXPECT_EQ(flat.center.y, 0.0f);
    EXPECT_EQ(flat.center.z, 0.0f);
    TailorCoefficients const none = TailorCoefficients::from_f16(r.coefficients[1]);
    EXPECT_EQ(none.zero_order.x, 0.0f);
    for (float v : none.first_order.m) EXPECT_EQ(v, 0.0f);
    for (float v : none.second_order.t) EXPECT_EQ(v, 0.0f);
    // The flat packet counts as 1e-10, so node 1 sits on leaf 0's centre.
    EXPECT_NEAR(r.boxes[1].center.x, r.boxes[2].center.x, 1e-6);
    EXPECT_NEAR(r.boxes[1].center.y, r.boxes[2].center.y, 1e-6);
    EXPECT_GT(r.weights[1], 0.0f);

    // Nothing but flat packets: every arrival still leaves a mark, so every node is merged.
    for (auto& t : tris) t = {t.v0, t.v0, t.v1};
    auto const all_flat = run_pass(tris, {0, 1, 2});
    check_pass(tris, all_flat);
    EXPECT_EQ(all_flat.weights[1], ZERO_WEIGHT_MARK + ZERO_WEIGHT_MARK);
    EXPECT_EQ(all_flat.weights[0], (ZERO_WEIGHT_MARK + ZERO_WEIGHT_MARK) + ZERO_WEIGHT_MARK);
    EXPECT_EQ(all_flat.boxes[0].center.x, 0.0f);
}

#if GYRANT_FLAVOUR_HOST
TEST(LeafPass, IndependentOfBlockScheduling) {
    test::Random rng(53);
    auto const tris = scattered_triangles(300 * 32 + 17, rng);
    auto const keys = sorted_keys(301, 5000, rng);
    int const workers = gyrant::host::worker_threads();
    std::uint64_t const seed = gyrant::host::schedule_seed();
    gyrant::host::set_worker_threads(1);
    gyrant::host::set_schedule_seed(0);
    PassResult const serial = run_pass(tris, keys);
    gyrant::host::set_worker_threads(4);
    PassResult const parallel = run_pass(tris, keys);
    gyrant::host::set_worker_threads(workers);
    gyrant::host::set_schedule_seed(seed);

    // Field by field: padding bytes carry nothing.
    auto expect_same = [&](PassResult const& other) {
        auto same = [](auto const& a, auto const& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
        ASSERT_EQ(serial.boxes.size(), other.boxes.size());
        for (size_t i = 0; i < serial.boxes.size(); ++i) {
            AABB const &a = serial.boxes[i], &b = other.boxes[i];
            ASSERT_TRUE(same(a.min, b.min) && same(a.max, b.max) && same(a.center, b.center) &&
                        same(a.radius, b.radius)) << "box " << i;
        }
        for (size_t i = 0; i < serial.coefficients.size(); ++i) {
            auto const &a = serial.coefficients[i], &b = other.coefficients[i];
            ASSERT_TRUE(same(a.zero_order, b.zero_order) && same(a.first_order, b.first_order) &&
                        same(a.second_order, b.second_order)) << "leaf " << i;
        }
        ASSERT_EQ(0, std::memcmp(serial.weights.data(), other.weights.data(),
                                 serial.weights.size() * sizeof(float)));
    };
    expect_same(parallel);
    // Whichever order blocks are taken in and lanes run in.
    test::for_each_schedule([&](test::Schedule const& s) {
        SCOPED_TRACE(testing::Message() << s);
        expect_same(run_pass(tris, keys));
    });
}
#endif
