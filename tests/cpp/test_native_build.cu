// The native build against the emulated kernels: the same buffers bit for bit (the 8-wide
// nodes compared by the leaves they cover, since a level's numbering is free), and the same
// native result for every number of OpenMP threads.
#include "platform.h"

// The native build exists in the host flavour only.
#if defined(GYRANT_FLAVOUR_HOST)
#include "bvh8_checks.h"
#include "cpu/native.h"
#include "expansion_reference.h"
#include "host/flush_to_zero.h"
#include "kernels/common.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using Access = GyrantBackendTestAccess;

//! Everything a build writes, as bytes where padding or NaN would spoil a value comparison.
template <class T>
struct Built {
    test::Snapshot<T> s;
    std::vector<std::vector<uint8_t>> boxes;  // all 2L - 1 binary boxes, fields only
    std::vector<uint8_t> scene;               // published corners and scale
    unsigned L = 0;
};

std::vector<uint8_t> box_bytes(AABB const& b) {
    std::vector<uint8_t> out(sizeof b.min + sizeof b.max + sizeof b.center + sizeof b.radius);
    uint8_t* p = out.data();
    for (auto [field, size] : {std::pair<void const*, size_t>{&b.min, sizeof b.min}, {&b.max, sizeof b.max},
                               {&b.center, sizeof b.center}, {&b.radius, sizeof b.radius}}) {
        std::memcpy(p, field, size);
        p += size;
    }
    return out;
}

template <class T, class Make>
Built<T> build(bool native, Make const& make) {
    testing::internal::CaptureStdout();
    auto const engine = [&] {
        gyrant::cpu::ScopedTestHooks hooks;
        hooks.native_build(native);
        return make();
    }();
    testing::internal::GetCapturedStdout();

    Built<T> b;
    b.s = test::snapshot(*engine);
    b.L = static_cast<unsigned>(engine->leaf_count());
    for (AABB const& box : test::DeviceArray<AABB>::download(Access::binary_aabbs(*engine), 2 * size_t{b.L} - 1))
        b.boxes.push_back(box_bytes(box));
    SceneParams const p = Access::scene_params(*engine);
    b.scene = test::bytes_of(p.bounds.min);
    for (uint8_t byte : test::bytes_of(p.bounds.max)) b.scene.push_back(byte);
    for (uint8_t byte : test::bytes_of(p.inv_extent)) b.scene.push_back(byte);
    return b;
}

std::vector<std::vector<uint8_t>> stored_expansions(std::vector<TailorCoefficientsF16> const& c) {
    std::vector<std::vector<uint8_t>> out;
    for (auto const& e : c) out.push_back(test::bytes_of(e, test::STORED_EXPANSION_BYTES));
    return out;
}

//! The same build, native and emulated: every buffer bitwise, the hierarchy canonically.
template <class T, class Make>
void expect_native_matches_emulated(Make const& make) {
    Built<T> const want = build<T>(false, make);
    Built<T> const got = build<T>(true, make);
    SCOPED_TRACE(testing::Message() << "n = " << want.s.sorted_indices.size());
    EXPECT_EQ(got.scene, want.scene);
    EXPECT_EQ(got.s.sorted_indices, want.s.sorted_indices);
    ASSERT_EQ(got.s.primitives.size(), want.s.primitives.size());
    EXPECT_EQ(0, std::memcmp(got.s.primitives.data(), want.s.primitives.data(), got.s.primitives.size() * sizeof(float)));
    ASSERT_EQ(got.boxes.size(), want.boxes.size());
    for (size_t i = 0; i < got.boxes.size(); ++i) EXPECT_EQ(got.boxes[i], want.boxes[i]) << "binary node " << i;
    EXPECT_EQ(stored_expansions(got.s.leaf_coefficients), stored_expansions(want.s.leaf_coefficients));
    ASSERT_EQ(got.s.node_count, want.s.node_count);

    test::Bvh8Links const got_links = test::check_bvh8_structure(got.L, got.s.nodes, got.s.rows);
    test::Bvh8Links const want_links = test::check_bvh8_structure(want.L, want.s.nodes, want.s.rows);
    ASSERT_FALSE(testing::Test::HasFailure());
    EXPECT_TRUE(test::canonical_hierarchy(got.s.nodes, got.s.rows, got.s.coefficients, got_links) ==
                test::canonical_hierarchy(want.s.nodes, want.s.rows, want.s.coefficients, want_links));
}

