// minisign's public keys and signature files, and the check of a build against them.
#include "minisign.hpp"

#include <cstring>

namespace updater::minisign {
namespace {

constexpr char untrusted_prefix[] = "untrusted comment:";
constexpr char trusted_prefix[] = "trusted comment: ";
constexpr std::size_t blake2b_512_size = 64;

/// A stretch of the text being read.
struct Text {
    const char *data;
    std::size_t size;
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Text trim(Text t)
{
    while (t.size > 0 && is_blank(t.data[0])) {
        ++t.data;
        --t.size;
    }
    while (t.size > 0 && is_blank(t.data[t.size - 1]))
        --t.size;
    return t;
}

template <std::size_t N>
bool starts_with(Text t, const char (&prefix)[N])
{
    return t.size >= N - 1 && std::memcmp(t.data, prefix, N - 1) == 0;
}

/// Takes the first line off `rest`, without its "\n" or "\r\n". At the end
/// of the text the line is empty and the result false.
bool next_line(Text &rest, Text &line)
{
    line = {rest.data, 0};
    if (rest.size == 0)
        return false;
    while (line.size < rest.size && rest.data[line.size] != '\n')
        ++line.size;
    const std::size_t used = line.size < rest.size ? line.size + 1 : line.size;  // with its "\n"
    rest = {rest.data + used, rest.size - used};
    if (line.size > 0 && line.data[line.size - 1] == '\r')
        --line.size;
    return true;
}

/// The value of a base64 digit, or -1.
int digit_value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

enum class Decoded { ok, encoding, length };

/// Decodes strict base64 (the standard alphabet, '=' padding up to a multiple
/// of four characters, the unused bits zero) into exactly `want` bytes. Never
/// writes more than `want`.
Decoded decode_base64(Text text, std::uint8_t *out, std::size_t want)
{
    if (text.size == 0 || text.size % 4 != 0)
        return Decoded::encoding;
    std::size_t padding = 0;
    if (text.data[text.size - 1] == '=')
        padding = text.data[text.size - 2] == '=' ? 2 : 1;

    unsigned bits = 0;  // the last `held` bits are not written yet
    unsigned held = 0;
    std::size_t written = 0;
    for (std::size_t i = 0; i < text.size - padding; ++i) {
        const int value = digit_value(text.data[i]);
        if (value < 0)
            return Decoded::encoding;
        bits = ((bits << 6) | static_cast<unsigned>(value)) & 0xffffU;
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (written < want)
                out[written] = static_cast<std::uint8_t>(bits >> held);
            ++written;
        }
    }
    if ((bits & ((1U << held) - 1)) != 0)
        return Decoded::encoding;
    return written == want ? Decoded::ok : Decoded::length;
}

}  // namespace

const char *message(Status status) noexcept
{
    switch (status) {
    case Status::ok:
        return "";
    case Status::key_encoding:
        return "the public key is not valid base64";
    case Status::key_length:
        return "the public key has the wrong length";
    case Status::key_algorithm:
        return "the public key is not an Ed25519 key";
    case Status::untrusted_comment:
        return "the signature file does not begin with an untrusted comment";
    case Status::signature_encoding:
        return "the signature is missing or not valid base64";
    case Status::signature_length:
        return "the signature has the wrong length";
    case Status::signature_algorithm:
        return "the signature uses an unknown algorithm";
    case Status::trusted_comment:
        return "the signature file has no trusted comment";
    case Status::global_encoding:
        return "the global signature is missing or not valid base64";
    case Status::global_length:
        return "the global signature has the wrong length";
    case Status::trailing_text:
        return "the signature file goes on after the global signature";
    case Status::key_id_mismatch:
        return "the signature was made with another key (key id mismatch)";
    case Status::digest_length:
        return "a prehashed signature is checked against a 64-byte BLAKE2b-512 digest";
    case Status::bad_signature:
        return "the signature does not match the file";
    case Status::bad_global_signature:
        return "the global signature does not match the trusted comment";
    }
    return "unknown signature status";
}

Status parse_public_key(const char *text, std::size_t size, PublicKey &key) noexcept
{
    Text rest = trim({text, size});
    if (starts_with(rest, untrusted_prefix)) {
        Text comment{};
        next_line(rest, comment);
        rest = trim(rest);
    }

    // "Ed", the key id, the key
    std::array<std::uint8_t, 2 + 8 + 32> raw{};
    switch (decode_base64(rest, raw.data(), raw.size())) {
    case Decoded::encoding:
        return Status::key_encoding;
    case Decoded::length:
        return Status::key_length;
    case Decoded::ok:
        break;
    }
    if (raw[0] != 'E' || raw[1] != 'd')
        return Status::key_algorithm;
    std::memcpy(key.key_id.data(), raw.data() + 2, key.key_id.size());
    std::memcpy(key.key.data(), raw.data() + 10, key.key.size());
    return Status::ok;
}

Status parse_signature(const char *text, std::size_t size, Signature &sig) noexcept
{
    Text rest{text, size};
    Text line{};

    // untrusted comment: ...
    if (!next_line(rest, line) || !starts_with(line, untrusted_prefix))
        return Status::untrusted_comment;

    // The algorithm, the key id and the signature.
    next_line(rest, line);
    std::array<std::uint8_t, 2 + 8 + 64> raw{};
    switch (decode_base64(trim(line), raw.data(), raw.size())) {
    case Decoded::encoding:
        return Status::signature_encoding;
    case Decoded::length:
        return Status::signature_length;
    case Decoded::ok:
        break;
    }
    if (raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd'))
        return Status::signature_algorithm;
    sig.prehashed = raw[1] == 'D';
    std::memcpy(sig.key_id.data(), raw.data() + 2, sig.key_id.size());
    std::memcpy(sig.signature.data(), raw.data() + 10, sig.signature.size());

    // trusted comment: <the text the global signature covers>
    if (!next_line(rest, line) || !starts_with(line, trusted_prefix))
        return Status::trusted_comment;
    sig.trusted_comment = line.data + (sizeof trusted_prefix - 1);
    sig.trusted_comment_size = line.size - (sizeof trusted_prefix - 1);

    // The global signature.
    next_line(rest, line);
    switch (decode_base64(trim(line), sig.global_signature.data(), sig.global_signature.size())) {
    case Decoded::encoding:
        return Status::global_encoding;
    case Decoded::length:
        return Status::global_length;
    case Decoded::ok:
        break;
    }

    if (trim(rest).size != 0)
        return Status::trailing_text;
    return Status::ok;
}

void signed_at(const char *comment, std::size_t size, Timestamp &time) noexcept
{
    time = {};
    static constexpr char prefix[] = "timestamp:";
    constexpr std::size_t max_digits = 20;
    Text field{comment, 0};
    while (field.size < size && comment[field.size] != '\t')
        ++field.size;
    if (!starts_with(field, prefix))
        return;
    Text digits{field.data + sizeof prefix - 1, field.size - (sizeof prefix - 1)};
    if (digits.size == 0 || digits.size > max_digits)
        return;
    for (std::size_t i = 0; i < digits.size; ++i)
        if (digits.data[i] < '0' || digits.data[i] > '9')
            return;
    while (digits.size > 1 && digits.data[0] == '0') {
        ++digits.data;
        --digits.size;
    }
    std::memcpy(time.digits.data(), digits.data, digits.size);
    time.digits[digits.size] = '\0';
    time.size = digits.size;
}

bool earlier(const Timestamp &a, const Timestamp &b) noexcept
{
    // Without leading zeros, the shorter number is the smaller.
    if (a.size != b.size)
        return a.size < b.size;
    return std::memcmp(a.digits.data(), b.digits.data(), a.size) < 0;
}

namespace {

/// Whether the global signature covers the signature and its trusted comment.
bool comment_holds(const PublicKey &key, const Signature &sig) noexcept
{
    ed25519::Verifier global(sig.global_signature, key.key);
    global.update(sig.signature.data(), sig.signature.size());
    global.update(sig.trusted_comment, sig.trusted_comment_size);
    return global.finish();
}

}  // namespace

Status verify_comment(const PublicKey &key, const Signature &sig) noexcept
{
    if (sig.key_id != key.key_id)
        return Status::key_id_mismatch;
    if (!comment_holds(key, sig))
        return Status::bad_global_signature;
    return Status::ok;
}

Status verify(const PublicKey &key, const Signature &sig, const void *message,
              std::size_t size) noexcept
{
    Verifier verifier(key, sig);
    verifier.update(message, size);
    return verifier.finish();
}

Verifier::Verifier(const PublicKey &key, const Signature &sig) noexcept
    : key_(key), sig_(sig), message_(sig.signature, key.key)
{
}

void Verifier::update(const void *piece, std::size_t size) noexcept
{
    message_.update(piece, size);
    size_ += size;
}

Status Verifier::finish() noexcept
{
    if (sig_.key_id != key_.key_id)
        return Status::key_id_mismatch;
    if (sig_.prehashed && size_ != blake2b_512_size)
        return Status::digest_length;
    if (!message_.finish())
        return Status::bad_signature;
    if (!comment_holds(key_, sig_))
        return Status::bad_global_signature;
    return Status::ok;
}

}  // namespace updater::minisign
