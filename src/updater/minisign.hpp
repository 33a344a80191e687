// minisign's public keys and signature files, read strictly, and the check of a
// downloaded build against them. Results are a status with a fixed message:
// nothing here allocates.
//
// A download checks its build in this order: hash the body with BLAKE2b-512
// while it arrives, fetch the signature file, parse_signature() it, then
// verify(). A prehashed signature ("ED", the default) is checked against the
// 64-byte digest; a legacy one ("Ed") against the file itself, given whole to
// verify() or in pieces to a Verifier.
#pragma once

#include "ed25519.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace updater::minisign {

enum class Status : std::uint8_t {
    ok,
    key_encoding,           // the public key is not base64
    key_length,             // ... or not 42 bytes
    key_algorithm,          // ... or not an "Ed" key
    untrusted_comment,      // line 1 is not "untrusted comment: ..."
    signature_encoding,     // line 2 is missing or not base64
    signature_length,       // ... or not 74 bytes
    signature_algorithm,    // ... or neither "ED" nor "Ed"
    trusted_comment,        // line 3 is not "trusted comment: ..."
    global_encoding,        // line 4 is missing or not base64
    global_length,          // ... or not 64 bytes
    trailing_text,          // something follows line 4
    key_id_mismatch,        // the signature names another key
    digest_length,          // a prehashed signature was given no 64-byte digest
    bad_signature,          // the signature of the build does not verify
    bad_global_signature,   // the signature of the trusted comment does not verify
};

/// A fixed sentence telling what `status` means ("" for ok).
const char *message(Status status) noexcept;

struct PublicKey {
    std::array<std::uint8_t, 8> key_id;
    ed25519::PublicKey key;
};

struct Signature {
    bool prehashed;  // "ED": signs BLAKE2b-512 of the file; "Ed": the file itself
    std::array<std::uint8_t, 8> key_id;
    ed25519::Signature signature;
    const char *trusted_comment;  // the text after "trusted comment: ", inside the parsed text
    std::size_t trusted_comment_size;
    ed25519::Signature global_signature;  // of signature || trusted comment
};

/// Reads the key minisign prints: base64 of "Ed", the key id and the key.
/// Blanks around it and a first line "untrusted comment: ..." (as in a .pub
/// file) are allowed.
Status parse_public_key(const char *text, std::size_t size, PublicKey &key) noexcept;

/// Reads a .minisig file: "untrusted comment: ...", the signature line,
/// "trusted comment: ...", the global signature line; lines end in "\n" or
/// "\r\n", and blank lines may follow. `sig` borrows the trusted comment from
/// `text`, which must outlive it; its fields mean something only after ok.
Status parse_signature(const char *text, std::size_t size, Signature &sig) noexcept;

/// Checks `message` against the parsed signature: the key id, the signature,
/// then the global signature. `message` is the 64-byte BLAKE2b-512 digest of
/// the build for a prehashed signature, the build itself for a legacy one.
Status verify(const PublicKey &key, const Signature &sig, const void *message,
              std::size_t size) noexcept;

/// Checks only what a signature says of itself: that it names the key, and
/// that its global signature covers its trusted comment. The build it signs is
/// not looked at.
Status verify_comment(const PublicKey &key, const Signature &sig) noexcept;

/// The same check over a message given in pieces. It keeps copies of the key
/// and the signature; the trusted comment stays borrowed.
/// The time of signing a trusted comment carries, as decimal digits without
/// leading zeros ("0" for zero); empty when it carries none.
struct Timestamp {
    std::array<char, 21> digits{};  // NUL-terminated
    std::size_t size = 0;
};

/// Reads the time from a trusted comment: its first tab-separated field, when
/// that is "timestamp:" followed by 1 to 20 decimal digits (minisign's default
/// comment begins so). Otherwise `time` is left empty.
void signed_at(const char *comment, std::size_t size, Timestamp &time) noexcept;

/// Whether `a` is earlier than `b`; both carry a time.
bool earlier(const Timestamp &a, const Timestamp &b) noexcept;

class Verifier {
public:
    Verifier(const PublicKey &key, const Signature &sig) noexcept;
    void update(const void *piece, std::size_t size) noexcept;
    /// The result, once, after the last piece.
    Status finish() noexcept;

private:
    PublicKey key_;
    Signature sig_;
    ed25519::Verifier message_;
    std::uint64_t size_ = 0;
};

}  // namespace updater::minisign