auto soup_engine(std::vector<Triangle> const& tris) {
    return [tris] { return test::from_soup(tris); };
}
auto point_engine(std::vector<PointNormal> const& pts) {
    return [pts] { return test::from_points(pts); };
}

//! Triangles around the origin with some coordinates NaN or beyond the half range (infinite
//! corners, NaN opening keys), degenerate triangles of zero weight, a cluster of them that
//! fills whole leaves, and a cluster so small that its areas and moments are subnormal floats
//! (flushed by the kernels).
std::vector<Triangle> hostile_soup(size_t n, uint64_t seed) {
    std::vector<Triangle> tris = test::random_soup(n, seed);
    test::Random rng(seed + 1);
    float const nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < n; ++i) {
        Triangle& t = tris[i];
        switch (rng.bits() % 16) {
            case 0: t.v1.y = nan; break;
            case 1: t.v0 = t.v0 * 1e5f; break;
            case 2: t.v2.x = -1e5f; break;
            case 3: t.v2 = t.v1; break;  // zero area
            default: break;
        }
    }
    for (size_t i = 0; i < 100; ++i) {
        Vec3 const p{3.0f, 3.0f, 3.0f};
        tris.push_back({p, p, p});
    }
    for (size_t i = 0; i < 100; ++i)
        tris.push_back({rng.point(-1, 1) * 1e-19f, rng.point(-1, 1) * 1e-19f, rng.point(-1, 1) * 1e-19f});
    return tris;
}

std::vector<PointNormal> hostile_points(size_t n, uint64_t seed) {
    std::vector<PointNormal> pts = test::clustered_points(n, seed);
    test::Random rng(seed + 1);
    float const nan = std::numeric_limits<float>::quiet_NaN();
    for (auto& p : pts) {
        switch (rng.bits() % 12) {
            case 0: p.position.z = nan; break;
            case 1: p.position = p.position * 1e5f; break;
            case 2: p.normal.x = nan; break;
            default: break;
        }
    }
    for (size_t i = 0; i < 100; ++i) pts.push_back({rng.point(-1, 1) * 1e-19f, rng.point(-1, 1) * 1e-2f});
    return pts;
}

TEST(NativeBuild, TrianglesMatchTheKernels) {
    // A partial single leaf, one leaf exactly, two leaves, two full leaves, a third with one
    // triangle, a partial last leaf, and a size where the loops run on a team.
    for (size_t n : {7u, 32u, 33u, 64u, 65u, 4001u, 30000u}) expect_native_matches_emulated<Triangle>(soup_engine(test::random_soup(n, 10 + n)));
    expect_native_matches_emulated<Triangle>(soup_engine(test::soup(test::icosphere(4))));
    expect_native_matches_emulated<Triangle>(soup_engine(hostile_soup(5000, 3)));
    // Every triangle centred at the origin: the scene has extent, every code ties.
    test::Random rng(4);
    std::vector<Triangle> spun;
    for (int i = 0; i < 300; ++i) {
        Vec3 const d = rng.point(-1, 1);
        Vec3 const e{-d.y, d.x, 0};
        spun.push_back({d, e, (d + e) * -1.0f});
    }
    expect_native_matches_emulated<Triangle>(soup_engine(spun));
}

TEST(NativeBuild, PointsMatchTheKernels) {
    for (size_t n : {32u, 33u, 64u, 65u, 2049u, 20000u}) expect_native_matches_emulated<PointNormal>(point_engine(test::clustered_points(n, 20 + n)));
    expect_native_matches_emulated<PointNormal>(point_engine(test::nested_clusters(9)));
    expect_native_matches_emulated<PointNormal>(point_engine(hostile_points(6000, 5)));
    // Every point in one place: scale 0, every code 0, every leaf box a point.
    test::Random rng(6);
    std::vector<PointNormal> same(1000, PointNormal{{0.25f, -3, 7}, {0, 0, 0}});
    for (auto& p : same) p.normal = rng.point(-1, 1);
    expect_native_matches_emulated<PointNormal>(point_engine(same));
}

