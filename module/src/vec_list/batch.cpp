// Element-wise operations of VecList, run on the worker pool.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "binding/def.hpp"
#include "pool.hpp"
#include "quat.hpp"
#include "vec_list/batch.hpp"

namespace quorral {

using galdrin::Quat;
using galdrin::Vec3d;

namespace {

#if defined(__x86_64__)
// The core normalize of elements i and i + 1 at once, lane by lane the same
// operations: the divisions and the square root take most of the time, and
// packed they take fewer instructions.
void normalize_two(const Vec3d* src, Vec3d* dst, std::size_t i) {
    const auto* s = reinterpret_cast<const double*>(src + i);
    auto* d = reinterpret_cast<double*>(dst + i);
    const __m128d xy0 = _mm_loadu_pd(s), zx = _mm_loadu_pd(s + 2), yz1 = _mm_loadu_pd(s + 4);
    const __m128d x = _mm_shuffle_pd(xy0, zx, 0b10), y = _mm_shuffle_pd(xy0, yz1, 0b01), z = _mm_shuffle_pd(zx, yz1, 0b10);
    const __m128d m = _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(x, x), _mm_mul_pd(y, y)), _mm_mul_pd(z, z)));
    _mm_storeu_pd(d, _mm_div_pd(xy0, _mm_unpacklo_pd(m, m)));
    _mm_storeu_pd(d + 2, _mm_div_pd(zx, m));
    _mm_storeu_pd(d + 4, _mm_div_pd(yz1, _mm_unpackhi_pd(m, m)));
}

// Elements i .. i + 3 loaded as a = x0 y0 z0 x1, b = y1 z1 x2 y2, c = z2 x3 y3 z3,
// and their components gathered as x = x0 x1 x2 x3, y = ..., z = ....
struct Four {
    __m256d a, b, c, x, y, z;
};

[[gnu::target("avx2")]] inline Four load_four(const Vec3d* items, std::size_t i) {
    const auto* s = reinterpret_cast<const double*>(items + i);
    Four f;
    f.a = _mm256_loadu_pd(s), f.b = _mm256_loadu_pd(s + 4), f.c = _mm256_loadu_pd(s + 8);
    f.x = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(f.a, f.b, 0b0100), f.c, 0b0010), 0x6C);
    f.y = _mm256_permute_pd(_mm256_blend_pd(_mm256_blend_pd(f.a, f.b, 0b1001), f.c, 0b0100), 0b0101);
    f.z = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(f.a, f.b, 0b0010), f.c, 0b1001), 0xC6);
    return f;
}

// Elements i .. i + 3 the same way: a, b and c are divided by the magnitudes
// spread to match.
[[gnu::target("avx2")]] void normalize_four(const Vec3d* src, Vec3d* dst, std::size_t i) {
    auto* d = reinterpret_cast<double*>(dst + i);
    const auto [a, b, c, x, y, z] = load_four(src, i);
    const __m256d m =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)), _mm256_mul_pd(z, z)));
    _mm256_storeu_pd(d, _mm256_div_pd(a, _mm256_permute4x64_pd(m, 0x40)));
    _mm256_storeu_pd(d + 4, _mm256_div_pd(b, _mm256_permute4x64_pd(m, 0xA5)));
    _mm256_storeu_pd(d + 8, _mm256_div_pd(c, _mm256_permute4x64_pd(m, 0xFE)));
}

void normalize_range(const Vec3d* src, Vec3d* dst, std::size_t i, std::size_t end) {
    for (; i + 2 <= end; i += 2) normalize_two(src, dst, i);
    if (i < end) dst[i] = normalize(src[i]);
}

[[gnu::target("avx2")]] void normalize_range_avx2(const Vec3d* src, Vec3d* dst, std::size_t i, std::size_t end) {
    for (; i + 4 <= end; i += 4) normalize_four(src, dst, i);
    normalize_range(src, dst, i, end);
}

