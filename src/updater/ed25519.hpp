// Ed25519 signature verification (RFC 8032) and the SHA-512 (FIPS 180-4) it
// hashes with. Everything checked here is public, so nothing needs constant
// time; no allocation, no exception, no C++ runtime library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace updater {

/// SHA-512 over a message given in pieces: update() any number of times,
/// then finish() once.
class Sha512 {
public:
    static constexpr std::size_t digest_size = 64;
    using Digest = std::array<std::uint8_t, digest_size>;

    Sha512() noexcept;
    void update(const void *data, std::size_t size) noexcept;
    /// The digest, once, after the last piece.
    Digest finish() noexcept;

private:
    void compress(const std::uint8_t *block) noexcept;

    std::array<std::uint64_t, 8> state_;
    std::array<std::uint8_t, 128> block_{};
    std::size_t used_ = 0;        // bytes waiting in block_
    std::uint64_t total_ = 0;     // bytes hashed so far
};

namespace ed25519 {

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;  // R (32 bytes), then S (32 bytes)

/// Whether `signature` is `public_key`'s signature of the message: the
/// cofactorless check [S]B == R + [k]A with k = SHA-512(R || A || M) mod L.
/// Refused: S >= L, a key that is no curve point, an R that is not the
/// canonical encoding of [S]B - [k]A. As widely deployed verifiers do, a key's
/// y is taken modulo p (an encoding of y + p names the same point) and a zero x
/// may carry either sign bit.
bool verify(const Signature &signature, const PublicKey &public_key, const void *message,
            std::size_t size) noexcept;

/// The same check over a message given in pieces.
class Verifier {
public:
    Verifier(const Signature &signature, const PublicKey &public_key) noexcept;
    void update(const void *piece, std::size_t size) noexcept;
    /// The verdict, once, after the last piece.
    bool finish() noexcept;

private:
    Signature signature_;
    PublicKey public_key_;
    Sha512 hash_;  // of R || A || the message so far
};

}  // namespace ed25519
}  // namespace updater