TEST(NativeBuild, SameResultForEveryThreadCount) {
    int const saved = omp_get_max_threads();
    auto const check = [&](auto const& make, auto tag) {
        using T = decltype(tag);
        std::vector<Built<T>> runs;
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            runs.push_back(build<T>(true, make));
        }
        omp_set_num_threads(saved);
        for (size_t r = 1; r < runs.size(); ++r) {
            SCOPED_TRACE(testing::Message() << "run " << r);
            Built<T> const& a = runs[0];
            Built<T> const& b = runs[r];
            EXPECT_EQ(a.scene, b.scene);
            EXPECT_EQ(a.s.sorted_indices, b.s.sorted_indices);
            EXPECT_EQ(a.boxes, b.boxes);
            EXPECT_EQ(stored_expansions(a.s.leaf_coefficients), stored_expansions(b.s.leaf_coefficients));
            ASSERT_EQ(a.s.node_count, b.s.node_count);
            for (size_t v = 0; v < a.s.nodes.size(); ++v) {
                EXPECT_EQ(test::bytes_of(a.s.nodes[v]), test::bytes_of(b.s.nodes[v])) << "node " << v;
                EXPECT_EQ(test::bytes_of(a.s.rows[v]), test::bytes_of(b.s.rows[v])) << "node " << v;
            }
            EXPECT_EQ(stored_expansions(a.s.coefficients), stored_expansions(b.s.coefficients));
        }
    };
    check(soup_engine(hostile_soup(40000, 8)), Triangle{});
    check(point_engine(test::clustered_points(60000, 9)), PointNormal{});
}

TEST(NativeBuild, RejectsWhatItCannotBuild) {
    std::vector<float> const soup(9, 1.0f);
    std::vector<uint32_t> indices(1);
    std::vector<float> planes(9);
    std::vector<AABB> boxes(1);
    uint32_t count = 7;
    std::vector<TailorCoefficientsF16> leaves(1);
    gyrant::cpu::EngineBuffers const out{indices.data(), planes.data(), boxes.data(), &count,
                                         nullptr,        nullptr,       leaves.data(), nullptr};
    EXPECT_THROW(gyrant::cpu::build_triangles(soup.data(), 0, out), std::invalid_argument);
    EXPECT_THROW(gyrant::cpu::build_triangles(nullptr, 1, out), std::invalid_argument);
    EXPECT_THROW(gyrant::cpu::build_points(soup.data(), nullptr, 1, out), std::invalid_argument);
    gyrant::cpu::EngineBuffers missing = out;
    missing.binary_aabbs = nullptr;
    EXPECT_THROW(gyrant::cpu::build_triangles(soup.data(), 1, missing), std::invalid_argument);
    // 33 primitives need 8-wide nodes, which `out` lacks.
    std::vector<float> const big(9 * 33, 1.0f);
    EXPECT_THROW(gyrant::cpu::build_triangles(big.data(), 33, out), std::invalid_argument);
    // One triangle needs no node: the build writes its leaf and a node count of 0.
    gyrant::cpu::build_triangles(soup.data(), 1, out);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(indices[0], 0u);
    EXPECT_EQ(planes, soup);
}

// The frame's measurements run in the caller's floating-point control on every thread of the
// team: with subnormals flushed, one thread and three give the same bits.
TEST(NativeBuild, FrameStepsKeepTheCallersControl) {
    std::vector<float> coords(3 * 6000, 0.0f);
    coords[3 * 5000 + 1] = 1e-40f;  // subnormal, far into a worker's share
    auto const run = [&](int threads) {
        int const saved = omp_get_max_threads();
        omp_set_num_threads(threads);
        // Threads started under the flushing control would inherit it: start the team first.
        gyrant::cpu::coordinate_spread(coords.data(), 6000);
        gyrant::host::FlushToZero const ftz;
        gyrant::cpu::Spread const s = gyrant::cpu::coordinate_spread(coords.data(), 6000);
        std::vector<float> scaled(coords.size());
        gyrant::cpu::scale_floats(coords.data(), coords.size(), 0x1p40f, scaled.data());
        omp_set_num_threads(saved);
        std::vector<uint8_t> bytes = test::bytes_of(s.hi);
        for (uint8_t b : test::bytes_of(s.magnitude)) bytes.push_back(b);
        for (uint8_t b : test::bytes_of(scaled[3 * 5000 + 1])) bytes.push_back(b);
        return bytes;
    };
    EXPECT_EQ(run(3), run(1));
}

// ---- the leaves' groups ----------------------------------------------------------------------

