// Ed25519 verification and SHA-512, written for clarity: every input here is
// public (a key, a signature, a file), so no step needs to hide its timing.
#include "ed25519.hpp"

#include <cstring>
#include <utility>

namespace updater {

// ---- SHA-512 ---------------------------------------------------------------

namespace {

// The first 64 bits of the fractional parts of the cube roots of the first 80 primes.
constexpr std::array<std::uint64_t, 80> round_constants = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

constexpr std::uint64_t rotr(std::uint64_t x, int n)
{
    return (x >> n) | (x << (64 - n));
}

std::uint64_t load_be64(const std::uint8_t *p)
{
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

void store_be64(std::uint8_t *p, std::uint64_t v)
{
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

}  // namespace

// The first 64 bits of the fractional parts of the square roots of the first 8 primes.
Sha512::Sha512() noexcept
    : state_{0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
             0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179}
{
}

void Sha512::compress(const std::uint8_t *block) noexcept
{
    std::array<std::uint64_t, 80> w{};
    for (std::size_t t = 0; t < 16; ++t)
        w[t] = load_be64(block + 8 * t);
    for (std::size_t t = 16; t < 80; ++t) {
        const std::uint64_t s0 = rotr(w[t - 15], 1) ^ rotr(w[t - 15], 8) ^ (w[t - 15] >> 7);
        const std::uint64_t s1 = rotr(w[t - 2], 19) ^ rotr(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }

    auto [a, b, c, d, e, f, g, h] = state_;
    for (std::size_t t = 0; t < 80; ++t) {
        const std::uint64_t sum1 = rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41);
        const std::uint64_t choice = (e & f) ^ (~e & g);
        const std::uint64_t t1 = h + sum1 + choice + round_constants[t] + w[t];
        const std::uint64_t sum0 = rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39);
        const std::uint64_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint64_t t2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha512::update(const void *data, std::size_t size) noexcept
{
    const auto *p = static_cast<const std::uint8_t *>(data);
    total_ += size;
    while (size > 0) {
        const std::size_t room = block_.size() - used_;
        const std::size_t n = size < room ? size : room;
        std::memcpy(block_.data() + used_, p, n);
        used_ += n;
        p += n;
        size -= n;
        if (used_ == block_.size()) {
            compress(block_.data());
            used_ = 0;
        }
    }
}

Sha512::Digest Sha512::finish() noexcept
{
    // The message's length in bits, as a 128-bit big-endian number.
    std::array<std::uint8_t, 16> length{};
    store_be64(length.data(), total_ >> 61);
    store_be64(length.data() + 8, total_ << 3);

    // Padding: one 1 bit, then zeros up to 16 bytes before the end of a block.
    const std::uint8_t one_bit = 0x80;
    const std::uint8_t zero = 0;
    update(&one_bit, 1);
    while (used_ != block_.size() - length.size())
        update(&zero, 1);
    update(length.data(), length.size());

    Digest digest{};
    for (std::size_t i = 0; i < state_.size(); ++i)
        store_be64(digest.data() + 8 * i, state_[i]);
    return digest;
}

namespace ed25519 {
namespace {

using Bytes32 = std::array<std::uint8_t, 32>;

// ---- The field of integers modulo p = 2^255 - 19 ------------------------------
//
// An element is ten signed limbs in radix 2^25.5: limb i counts units of
// 2^offset[i] and is 26 bits wide at even i, 25 at odd i. Products come out
// carried, each limb within +-2^25. Sums and differences are not carried: a
// factor may mix up to four carried elements (limbs within +-2^27), as ten
// such products, times 38 at most, stay below 2^63.

constexpr std::array<std::size_t, 10> offset = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

constexpr std::size_t width(std::size_t i)
{
    return i % 2 == 0 ? 26 : 25;
}

using Wide = std::array<std::int64_t, 10>;

struct Fe {
    std::array<std::int32_t, 10> limb;
};

constexpr Wide widen(const Fe &f)
{
    Wide h{};
    for (std::size_t i = 0; i < 10; ++i)
        h[i] = f.limb[i];
    return h;
}

/// Carries limbs below 2^63 in size into an element, every limb within
/// +-2^25 afterwards.
constexpr Fe carry(Wide h)
{
    // Moves all but the low bits of limb i into the next one, rounding so that
    // limb i is left within +-2^(width - 1). From limb 9 the carry comes back
    // into limb 0 times 19, as 2^255 = 19 (mod p).
    const auto step = [&h](std::size_t i) {
        const std::size_t w = width(i);
        const std::int64_t c = (h[i] + (std::int64_t{1} << (w - 1))) >> w;
        h[i] -= c * (std::int64_t{1} << w);
        if (i < 9)
            h[i + 1] += c;
        else
            h[0] += 19 * c;
    };
    // Two chains side by side, from limbs 0 and 4. Limb 4 steps again for the
    // carry it takes from limb 3, limb 0 for the one from limb 9; what these
    // last steps pass to limbs 5 and 1 is below 2^18.
    step(0);
    step(4);
    step(1);
    step(5);
    step(2);
    step(6);
    step(3);
    step(7);
    step(4);
    step(8);
    step(9);
    step(0);

    Fe f{};
    for (std::size_t i = 0; i < 10; ++i)
        f.limb[i] = static_cast<std::int32_t>(h[i]);
    return f;
}

constexpr Fe add(const Fe &f, const Fe &g)
{
    Fe h{};
    for (std::size_t i = 0; i < 10; ++i)
        h.limb[i] = f.limb[i] + g.limb[i];
    return h;
}

constexpr Fe sub(const Fe &f, const Fe &g)
{
    Fe h{};
    for (std::size_t i = 0; i < 10; ++i)
        h.limb[i] = f.limb[i] - g.limb[i];
    return h;
}

constexpr Fe neg(const Fe &f)
{
    Fe g{};
    for (std::size_t i = 0; i < 10; ++i)
        g.limb[i] = -f.limb[i];
    return g;
}

/// The product f[I] g[J], in units of the limb it lands at: limb I + J, or
/// I + J - 10 past limb 9. Two odd limbs count twice, as offset[I] + offset[J]
/// then passes offset[I + J] by one; past limb 9 the term is folded back
/// times 19, as 2^255 = 19 (mod p).
template <std::size_t I, std::size_t J>
constexpr std::int64_t term(const Fe &f, const Fe &g)
{
    std::int64_t t = std::int64_t{f.limb[I]} * g.limb[J];
    if constexpr (I % 2 == 1 && J % 2 == 1)
        t *= 2;
    if constexpr (I + J >= 10)
        t *= 19;
    return t;
}

/// Limb K of f g: each limb I of f times the limb (K - I) mod 10 of g.
template <std::size_t K, std::size_t... I>
constexpr std::int64_t product_limb(const Fe &f, const Fe &g, std::index_sequence<I...>)
{
    return (term<I, (K + 10 - I) % 10>(f, g) + ...);
}

template <std::size_t... K>
constexpr Fe mul(const Fe &f, const Fe &g, std::index_sequence<K...> limbs)
{
    return carry({product_limb<K>(f, g, limbs)...});
}

constexpr Fe mul(const Fe &f, const Fe &g)
{
    return mul(f, g, std::make_index_sequence<10>());
}

Fe square(const Fe &f)
{
    return mul(f, f);
}

/// f^(2^n): n squarings.
Fe square_times(Fe f, int n)
{
    for (int i = 0; i < n; ++i)
        f = square(f);
    return f;
}

/// The element a 32-byte little-endian number names: bit 255 is left out and
/// numbers from p to 2^255 - 1 are taken modulo p.
constexpr Fe from_bytes(const Bytes32 &s)
{
    Wide h{};
    for (std::size_t i = 0; i < 10; ++i) {
        for (std::size_t b = 0; b < width(i); ++b) {
            const std::size_t bit = offset[i] + b;
            h[i] |= std::int64_t{(s[bit / 8] >> (bit % 8)) & 1} << b;
        }
    }
    return carry(h);
}

/// The canonical encoding: the number in [0, p), little-endian.
Bytes32 to_bytes(const Fe &f)
{
    // Carries rounded down put every limb in [0, 2^width); once nothing comes
    // out of the top limb, the number lies in [0, 2^255).
    Wide h = widen(f);
    std::int64_t top = 0;
    do {
        for (std::size_t i = 0; i < 10; ++i) {
            const std::size_t w = width(i);
            const std::int64_t c = h[i] >> w;
            h[i] -= c * (std::int64_t{1} << w);
            if (i < 9)
                h[i + 1] += c;
            else
                top = c;
        }
        h[0] += 19 * top;
    } while (top != 0);

    // The numbers from p to 2^255 - 1 are those that reach 2^255 when 19 is
    // added; for them, the sum less 2^255 is the number less p.
    Wide t = h;
    t[0] += 19;
    for (std::size_t i = 0; i < 10; ++i) {
        const std::size_t w = width(i);
        const std::int64_t c = t[i] >> w;
        t[i] -= c * (std::int64_t{1} << w);
        if (i < 9)
            t[i + 1] += c;
        else
            top = c;
    }
    if (top != 0)
        h = t;

    Bytes32 s{};
    for (std::size_t i = 0; i < 10; ++i) {
        for (std::size_t b = 0; b < width(i); ++b) {
            const std::size_t bit = offset[i] + b;
            if ((h[i] >> b) & 1)
                s[bit / 8] = static_cast<std::uint8_t>(s[bit / 8] | (1 << (bit % 8)));
        }
    }
    return s;
}

bool equal(const Fe &f, const Fe &g)
{
    return to_bytes(f) == to_bytes(g);
}

/// Whether f is odd: the sign of x in an encoded point.
bool is_negative(const Fe &f)
{
    return (to_bytes(f)[0] & 1) != 0;
}

/// z^(2^250 - 1), with z^11 on the side: the common start of the two powers below.
Fe pow_2_250_1(const Fe &z, Fe &z11)
{
    const Fe z2 = square(z);
    const Fe z9 = mul(square_times(z2, 2), z);
    z11 = mul(z9, z2);
    const Fe z_5 = mul(square(z11), z9);  // z^(2^5 - 1)
    const Fe z_10 = mul(square_times(z_5, 5), z_5);
    const Fe z_20 = mul(square_times(z_10, 10), z_10);
    const Fe z_40 = mul(square_times(z_20, 20), z_20);
    const Fe z_50 = mul(square_times(z_40, 10), z_10);
    const Fe z_100 = mul(square_times(z_50, 50), z_50);
    const Fe z_200 = mul(square_times(z_100, 100), z_100);
    return mul(square_times(z_200, 50), z_50);
}

/// 1/z = z^(p - 2), and p - 2 = (2^250 - 1) * 2^5 + 11.
Fe invert(const Fe &z)
{
    Fe z11{};
    const Fe t = pow_2_250_1(z, z11);
    return mul(square_times(t, 5), z11);
}

/// z^((p - 5) / 8), and (p - 5) / 8 = (2^250 - 1) * 2^2 + 1.
Fe pow_p58(const Fe &z)
{
    Fe z11{};
    const Fe t = pow_2_250_1(z, z11);
    return mul(square_times(t, 2), z);
}

constexpr Fe zero{};
constexpr Fe one{{1}};

// d = -121665 / 121666
constexpr Fe curve_d = from_bytes({0xa3, 0x78, 0x59, 0x13, 0xca, 0x4d, 0xeb, 0x75,
                                   0xab, 0xd8, 0x41, 0x41, 0x4d, 0x0a, 0x70, 0x00,
                                   0x98, 0xe8, 0x79, 0x77, 0x79, 0x40, 0xc7, 0x8c,
                                   0x73, 0xfe, 0x6f, 0x2b, 0xee, 0x6c, 0x03, 0x52});
constexpr Fe curve_2d = add(curve_d, curve_d);

// 2^((p - 1) / 4), whose square is -1
constexpr Fe sqrt_m1 = from_bytes({0xb0, 0xa0, 0x0e, 0x4a, 0x27, 0x1b, 0xee, 0xc4,
                                   0x78, 0xe4, 0x2f, 0xad, 0x06, 0x18, 0x43, 0x2f,
                                   0xa7, 0xd7, 0xfb, 0x3d, 0x99, 0x00, 0x4d, 0x2b,
                                   0x0b, 0xdf, 0xc1, 0x4f, 0x80, 0x24, 0x83, 0x2b});

// ---- The curve -x^2 + y^2 = 1 + d x^2 y^2 ------------------------------------
//
// Points in extended coordinates (X : Y : Z : T), standing for x = X/Z and
// y = Y/Z, with x y = T/Z.

struct Point {
    Fe X, Y, Z, T;
};

constexpr Point identity = {zero, one, one, zero};

// The base point B: y = 4/5, x even.
constexpr Fe base_x = from_bytes({0x1a, 0xd5, 0x25, 0x8f, 0x60, 0x2d, 0x56, 0xc9,
                                  0xb2, 0xa7, 0x25, 0x95, 0x60, 0xc7, 0x2c, 0x69,
                                  0x5c, 0xdc, 0xd6, 0xfd, 0x31, 0xe2, 0xa4, 0xc0,
                                  0xfe, 0x53, 0x6e, 0xcd, 0xd3, 0x36, 0x69, 0x21});
constexpr Fe base_y = from_bytes({0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                  0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                  0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                                  0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66});
constexpr Point base = {base_x, base_y, one, mul(base_x, base_y)};

/// P + Q by the unified formulas for a = -1 (Hisil, Wong, Carter and Dawson,
/// 2008): complete on this curve, so also right for P == Q and the identity.
Point add(const Point &p, const Point &q)
{
    const Fe a = mul(sub(p.Y, p.X), sub(q.Y, q.X));
    const Fe b = mul(add(p.Y, p.X), add(q.Y, q.X));
    const Fe c = mul(mul(p.T, curve_2d), q.T);
    const Fe d = mul(add(p.Z, p.Z), q.Z);
    const Fe e = sub(b, a);
    const Fe f = sub(d, c);
    const Fe g = add(d, c);
    const Fe h = add(b, a);
    return {mul(e, f), mul(g, h), mul(f, g), mul(e, h)};
}

/// 2P by the doubling formulas of the same paper, for a = -1.
Point dbl(const Point &p)
{
    const Fe a = square(p.X);
    const Fe b = square(p.Y);
    const Fe zz = square(p.Z);
    const Fe c = add(zz, zz);
    const Fe e = sub(sub(square(add(p.X, p.Y)), a), b);  // 2 X Y
    const Fe g = sub(b, a);
    const Fe f = sub(g, c);
    const Fe h = neg(add(a, b));
    return {mul(e, f), mul(g, h), mul(f, g), mul(e, h)};
}

Point neg(const Point &p)
{
    return {neg(p.X), p.Y, p.Z, neg(p.T)};
}

/// The point an encoding names: y from the low 255 bits, x the root of
/// x^2 = (y^2 - 1) / (d y^2 + 1) whose parity is bit 255. False when that
/// has no root. An x of zero takes either sign bit.
bool decode(Point &p, const Bytes32 &s)
{
    const Fe y = from_bytes(s);
    const Fe yy = square(y);
    const Fe u = sub(yy, one);
    const Fe v = add(mul(curve_d, yy), one);

    // x = u v^3 (u v^7)^((p - 5) / 8) is a root of u / v, or else of -u / v,
    // and then sqrt(-1) x is the root of u / v.
    const Fe v3 = mul(square(v), v);
    const Fe v7 = mul(square(v3), v);
    Fe x = mul(mul(u, v3), pow_p58(mul(u, v7)));
    const Fe vxx = mul(v, square(x));
    if (!equal(vxx, u)) {
        if (!equal(vxx, neg(u)))
            return false;
        x = mul(x, sqrt_m1);
    }

    const bool odd = (s[31] & 0x80) != 0;
    if (is_negative(x) != odd)
        x = neg(x);
    p = {x, y, one, mul(x, y)};
    return true;
}

/// The canonical encoding of a point: y below p, bit 255 the parity of x.
Bytes32 encode(const Point &p)
{
    const Fe z_inverse = invert(p.Z);
    Bytes32 s = to_bytes(mul(p.Y, z_inverse));
    if (is_negative(mul(p.X, z_inverse)))
        s[31] = static_cast<std::uint8_t>(s[31] | 0x80);
    return s;
}

// ---- Scalars modulo the group order ------------------------------------------
//
// L = 2^252 + 27742317777372353535851937790883648493, little-endian like
// every scalar here.

constexpr Bytes32 order = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                           0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

/// Whether a 256-bit little-endian number is below L.
bool below_order(const std::uint8_t *s)
{
    for (std::size_t i = 32; i-- > 0;) {
        if (s[i] != order[i])
            return s[i] < order[i];
    }
    return false;
}

/// A 512-bit little-endian number modulo L, one bit at a time from the top:
/// r = 2 r + bit, less L whenever that reaches L. r stays below L < 2^253,
/// so 2 r + 1 fits the 256 bits of r.
Bytes32 reduce(const Sha512::Digest &n)
{
    Bytes32 r{};
    for (std::size_t bit = 512; bit-- > 0;) {
        unsigned low_bit = (n[bit / 8] >> (bit % 8)) & 1U;
        for (std::uint8_t &byte : r) {
            const unsigned doubled = (unsigned{byte} << 1) | low_bit;
            byte = static_cast<std::uint8_t>(doubled);
            low_bit = doubled >> 8;
        }
        if (!below_order(r.data())) {
            unsigned borrow = 0;
            for (std::size_t i = 0; i < r.size(); ++i) {
                const unsigned diff = unsigned{r[i]} - order[i] - borrow;
                r[i] = static_cast<std::uint8_t>(diff);
                borrow = (diff >> 8) & 1U;
            }
        }
    }
    return r;
}

/// Bits 4i to 4i + 3 of a little-endian scalar.
unsigned nibble(const std::uint8_t *s, std::size_t i)
{
    return (s[i / 2] >> (4 * (i % 2))) & 0xfU;
}

/// [a]P + [b]Q, four bits of each scalar at a time from the top.
Point double_scalar_mul(const std::uint8_t *a, const Point &p, const std::uint8_t *b,
                        const Point &q)
{
    // Their multiples [0]P ... [15]P and [0]Q ... [15]Q.
    std::array<Point, 16> pm{};
    std::array<Point, 16> qm{};
    pm[0] = qm[0] = identity;
    for (std::size_t i = 1; i < 16; ++i) {
        pm[i] = add(pm[i - 1], p);
        qm[i] = add(qm[i - 1], q);
    }

    Point r = identity;
    for (std::size_t i = 64; i-- > 0;) {
        r = dbl(dbl(dbl(dbl(r))));
        if (const unsigned n = nibble(a, i); n != 0)
            r = add(r, pm[n]);
        if (const unsigned n = nibble(b, i); n != 0)
            r = add(r, qm[n]);
    }
    return r;
}

}  // namespace

bool verify(const Signature &signature, const PublicKey &public_key, const void *message,
            std::size_t size) noexcept
{
    Verifier verifier(signature, public_key);
    verifier.update(message, size);
    return verifier.finish();
}

Verifier::Verifier(const Signature &signature, const PublicKey &public_key) noexcept
    : signature_(signature), public_key_(public_key)
{
    hash_.update(signature_.data(), 32);
    hash_.update(public_key_.data(), public_key_.size());
}

void Verifier::update(const void *piece, std::size_t size) noexcept
{
    hash_.update(piece, size);
}

bool Verifier::finish() noexcept
{
    const std::uint8_t *r = signature_.data();
    const std::uint8_t *s = signature_.data() + 32;
    if (!below_order(s))
        return false;
    Point a{};
    if (!decode(a, public_key_))
        return false;
    const Bytes32 k = reduce(hash_.finish());

    // [S]B - [k]A must be R, byte for byte.
    const Bytes32 expected = encode(double_scalar_mul(s, base, k.data(), neg(a)));
    return std::memcmp(expected.data(), r, expected.size()) == 0;
}

}  // namespace ed25519
}  // namespace updater
