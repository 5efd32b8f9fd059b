#include "media/nv12_convert.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace krel {
namespace {

// Full-range RGB to limited-range BT.709 in 15-bit fixed point, so that
// every coefficient fits a signed 16-bit SIMD lane; the scalar and the AVX2
// rows compute bit-identical values.
constexpr int fx(double v) { return static_cast<int>(v * 32768.0 + (v < 0 ? -0.5 : 0.5)); }
constexpr double kYs = 219.0 / 255.0;
constexpr double kCs = 224.0 / 255.0;
constexpr int kYR = fx(0.2126 * kYs), kYG = fx(0.7152 * kYs), kYB = fx(0.0722 * kYs);
constexpr int kUR = fx(-0.2126 / 1.8556 * kCs), kUG = fx(-0.7152 / 1.8556 * kCs), kUB = fx(0.5 * kCs);
constexpr int kVR = fx(0.5 * kCs), kVG = fx(-0.7152 / 1.5748 * kCs), kVB = fx(-0.0722 / 1.5748 * kCs);
constexpr int kYOffset = (16 << 15) + (1 << 14);
constexpr int kCOffset4 = (128 << 17) + (1 << 16); // for sums of four pixels

// The blend loop is built for AVX2 and for the baseline, picked at load
// time. Not under ThreadSanitizer: its runtime is not ready when the loader
// runs the selector.
#if defined(__SANITIZE_THREAD__)
#define KREL_ROW_CLONES
#else
#define KREL_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#endif

constexpr uint8_t kBlackY = 16;
constexpr uint8_t kBlackC = 128;

inline uint8_t lumaOf(const uint8_t* p) {
    return static_cast<uint8_t>((kYB * p[0] + kYG * p[1] + kYR * p[2] + kYOffset) >> 15);
}

void lumaRowScalar(const uint8_t* __restrict src, uint8_t* __restrict dst, int n) {
    for (int x = 0; x < n; ++x) dst[x] = lumaOf(src + 4 * x);
}

void chromaRowScalar(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict uv, int n) {
    for (int c = 0; c < n; ++c) {
        const int sb = a[8 * c] + a[8 * c + 4] + b[8 * c] + b[8 * c + 4];
        const int sg = a[8 * c + 1] + a[8 * c + 5] + b[8 * c + 1] + b[8 * c + 5];
        const int sr = a[8 * c + 2] + a[8 * c + 6] + b[8 * c + 2] + b[8 * c + 6];
        uv[2 * c] = static_cast<uint8_t>((kUB * sb + kUG * sg + kUR * sr + kCOffset4) >> 17);
        uv[2 * c + 1] = static_cast<uint8_t>((kVB * sb + kVG * sg + kVR * sr + kCOffset4) >> 17);
    }
}

#if defined(__x86_64__)
// 32-bit results of two 8-pixel groups, in pixel order per 128-bit lane
// ([0..3 | 4..7] and [8..11 | 12..15]), to 16 bytes in order.
__attribute__((target("avx2"))) inline __m128i packOrdered(__m256i a, __m256i b) {
    const __m256i words = _mm256_packs_epi32(a, b);      // [a0-3 b0-3 | a4-7 b4-7]
    const __m256i bytes = _mm256_packus_epi16(words, words); // dwords: [a0-3 b0-3 a0-3 b0-3 | a4-7 b4-7 ..]
    return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0)));
}

// Luma of 8 pixels as 32-bit values, [0..3 | 4..7].
__attribute__((target("avx2"))) inline __m256i luma8(const uint8_t* src, __m256i coef, __m256i offset) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi8(px, zero), coef);
    const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi8(px, zero), coef);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(lo, hi), offset), 15);
}

// How far ahead of the luma pass the source is requested, in bytes. A
// captured picture comes fresh from the X server and is not in the caches;
// one thread streaming it on its own waits on memory (1.7 ms for 1080p),
// asking early brings that down to about 1.1 ms. The chroma pass re-reads
// the same two rows from the cache.
constexpr uintptr_t kPrefetchAhead = 2048;

__attribute__((target("avx2"))) void lumaRowAvx2(const uint8_t* src, uint8_t* dst, int n) {
    const __m256i coef = _mm256_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
    const __m256i offset = _mm256_set1_epi32(kYOffset);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        // One cache line per step; past the picture's end it is a no-op.
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(src + 4 * x) + kPrefetchAhead),
                     _MM_HINT_T0);
        const __m128i y = packOrdered(luma8(src + 4 * x, coef, offset), luma8(src + 4 * x + 32, coef, offset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), y);
    }
    lumaRowScalar(src + 4 * x, dst + x, n - x);
}