VecArray normalize_all(const VecArray& a) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    VecArray result;
    result.items.resize(a.items.size());
    const Vec3d* src = a.items.data();
    Vec3d* dst = result.items.data();
    pool::parallel_for(a.items.size(), [src, dst](std::size_t begin, std::size_t end) {
        (avx2 ? normalize_range_avx2 : normalize_range)(src, dst, begin, end);
    }, COSTLY_GRAIN);
    return result;
}
// The core dot of pairs i .. i + 3, lane by lane the same operations.
[[gnu::target("avx2")]] void dots_avx2(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const Four p = load_four(a, i), q = load_four(b, i);
        const __m256d xy = _mm256_add_pd(_mm256_mul_pd(p.x, q.x), _mm256_mul_pd(p.y, q.y));
        _mm256_storeu_pd(out + i, _mm256_add_pd(xy, _mm256_mul_pd(p.z, q.z)));
    }
    for (; i < n; ++i) out[i] = dot(a[i], b[i]);
}

// The core distance_to of pairs i .. i + 3 the same way: the differences, their
// dot, its square root.
[[gnu::target("avx2")]] void distances_avx2(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const Four p = load_four(a, i), q = load_four(b, i);
        const __m256d x = _mm256_sub_pd(p.x, q.x), y = _mm256_sub_pd(p.y, q.y), z = _mm256_sub_pd(p.z, q.z);
        const __m256d xy = _mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y));
        _mm256_storeu_pd(out + i, _mm256_sqrt_pd(_mm256_add_pd(xy, _mm256_mul_pd(z, z))));
    }
    for (; i < n; ++i) out[i] = distance_to(a[i], b[i]);
}
#else
VecArray normalize_all(const VecArray& a) {
    return map_elements(a, [](const Vec3d& e) { return normalize(e); }, COSTLY_GRAIN);
}
#endif

#if defined(__x86_64__)
// d[k] = f(s[k]) for n components, which the compiler packs four to a
// register: each lane is the scalar operation on its own component.
template <class Op>
[[gnu::target("avx2")]] void components_avx2(const double* __restrict s, double* __restrict d, std::size_t n,
                                             const Op& op) {
    const Op f = op;
    for (std::size_t k = 0; k < n; ++k) d[k] = f(s[k]);
}
#endif

// op applied to every component alike (x, y and z of every element), two
// components at a time so that the compiler emits packed instructions (four
// with AVX2).
template <class Op>
VecArray map_components(const VecArray& a, const Op& op) {
    using Pair = double __attribute__((vector_size(16)));
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
#endif
    VecArray result;
    result.items.resize(a.items.size());
    const auto* src = reinterpret_cast<const char*>(a.items.data());
    auto* dst = reinterpret_cast<char*>(result.items.data());
    pool::parallel_for(a.items.size(), [src, dst, &op](std::size_t begin, std::size_t end) {
        constexpr std::size_t D = sizeof(double);
#if defined(__x86_64__)
        if (avx2) {
            components_avx2(reinterpret_cast<const double*>(src) + 3 * begin, reinterpret_cast<double*>(dst) + 3 * begin,
                            3 * (end - begin), op);
            return;
        }
#endif
        // Locals: the byte stores below could otherwise change the captured values.
        const char* const s = src;
        char* const d = dst;
        const Op f = op;
        std::size_t k = 3 * begin;
        for (; k + 2 <= 3 * end; k += 2) {
            Pair p;
            std::memcpy(&p, s + D * k, sizeof p);
            p = f(p);
            std::memcpy(d + D * k, &p, sizeof p);
        }
        if (k < 3 * end) {
            double c;
            std::memcpy(&c, s + D * k, D);
            c = f(c);
            std::memcpy(d + D * k, &c, D);
        }
    }, CHEAP_GRAIN);
    return result;
}

Vec3d with_zero(Vec3d v, double Vec3d::*component) {
    v.*component = 0.0;
    return v;
}

VecArray collapse(const VecArray& a, Index axis) {
    static constexpr double Vec3d::*components[] = {&Vec3d::x, &Vec3d::y, &Vec3d::z};
    if (axis > 2) galdrin::panic("assertion failed: axis <= 2");
    switch (axis) {  // one loop per axis, so that the component is fixed inside it
        case 0: return map_elements(a, [](const Vec3d& e) { return with_zero(e, components[0]); });
        case 1: return map_elements(a, [](const Vec3d& e) { return with_zero(e, components[1]); });
        default: return map_elements(a, [](const Vec3d& e) { return with_zero(e, components[2]); });
    }
}