//! The planes of primitives as the engine stores them (coordinate c of primitive i at c n + i).
template <class T>
std::vector<float> planes_of(std::vector<T> const& prims) {
    constexpr size_t P = sizeof(T) / sizeof(float);
    std::vector<float> planes(P * prims.size());
    for (size_t i = 0; i < prims.size(); ++i)
        for (size_t c = 0; c < P; ++c) planes[c * prims.size() + i] = reinterpret_cast<float const*>(&prims[i])[c];
    return planes;
}

//! Z, F and S of an expansion at unit direction d in double: from the walk's single-precision
//! terms, and from moments by their definition (as reference_terms reads a stored record), with
//! the sum of the absolute terms as the scale of their rounding.
struct Forms {
    double z, f, s, scale;
};
Forms from_far(float const (&far)[gyrant::cpu::WideNode::FAR_TERMS], test::D3 const& d) {
    using W = gyrant::cpu::WideNode;
    auto const t = [&](W::Far k) { return double(far[k]); };
    double const x = d[0], y = d[1], z = d[2];
    Forms r{};
    r.z = t(W::Z_X) * x + t(W::Z_Y) * y + t(W::Z_Z) * z;
    r.f = t(W::TRACE) - 3 * (t(W::Q_XX) * x * x + t(W::Q_YY) * y * y + t(W::Q_ZZ) * z * z + t(W::Q_XY) * x * y +
                             t(W::Q_XZ) * x * z + t(W::Q_YZ) * y * z);
    r.s = t(W::C_XXX) * x * x * x + t(W::C_XXY) * x * x * y + t(W::C_XXZ) * x * x * z + t(W::C_XYY) * x * y * y +
          t(W::C_XYZ) * x * y * z + t(W::C_XZZ) * x * z * z + t(W::C_YYY) * y * y * y + t(W::C_YYZ) * y * y * z +
          t(W::C_YZZ) * y * z * z + t(W::C_ZZZ) * z * z * z + t(W::L_X) * x + t(W::L_Y) * y + t(W::L_Z) * z;
    return r;
}
Forms from_moments(test::Moments const& m, test::D3 const& d) {
    static constexpr int block[3][3] = {{0, 1, 2}, {1, 3, 4}, {2, 4, 5}};
    auto const T = [&](int p, int q, int s) { return m.second[3 * block[p][q] + s]; };
    Forms r{};
    for (int i = 0; i < 3; ++i) {
        r.z += m.zero[i] * d[i];
        r.scale += std::fabs(m.zero[i]);
        r.f += m.first[4 * i];
        for (int j = 0; j < 3; ++j) {
            r.f -= 3 * m.first[3 * i + j] * d[i] * d[j];
            r.scale += 4 * std::fabs(m.first[3 * i + j]);
        }
    }
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q)
            for (int s = 0; s < 3; ++s) {
                r.s += 15 * T(p, q, s) * d[p] * d[q] * d[s];
                r.scale += 24 * std::fabs(T(p, q, s));
            }
    for (int k = 0; k < 3; ++k)
        for (int s = 0; s < 3; ++s) r.s -= (6 * T(s, k, s) + 3 * T(s, s, k)) * d[k];
    return r;
}