// Cb, Cr of 4 blocks (8 pixels of two rows) as 32-bit values, in output
// order per lane: [cb0 cr0 cb1 cr1 | cb2 cr2 cb3 cr3].
__attribute__((target("avx2"))) inline __m256i chroma4(const uint8_t* a, const uint8_t* b, __m256i cu, __m256i cv,
                                                       __m256i offset) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i pa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
    const __m256i pb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
    const __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(pa, zero), _mm256_unpacklo_epi8(pb, zero));
    const __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(pa, zero), _mm256_unpackhi_epi8(pb, zero));
    const __m256i u = _mm256_hadd_epi32(_mm256_madd_epi16(lo, cu), _mm256_madd_epi16(hi, cu)); // per pixel
    const __m256i v = _mm256_hadd_epi32(_mm256_madd_epi16(lo, cv), _mm256_madd_epi16(hi, cv));
    const __m256i blocks = _mm256_hadd_epi32(u, v); // [u0 u1 v0 v1 | u2 u3 v2 v3]
    const __m256i ordered = _mm256_shuffle_epi32(blocks, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm256_srai_epi32(_mm256_add_epi32(ordered, offset), 17);
}

__attribute__((target("avx2"))) void chromaRowAvx2(const uint8_t* a, const uint8_t* b, uint8_t* uv, int n) {
    const __m256i cu = _mm256_setr_epi16(kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0);
    const __m256i cv = _mm256_setr_epi16(kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0);
    const __m256i offset = _mm256_set1_epi32(kCOffset4);
    int c = 0;
    for (; c + 8 <= n; c += 8) {
        const __m128i out = packOrdered(chroma4(a + 8 * c, b + 8 * c, cu, cv, offset),
                                        chroma4(a + 8 * c + 32, b + 8 * c + 32, cu, cv, offset));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * c), out);
    }
    chromaRowScalar(a + 8 * c, b + 8 * c, uv + 2 * c, n - c);
}

bool hasAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// Luma of n pixels.
void lumaRow(const uint8_t* src, uint8_t* dst, int n) {
#if defined(__x86_64__)
    if (hasAvx2()) return lumaRowAvx2(src, dst, n);
#endif
    lumaRowScalar(src, dst, n);
}

// Chroma of n 2x2 blocks from two rows.
void chromaRow(const uint8_t* a, const uint8_t* b, uint8_t* uv, int n) {
#if defined(__x86_64__)
    if (hasAvx2()) return chromaRowAvx2(a, b, uv, n);
#endif
    chromaRowScalar(a, b, uv, n);
}

// out = (a * (256 - w) + b * w) / 256 over n bytes.
KREL_ROW_CLONES
void blendRows(const uint8_t* __restrict a, const uint8_t* __restrict b, uint8_t* __restrict out, int n, int w) {
    const int wa = 256 - w;
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((a[i] * wa + b[i] * w + 128) >> 8);
}

// Bilinear in x: each output pixel from its two source neighbours, blended
// as packed 32-bit pixels (two channels per half, weights summing to 256
// cannot overflow a lane).
inline uint32_t blendPixel(uint32_t a, uint32_t b, uint32_t w) {
    const uint32_t wa = 256 - w;
    const uint32_t rb = (((a & 0x00FF00FFu) * wa + (b & 0x00FF00FFu) * w + 0x00800080u) >> 8) & 0x00FF00FFu;
    const uint32_t ag = (((a >> 8) & 0x00FF00FFu) * wa + ((b >> 8) & 0x00FF00FFu) * w + 0x00800080u) & 0xFF00FF00u;
    return rb | ag;
}

