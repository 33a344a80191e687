// The module's signature code as a plain C library, for tests/test_signature_crypto.py
// (loaded with ctypes). Built only with UPDATER_TEST_LIBS=ON, never installed.
#include "ed25519.hpp"
#include "minisign.hpp"

#include <cstring>

#if defined(_WIN32)
#define TEST_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace updater;

namespace {

/// Feeds `size` bytes to `sink` in pieces of `piece` bytes (0: all at once).
template <class Sink>
void feed(Sink &sink, const std::uint8_t *data, std::size_t size, std::size_t piece)
{
    if (piece == 0)
        piece = size;
    do {
        const std::size_t n = size < piece ? size : piece;
        sink.update(data, n);
        data += n;
        size -= n;
    } while (size > 0);
}

}  // namespace

TEST_EXPORT void test_sha512(const std::uint8_t *data, std::size_t size, std::size_t piece,
                             std::uint8_t *digest)
{
    Sha512 hash;
    feed(hash, data, size, piece);
    const Sha512::Digest d = hash.finish();
    std::memcpy(digest, d.data(), d.size());
}

TEST_EXPORT int test_ed25519_verify(const std::uint8_t *signature, const std::uint8_t *public_key,
                                    const std::uint8_t *message, std::size_t size,
                                    std::size_t piece)
{
    ed25519::Signature sig{};
    ed25519::PublicKey key{};
    std::memcpy(sig.data(), signature, sig.size());
    std::memcpy(key.data(), public_key, key.size());
    if (piece == 0)
        return ed25519::verify(sig, key, message, size) ? 1 : 0;
    ed25519::Verifier verifier(sig, key);
    feed(verifier, message, size, piece);
    return verifier.finish() ? 1 : 0;
}

TEST_EXPORT const char *test_minisign_message(int status)
{
    return minisign::message(static_cast<minisign::Status>(status));
}

/// Parses a signature file; on success fills the fields (the comment points into `text`).
TEST_EXPORT int test_minisign_parse_signature(const char *text, std::size_t size,
                                              int *prehashed, std::uint8_t *key_id,
                                              std::uint8_t *signature, const char **comment,
                                              std::size_t *comment_size,
                                              std::uint8_t *global_signature)
{
    minisign::Signature parsed{};
    const minisign::Status status = minisign::parse_signature(text, size, parsed);
    if (status == minisign::Status::ok) {
        *prehashed = parsed.prehashed ? 1 : 0;
        std::memcpy(key_id, parsed.key_id.data(), parsed.key_id.size());
        std::memcpy(signature, parsed.signature.data(), parsed.signature.size());
        *comment = parsed.trusted_comment;
        *comment_size = parsed.trusted_comment_size;
        std::memcpy(global_signature, parsed.global_signature.data(),
                    parsed.global_signature.size());
    }
    return static_cast<int>(status);
}

/// Parses the key and the signature file, then checks the message given in
/// pieces of `piece` bytes (0: whole): the first status that is not ok.
TEST_EXPORT int test_minisign_check(const char *key_text, std::size_t key_size,
                                    const char *sig_text, std::size_t sig_size,
                                    const std::uint8_t *message, std::size_t size,
                                    std::size_t piece)
{
    minisign::PublicKey key{};
    minisign::Signature sig{};
    minisign::Status status = minisign::parse_public_key(key_text, key_size, key);
    if (status == minisign::Status::ok)
        status = minisign::parse_signature(sig_text, sig_size, sig);
    if (status == minisign::Status::ok) {
        if (piece == 0) {
            status = minisign::verify(key, sig, message, size);
        } else {
            minisign::Verifier verifier(key, sig);
            feed(verifier, message, size, piece);
            status = verifier.finish();
        }
    }
    return static_cast<int>(status);
}