//! Every group of `prims` against its primitives in double: the centre is their weighted centroid
//! (area or 1), the bound holds every vertex and is tight, and Z, F and S at many directions equal
//! those of the double-precision moments about that centre (by a quadrature rule of their own)
//! within float rounding of the terms: the moments are summed in float over at most 8 primitives
//! and rounded once into the far terms, a few units of 2^-24 of the scale; 1e-6 of it is asserted.
template <class T>
void expect_groups_match_double(std::vector<T> const& prims) {
    unsigned const n = static_cast<unsigned>(prims.size());
    std::vector<float> const planes = planes_of(prims);
    std::vector<gyrant::cpu::LeafGroups> const groups =
        gyrant::cpu::make_leaf_groups(SoAView<T>{planes.data(), n}, n);
    ASSERT_EQ(groups.size(), (n + 31) / 32);
    test::Random rng(17);
    for (unsigned first = 0; first < n; first += gyrant::cpu::GROUP_SIZE) {
        SCOPED_TRACE(first);
        unsigned const end = std::min(n, first + gyrant::cpu::GROUP_SIZE);
        gyrant::cpu::LeafGroups const& leaf = groups[first / 32];
        unsigned const g = first % 32 / gyrant::cpu::GROUP_SIZE;
        Vec3 const centre{leaf.cx[g], leaf.cy[g], leaf.cz[g]};
        double weight = 0, reach = 0;
        test::D3 weighted{};
        test::Moments m;
        for (unsigned i = first; i < end; ++i) {
            T const& p = prims[i];
            test::Moments one;
            double w = 1;
            if constexpr (std::is_same_v<T, Triangle>) {
                one = test::triangle_moments(p, centre);
                w = test::norm(test::d3(p.get_scaled_normal()));
                for (Vec3 const& v : {p.v0, p.v1, p.v2}) reach = std::max(reach, test::norm(test::sub(test::d3(v), test::d3(centre))));
            } else {
                one = test::point_moments(p, centre);
                reach = std::max(reach, test::norm(test::sub(test::d3(p.position), test::d3(centre))));
            }
            weight += w;
            for (int k = 0; k < 3; ++k) weighted[k] += w * test::d3(p.centroid())[k];
            for (int k = 0; k < 3; ++k) m.zero[k] += one.zero[k];
            for (int k = 0; k < 9; ++k) m.first[k] += one.first[k];
            for (int k = 0; k < 18; ++k) m.second[k] += one.second[k];
        }
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(test::d3(centre)[k], weighted[k] / weight, 1e-6) << k;
        EXPECT_GE(double(leaf.r[g]), reach);
        EXPECT_LE(double(leaf.r[g]), reach * (1 + 1e-5));
        EXPECT_EQ(leaf.r2[g], leaf.r[g] * leaf.r[g]);
        for (int k = 0; k < 20; ++k) {
            Vec3 const v = rng.point(-1.0f, 1.0f);
            double const length = test::norm(test::d3(v));
            test::D3 const d{v.x / length, v.y / length, v.z / length};
            Forms const got = from_far(leaf.far[g], d), want = from_moments(m, d);
            EXPECT_NEAR(got.z, want.z, 1e-6 * want.scale);
            EXPECT_NEAR(got.f, want.f, 1e-6 * want.scale);
            EXPECT_NEAR(got.s, want.s, 1e-6 * want.scale);
        }
    }
}

// The groups' expansions against double precision, including the partial last group (75 and 70
// primitives); and the same bytes for any number of threads.
TEST(NativeBuild, GroupExpansionsMatchDoublePrecision) {
    expect_groups_match_double(test::random_soup(75, 5));
    expect_groups_match_double(test::clustered_points(70, 6));
    std::vector<Triangle> const many = test::random_soup(5000, 7);
    std::vector<float> const planes = planes_of(many);
    auto const with = [&](int threads) {
        int const saved = omp_get_max_threads();
        omp_set_num_threads(threads);
        auto groups = gyrant::cpu::make_leaf_groups(SoAView<Triangle>{planes.data(), many.size()}, 5000u);
        omp_set_num_threads(saved);
        return groups;
    };
    auto const one = with(1), three = with(3);
    EXPECT_EQ(std::memcmp(one.data(), three.data(), one.size() * sizeof(one[0])), 0);
}

// A hierarchy the walk cannot trust stops the engine loudly instead of leaving it to sum every
// primitive for every query, or to read past its leaves.
TEST(NativeBuild, InconsistentHierarchyIsRefused) {
    testing::internal::CaptureStdout();
    auto engine = test::from_soup(test::random_soup(300, 12));
    testing::internal::GetCapturedStdout();
    test::Snapshot<Triangle> const s = test::snapshot(*engine);
    uint32_t const leaves = static_cast<uint32_t>(engine->leaf_count());
    AABB const* leaf_boxes = Access::binary_aabbs(*engine) + (leaves - 1);
    std::vector<LeafPointers> rows = s.rows;
    uint32_t v = 0, k = 0;
    while (s.nodes[v].getChildMeta(k) != ChildType::Leaf) v += ++k == 8, k %= 8;
    for (uint32_t bad : {leaves, 0xFFFFFFF0u}) {
        rows[v].leaves[k] = bad;
        EXPECT_THROW(gyrant::cpu::make_wide_tree(s.nodes.data(), rows.data(), s.coefficients.data(),
                                                 s.leaf_coefficients.data(), leaf_boxes, s.node_count, leaves),
                     std::runtime_error) << bad;
    }
    uint32_t& count = *Access::bvh8_node_count(*engine);
    for (uint32_t bad : {uint32_t(engine->bvh8_capacity() + 1), 0u}) {
        count = bad;
        EXPECT_THROW(Access::derive_native_tree(*engine), std::runtime_error) << bad;
    }
}

}  // namespace

#endif  // GYRANT_FLAVOUR_HOST