void horizontalRowScalar(const uint8_t* v, const int32_t* left, const int32_t* right, const int32_t* frac, uint8_t* out,
                         int n) {
    for (int x = 0; x < n; ++x) {
        uint32_t a, b;
        std::memcpy(&a, v + left[x], 4);
        std::memcpy(&b, v + right[x], 4);
        const uint32_t px = blendPixel(a, b, static_cast<uint32_t>(frac[x]));
        std::memcpy(out + 4 * x, &px, 4);
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void horizontalRowAvx2(const uint8_t* v, const int32_t* left, const int32_t* right,
                                                       const int32_t* frac, uint8_t* out, int n) {
    const __m256i lowMask = _mm256_set1_epi32(0x00FF00FF);
    const __m256i highMask = _mm256_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m256i round = _mm256_set1_epi32(0x00800080);
    const __m256i full = _mm256_set1_epi32(256);
    const auto* base = reinterpret_cast<const int*>(v);
    int x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256i a = _mm256_i32gather_epi32(base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + x)), 1);
        const __m256i b = _mm256_i32gather_epi32(base, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + x)), 1);
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frac + x));
        const __m256i wa = _mm256_sub_epi32(full, w);
        const __m256i rb = _mm256_and_si256(
            _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_and_si256(a, lowMask), wa),
                                                                _mm256_mullo_epi32(_mm256_and_si256(b, lowMask), w)),
                                               round),
                              8),
            lowMask);
        const __m256i ag = _mm256_and_si256(
            _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 8), lowMask), wa),
                                              _mm256_mullo_epi32(_mm256_and_si256(_mm256_srli_epi32(b, 8), lowMask), w)),
                             round),
            highMask);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * x), _mm256_or_si256(rb, ag));
    }
    horizontalRowScalar(v, left + x, right + x, frac + x, out + 4 * x, n - x);
}
#endif

void horizontalRow(const uint8_t* v, const int32_t* left, const int32_t* right, const int32_t* frac, uint8_t* out,
                   int n) {
#if defined(__x86_64__)
    if (hasAvx2()) return horizontalRowAvx2(v, left, right, frac, out, n);
#endif
    horizontalRowScalar(v, left, right, frac, out, n);
}

// Chroma of one 2x2 block whose pixels may lie outside the picture: those
// count as black, which is what chroma 128 means.
void chromaEdge(const uint8_t* p00, const uint8_t* p01, const uint8_t* p10, const uint8_t* p11, uint8_t* uv) {
    int sb = 0, sg = 0, sr = 0;
    for (const uint8_t* p : {p00, p01, p10, p11}) {
        if (!p) continue;
        sb += p[0];
        sg += p[1];
        sr += p[2];
    }
    uv[0] = static_cast<uint8_t>((kUB * sb + kUG * sg + kUR * sr + kCOffset4) >> 17);
    uv[1] = static_cast<uint8_t>((kVB * sb + kVG * sg + kVR * sr + kCOffset4) >> 17);
}

} // namespace

Yuv rgbToYuv709(uint8_t r, uint8_t g, uint8_t b) {
    const uint8_t px[4] = {b, g, r, 0};
    uint8_t uv[2];
    chromaEdge(px, px, px, px, uv);
    return {lumaOf(px), uv[0], uv[1]};
}

void Nv12Converter::prepareScaling(const Placement& p) {
    if (havePrepared_ && p == prepared_) return;
    havePrepared_ = true;
    prepared_ = p;
    const Rect& s = p.source;
    const Rect& d = p.destination;
    scaled_ = s.width() != d.width() || s.height() != d.height();
    if (!scaled_) return;
    const int dw = d.width();
    xIndex_.resize(static_cast<size_t>(dw));
    xRight_.resize(static_cast<size_t>(dw));
    xFrac_.resize(static_cast<size_t>(dw));
    const double step = static_cast<double>(s.width()) / dw;
    for (int x = 0; x < dw; ++x) {
        double sx = (x + 0.5) * step - 0.5;
        sx = std::clamp(sx, 0.0, static_cast<double>(s.width() - 1));
        int ix = static_cast<int>(sx);
        int frac = static_cast<int>((sx - ix) * 256.0 + 0.5);
        if (ix >= s.width() - 1) {
            ix = s.width() - 1;
            frac = 0;
        }
        xIndex_[static_cast<size_t>(x)] = 4 * ix;
        xRight_[static_cast<size_t>(x)] = 4 * std::min(ix + 1, s.width() - 1);
        xFrac_[static_cast<size_t>(x)] = frac;
    }
    vRow_.resize(static_cast<size_t>(4 * s.width() + 8));
    for (auto& r : rows_) r.resize(static_cast<size_t>(4 * dw));
}

