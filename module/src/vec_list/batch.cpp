// Element-wise operations of VecList, run on the worker pool.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "binding/def.hpp"
#include "mat3.hpp"
#include "pool/pool.hpp"
#include "quat.hpp"
#include "vec_list/batch.hpp"

namespace quorral {

using galdrin::Mat3;
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
    VecArray result;
    result.items.resize(a.items.size());
    const Vec3d* src = a.items.data();
    Vec3d* dst = result.items.data();
    pool::parallel_for(a.items.size(), [src, dst](std::size_t begin, std::size_t end) {
        (has_avx2() ? normalize_range_avx2 : normalize_range)(src, dst, begin, end);
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
    VecArray result;
    result.items.resize(a.items.size());
    const auto* src = reinterpret_cast<const char*>(a.items.data());
    auto* dst = reinterpret_cast<char*>(result.items.data());
    pool::parallel_for(a.items.size(), [src, dst, &op](std::size_t begin, std::size_t end) {
        constexpr std::size_t D = sizeof(double);
#if defined(__x86_64__)
        if (has_avx2()) {
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

// 1 / s when s is a normal power of two, else 0. The reciprocal is then exact,
// so c * (1 / s) and c / s round the same real number: the same bits for every
// c (zeros, infinities and NaNs included), without the cost of a division.
// The reciprocal is built from the bits: 2^e gives 2^-e, kept to normal results.
double exact_reciprocal(double s) {
    constexpr std::uint64_t MANTISSA = (std::uint64_t{1} << 52) - 1;
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    const auto bits = std::bit_cast<std::uint64_t>(s);
    const std::uint64_t exponent = (bits >> 52) & 0x7ff;  // biased: 1023 for 2^0
    if ((bits & MANTISSA) != 0 || exponent == 0 || exponent >= 2046) return 0.0;
    return std::bit_cast<double>((bits & SIGN) | ((2046 - exponent) << 52));
}

// A few divisions cost less than looking at the divisor.
VecArray divide(const VecArray& a, double s) {
    if (const double r = a.items.size() < 8 ? 0.0 : exact_reciprocal(s); r != 0.0)
        return map_components(a, [r](auto c) { return c * r; });
    return map_components(a, [s](auto c) { return c / s; });
}

// d[k] = f(s[k], w's component of the same axis) for the components of four
// elements at a time (blocks of them): the operands are laid out as twelve, so
// that the compiler packs the components into three registers with AVX2 (six
// without). Each lane is the scalar operation on its own component.
template <class Op>
[[gnu::always_inline]] inline void blocks_with(const double* __restrict s, double* __restrict d, std::size_t blocks,
                                               const Vec3d& w, const Op& f) {
    const double p[12] = {w.x, w.y, w.z, w.x, w.y, w.z, w.x, w.y, w.z, w.x, w.y, w.z};
    for (std::size_t b = 0; b < blocks; ++b, s += 12, d += 12) {
        for (std::size_t j = 0; j < 12; ++j) d[j] = f(s[j], p[j]);
    }
}

template <class Op>
void blocks_with_plain(const double* __restrict s, double* __restrict d, std::size_t blocks, Vec3d w, const Op& op) {
    blocks_with(s, d, blocks, w, op);
}

#if defined(__x86_64__)
template <class Op>
[[gnu::target("avx2")]] void blocks_with_avx2(const double* __restrict s, double* __restrict d, std::size_t blocks,
                                              Vec3d w, const Op& op) {
    blocks_with(s, d, blocks, w, op);
}
#endif

// A new list of op(c, w) for every component c, with w the component of the
// same axis of `per_axis`; the last elements of a piece (fewer than four)
// one by one.
template <class Op>
VecArray map_components_with(const VecArray& a, const Vec3d& per_axis, const Op& op) {
#if defined(__x86_64__)
    const auto blocks = has_avx2() ? &blocks_with_avx2<Op> : &blocks_with_plain<Op>;
#else
    const auto blocks = &blocks_with_plain<Op>;
#endif
    VecArray result;
    result.items.resize(a.items.size());
    const Vec3d* src = a.items.data();
    Vec3d* dst = result.items.data();
    const Vec3d w = per_axis;
    pool::parallel_for(a.items.size(), [src, dst, w, blocks, &op](std::size_t begin, std::size_t end) {
        std::size_t i = begin;
        if (const std::size_t count = (end - begin) / 4; count > 0) {
            blocks(reinterpret_cast<const double*>(src + i), reinterpret_cast<double*>(dst + i), count, w, op);
            i += 4 * count;
        }
        const auto one = [src, dst, &w, &op](std::size_t k) {
            dst[k] = {op(src[k].x, w.x), op(src[k].y, w.y), op(src[k].z, w.z)};
        };
        switch (end - i) {  // straight code: fewer than four are left
            case 3: one(i + 2); [[fallthrough]];
            case 2: one(i + 1); [[fallthrough]];
            case 1: one(i);
        }
    }, CHEAP_GRAIN);
    return result;
}

// The component on `axis` set to +0.0, the others kept by a mask of ones. A
// list of fewer than four elements (no block of them) is copied element by
// element, which costs less than laying out the masks.
VecArray collapse(const VecArray& a, Index axis) {
    if (axis > 2) galdrin::panic("assertion failed: axis <= 2");
    if (a.items.size() < 4) {
        switch (axis) {  // one loop per axis, so that the component is fixed inside it
            case 0: return map_elements(a, [](Vec3d e) { return e.x = 0.0, e; });
            case 1: return map_elements(a, [](Vec3d e) { return e.y = 0.0, e; });
            default: return map_elements(a, [](Vec3d e) { return e.z = 0.0, e; });
        }
    }
    const double ones = std::bit_cast<double>(~std::uint64_t{0});
    const Vec3d keep{axis != 0 ? ones : 0.0, axis != 1 ? ones : 0.0, axis != 2 ? ones : 0.0};
    return map_components_with(a, keep, [](double c, double mask) {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(c) & std::bit_cast<std::uint64_t>(mask));
    });
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

#if defined(__x86_64__)
// Four quaternions, one per lane.
struct Quat4 {
    __m256d w, i, j, k;
};

[[gnu::target("avx2")]] inline __m256d mul(__m256d x, __m256d y) { return _mm256_mul_pd(x, y); }
[[gnu::target("avx2")]] inline __m256d add(__m256d x, __m256d y) { return _mm256_add_pd(x, y); }
[[gnu::target("avx2")]] inline __m256d sub(__m256d x, __m256d y) { return _mm256_sub_pd(x, y); }

// The core Hamilton product, lane by lane the same terms in the same order.
[[gnu::target("avx2")]] inline Quat4 operator*(const Quat4& a, const Quat4& b) {
    return {
        sub(sub(sub(mul(a.w, b.w), mul(a.i, b.i)), mul(a.j, b.j)), mul(a.k, b.k)),
        sub(add(add(mul(a.w, b.i), mul(a.i, b.w)), mul(a.j, b.k)), mul(a.k, b.j)),
        sub(add(add(mul(a.w, b.j), mul(a.j, b.w)), mul(a.k, b.i)), mul(a.i, b.k)),
        sub(add(add(mul(a.w, b.k), mul(a.k, b.w)), mul(a.i, b.j)), mul(a.j, b.i)),
    };
}

// The core rotate of elements i .. i + 3 in place: conjugate(q) * (0, v) * q,
// with q's components in every lane. All four are read before any is written.
[[gnu::target("avx2")]] inline void rotate_four(const Quat4& q, const Quat4& conj, Vec3d* items, std::size_t i) {
    auto* d = reinterpret_cast<double*>(items + i);
    const Four v = load_four(items, i);
    const Quat4 r = (conj * Quat4{_mm256_setzero_pd(), v.x, v.y, v.z}) * q;
    // Back to the layout of load_four: x0 y0 z0 x1, y1 z1 x2 y2, z2 x3 y3 z3.
    const __m256d x = _mm256_permute4x64_pd(r.i, 0x6C);  // x0 x3 x2 x1
    const __m256d y = _mm256_permute_pd(r.j, 0b0101);    // y1 y0 y3 y2
    const __m256d z = _mm256_permute4x64_pd(r.k, 0xC6);  // z2 z1 z0 z3
    _mm256_storeu_pd(d, _mm256_blend_pd(_mm256_blend_pd(x, y, 0b0010), z, 0b0100));
    _mm256_storeu_pd(d + 4, _mm256_blend_pd(_mm256_blend_pd(x, y, 0b1001), z, 0b0010));
    _mm256_storeu_pd(d + 8, _mm256_blend_pd(_mm256_blend_pd(x, y, 0b0100), z, 0b1001));
}

[[gnu::target("avx2")]] void rotate_range_avx2(const Quat& quat, Vec3d* items, std::size_t i, std::size_t end) {
    const Quat c = conjugate(quat);
    const Quat4 q{_mm256_set1_pd(quat.w), _mm256_set1_pd(quat.i), _mm256_set1_pd(quat.j), _mm256_set1_pd(quat.k)};
    const Quat4 conj{_mm256_set1_pd(c.w), _mm256_set1_pd(c.i), _mm256_set1_pd(c.j), _mm256_set1_pd(c.k)};
    for (; i + 4 <= end; i += 4) rotate_four(q, conj, items, i);
    for (; i < end; ++i) items[i] = rotate(quat, items[i]);
}
#endif

// In place: every element is read before it is overwritten, and the pages are
// already mapped, so this runs faster than into a new array.
void rotate_all(VecArray& a, const Quat& quat) {
    const Quat q = quat;
#if defined(__x86_64__)
    if (has_avx2()) {
        Vec3d* items = a.items.data();
        pool::parallel_for(a.items.size(), [q, items](std::size_t begin, std::size_t end) {
            rotate_range_avx2(q, items, begin, end);
        }, COSTLY_GRAIN);
        return;
    }
#endif
    map_into(a.items, a.items.data(), [q](const Vec3d& e) { return rotate(q, e); }, COSTLY_GRAIN);
}

}  // namespace

void dots(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
#if defined(__x86_64__)
    if (has_avx2()) return dots_avx2(a, b, out, n);
#endif
    for (std::size_t i = 0; i < n; ++i) out[i] = dot(a[i], b[i]);
}

void distances(const Vec3d* a, const Vec3d* b, double* out, std::size_t n) {
#if defined(__x86_64__)
    if (has_avx2()) return distances_avx2(a, b, out, n);
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
        D::method<"transform($self, matrix)", [](const VecArray& a, const Mat3& matrix) {
            return map_elements(a, [m = matrix](const Vec3d& e) { return m * e; });
        }>(),
        D::method<"collapse($self, axis)", collapse>(),
        D::method<"minimum_distance_to($self, other, stride)", minimum_distance_to>(),
    };
    spec.methods.insert(spec.methods.end(), methods);
    const std::initializer_list<PyType_Slot> slots = {
        // e + w and e - w, component by component.
        slot(Py_nb_add, &D::binary<[](const VecArray& a, const Vec3d& w) {
            return map_components_with(a, w, [](double c, double d) { return c + d; });
        }>),
        slot(Py_nb_subtract, &D::binary<[](const VecArray& a, const Vec3d& w) {
            return map_components_with(a, w, [](double c, double d) { return c - d; });
        }>),
        slot(Py_nb_multiply, &D::multiply<[](const VecArray& a, double rhs) {
            return map_components(a, [rhs](auto c) { return c * rhs; });
        }, [](double lhs, const VecArray& a) {
            return map_components(a, [lhs](auto c) { return c * lhs; });
        }>),
        slot(Py_nb_true_divide, &D::binary<divide>),
    };
    spec.slots.insert(spec.slots.end(), slots);
}

}  // namespace quorral