// The nearest of the samples 0, s, 2s, ..., then the nearest within s elements around it.
std::pair<Index, double> minimum_distance_to(const VecArray& a, const Vec3d& other, Index stride) {
    if (stride == 0) galdrin::panic("assertion failed: stride != 0");
    const Vec3d* items = a.items.data();
    const std::size_t n = a.items.size();
    const std::size_t samples = n == 0 ? 0 : (n - 1) / stride + 1;
    const auto coarse =
        pool::min_by_key(samples, [&](std::size_t k) { return distance_squared_key(items[k * stride], other); },
                         CHEAP_GRAIN);
    if (!coarse) galdrin::panic("called `Option::unwrap()` on a `None` value");
    const std::size_t m = coarse->index * stride;
    const std::size_t start = m >= stride ? m - stride : 0;
    const std::size_t end = stride >= n - m ? n : m + stride;
    const auto fine =
        pool::min_by_key(end - start, [&](std::size_t k) { return distance_squared_key(items[start + k], other); },
                         CHEAP_GRAIN);
    return {start + fine->index, std::sqrt(fine->key)};
}

// In place: every element is read before it is overwritten, and the pages are
// already mapped, so this runs faster than into a new array.
void rotate_all(VecArray& a, const Quat& quat) {
    const Quat q = quat;
    map_into(a.items, a.items.data(), [q](const Vec3d& e) { return rotate(q, e); }, COSTLY_GRAIN);
}

}  // namespace

void dots(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return dots_avx2(a, b, out, n);
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = dot(a[i], b[i]);
}

void distances(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return distances_avx2(a, b, out, n);
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = distance_to(a[i], b[i]);
}

void add_batch_operations(ClassSpec& spec) {
    using D = Def<VecArray>;
    const std::initializer_list<PyMethodDef> methods = {
        D::method<"dot($self, other)", [](const VecArray& a, const Vec3d& o) {
            return map_list<double>(a, [o](const Vec3d& e) { return dot(e, o); });
        }>(),
        D::method<"cross($self, other)", [](const VecArray& a, const Vec3d& o) {
            return map_elements(a, [o](const Vec3d& e) { return cross(e, o); });
        }>(),
        D::method<"magnitude($self)", [](const VecArray& a) {
            return map_list<double>(a, [](const Vec3d& e) { return magnitude(e); });
        }>(),
        D::method<"normalize($self)", normalize_all>(),
        D::method<"distance_to($self, other)", [](const VecArray& a, const Vec3d& o) {
            return map_list<double>(a, [o](const Vec3d& e) { return distance_to(e, o); });
        }>(),
        D::method<"distance_squared($self, other)", [](const VecArray& a, const Vec3d& o) {
            return map_list<double>(a, [o](const Vec3d& e) { return distance_squared(e, o); });
        }>(),
        D::method<"is_unit($self)", [](const VecArray& a) {
            return map_list<bool>(a, [](const Vec3d& e) { return is_unit(e); });
        }>(),
        D::method<"rotate($self, quat)", rotate_all>(),
        D::method<"collapse($self, axis)", collapse>(),
        D::method<"minimum_distance_to($self, other, stride)", minimum_distance_to>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
    const std::initializer_list<PyType_Slot> slots = {
        slot(Py_nb_add, &D::binary<[](const VecArray& a, const Vec3d& w) {
            return map_elements(a, [w](const Vec3d& e) { return e + w; });
        }>),
        slot(Py_nb_subtract, &D::binary<[](const VecArray& a, const Vec3d& w) {
            return map_elements(a, [w](const Vec3d& e) { return e - w; });
        }>),
        slot(Py_nb_multiply, &D::multiply<[](const VecArray& a, double rhs) {
            return map_components(a, [rhs](auto c) { return c * rhs; });
        }, [](double lhs, const VecArray& a) {
            return map_components(a, [lhs](auto c) { return c * lhs; });
        }>),
        slot(Py_nb_true_divide, &D::binary<[](const VecArray& a, double rhs) {
            return map_components(a, [rhs](auto c) { return c / rhs; });
        }>),
    };
    spec.slots.insert(spec.slots.end(), slots);
}

}  // namespace quorral