// One output row of the destination rectangle, scaled from the source.
const uint8_t* Nv12Converter::scaledRow(const BgraImage& src, const Placement& p, int32_t outRow, int which) {
    const Rect& s = p.source;
    const Rect& d = p.destination;
    const int dy = outRow - d.top;
    if (!scaled_) return src.data + static_cast<std::ptrdiff_t>(s.top + dy) * src.stride + 4 * s.left;

    double sy = (dy + 0.5) * static_cast<double>(s.height()) / d.height() - 0.5;
    sy = std::clamp(sy, 0.0, static_cast<double>(s.height() - 1));
    const int iy = std::min(static_cast<int>(sy), s.height() - 1);
    const int wy = iy + 1 < s.height() ? static_cast<int>((sy - iy) * 256.0 + 0.5) : 0;
    const uint8_t* r0 = src.data + static_cast<std::ptrdiff_t>(s.top + iy) * src.stride + 4 * s.left;
    const uint8_t* r1 = wy > 0 ? r0 + src.stride : r0;
    const uint8_t* v = r0;
    if (wy > 0) {
        blendRows(r0, r1, vRow_.data(), 4 * s.width(), wy);
        v = vRow_.data();
    }
    uint8_t* out = rows_[which].data();
    horizontalRow(v, xIndex_.data(), xRight_.data(), xFrac_.data(), out, d.width());
    return out;
}

void Nv12Converter::convert(const BgraImage& src, const Placement& p, const Nv12Planes& dst) {
    const int W = static_cast<int>(dst.width);
    const int H = static_cast<int>(dst.height);
    // Clip the destination to the frame and the source to the picture.
    Placement q = p;
    const bool empty = !src.data || src.width == 0 || src.height == 0 || q.destination.width() <= 0 ||
                       q.destination.height() <= 0 || q.source.width() <= 0 || q.source.height() <= 0 ||
                       q.destination.left < 0 || q.destination.top < 0 || q.destination.right > W ||
                       q.destination.bottom > H || q.source.left < 0 || q.source.top < 0 ||
                       q.source.right > static_cast<int>(src.width) || q.source.bottom > static_cast<int>(src.height);
    if (empty) q.destination = {0, 0, 0, 0};
    else prepareScaling(q);

    const Rect& d = q.destination;
    const int dl = d.left, dr = d.right, dw = d.width();
    const int cFirst = (dl + 1) / 2, cEnd = dr / 2;
    for (int y = 0; y < H; y += 2) {
        uint8_t* y0 = dst.y + static_cast<std::ptrdiff_t>(y) * dst.yStride;
        uint8_t* y1 = y0 + dst.yStride;
        uint8_t* uv = dst.uv + static_cast<std::ptrdiff_t>(y / 2) * dst.uvStride;
        const bool in0 = y >= d.top && y < d.bottom;
        const bool in1 = y + 1 >= d.top && y + 1 < d.bottom;
        if (!in0 && !in1) {
            std::memset(y0, kBlackY, static_cast<size_t>(W));
            std::memset(y1, kBlackY, static_cast<size_t>(W));
            std::memset(uv, kBlackC, static_cast<size_t>(W));
            continue;
        }
        const uint8_t* r0 = in0 ? scaledRow(src, q, y, 0) : nullptr;
        const uint8_t* r1 = in1 ? scaledRow(src, q, y + 1, 1) : nullptr;
        for (int k = 0; k < 2; ++k) {
            uint8_t* yr = k == 0 ? y0 : y1;
            const uint8_t* r = k == 0 ? r0 : r1;
            if (!r) {
                std::memset(yr, kBlackY, static_cast<size_t>(W));
                continue;
            }
            std::memset(yr, kBlackY, static_cast<size_t>(dl));
            lumaRow(r, yr + dl, dw);
            std::memset(yr + dr, kBlackY, static_cast<size_t>(W - dr));
        }
        auto px = [&](const uint8_t* r, int x) -> const uint8_t* {
            return r && x >= dl && x < dr ? r + 4 * (x - dl) : nullptr;
        };
        auto edge = [&](int c) { chromaEdge(px(r0, 2 * c), px(r0, 2 * c + 1), px(r1, 2 * c), px(r1, 2 * c + 1), uv + 2 * c); };
        if (r0 && r1) {
            // Blocks left of the picture, the picture, blocks right of it.
            const int blackLeft = dl / 2;
            std::memset(uv, kBlackC, static_cast<size_t>(2 * blackLeft));
            for (int c = blackLeft; c < cFirst; ++c) edge(c);
            if (cEnd > cFirst) chromaRow(r0 + 4 * (2 * cFirst - dl), r1 + 4 * (2 * cFirst - dl), uv + 2 * cFirst, cEnd - cFirst);
            const int blackRight = (dr + 1) / 2;
            for (int c = std::max(cEnd, cFirst); c < blackRight; ++c) edge(c);
            std::memset(uv + 2 * blackRight, kBlackC, static_cast<size_t>(W - 2 * blackRight));
        } else {
            for (int c = 0; c < W / 2; ++c) edge(c);
        }
    }
}

} // namespace krel
