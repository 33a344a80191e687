"""SHA-512, Ed25519 verification and minisign's formats as the module compiles
them, called through a library built from the same sources for the tests only
(CMake option UPDATER_TEST_LIBS; `make test` builds it into build/test-libs-3.X).
Checked against RFC 8032's vectors, signatures made by the minisign CLI (on
Windows, its commands done in Python: signing.py), and the cryptography package's
Ed25519."""
import base64
import ctypes
import hashlib
import os
import random
import sys
from types import SimpleNamespace

import pytest
import signing
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

pytestmark = pytest.mark.no_leakcheck("plain C calls through ctypes: the module is not involved")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIBRARY = "libupdater_crypto_test" + (".dll" if sys.platform == "win32" else ".so")


def _load():
    own = os.path.join(ROOT, "build", "test-libs-%d.%d" % sys.version_info[:2])
    for directory in (os.environ.get("UPDATER_PATH"), own):
        if directory and os.path.exists(os.path.join(directory, LIBRARY)):
            lib = ctypes.CDLL(os.path.join(directory, LIBRARY))
            break
    else:
        raise RuntimeError(f"{LIBRARY} is not built: run `make test`, or configure with "
                           "-DUPDATER_TEST_LIBS=ON")
    size, text, out = ctypes.c_size_t, ctypes.c_char_p, ctypes.c_char_p
    lib.test_sha512.argtypes = [text, size, size, out]
    lib.test_ed25519_verify.argtypes = [text, text, text, size, size]
    lib.test_minisign_message.argtypes = [ctypes.c_int]
    lib.test_minisign_message.restype = ctypes.c_char_p
    lib.test_minisign_parse_signature.argtypes = [
        text, size, ctypes.POINTER(ctypes.c_int), out, out, ctypes.POINTER(ctypes.c_char_p),
        ctypes.POINTER(size), out]
    lib.test_minisign_check.argtypes = [text, size, text, size, text, size, size]
    return lib


lib = _load()


def sha512(data, piece=0):
    digest = ctypes.create_string_buffer(64)
    lib.test_sha512(data, len(data), piece, digest)
    return digest.raw


def verify(public_key, signature, message, piece=0):
    assert len(public_key) == 32 and len(signature) == 64
    return lib.test_ed25519_verify(signature, public_key, message, len(message), piece) == 1


def reference(public_key, signature, message):
    """The cryptography package's verdict."""
    try:
        Ed25519PublicKey.from_public_bytes(public_key).verify(signature, message)
        return True
    except InvalidSignature:
        return False


def check(key, sig, message, piece=0):
    """The message of the first failed step of a minisign check, "" when it passes."""
    key, sig = key.encode(), sig.encode()
    status = lib.test_minisign_check(key, len(key), sig, len(sig), message, len(message), piece)
    return lib.test_minisign_message(status).decode()


def raw_public_key(private_key):
    return private_key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def flip(data, bit):
    changed = bytearray(data)
    changed[bit // 8] ^= 1 << bit % 8
    return bytes(changed)


def test_sha512_matches_hashlib():
    rng = random.Random(512)
    sizes = [0, 1, 111, 112, 113, 127, 128, 129, 239, 240, 256, 4096, 70001]
    for size in sizes + [rng.randrange(20000) for _ in range(20)]:
        data = rng.randbytes(size)
        for piece in (0, 1, 7, 128, 200):
            assert sha512(data, piece) == hashlib.sha512(data).digest(), (size, piece)


# RFC 8032, section 7.1: public key, message, signature.
RFC8032 = {
    "1": ("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
          "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e"
          "39701cf9b46bd25bf5f0595bbe24655141438e7a100b"),
    "2": ("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
          "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f"
          "3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"),
    "3": ("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
          "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67"
          "f760984dc6594a7c15e9716ed28dc027beceea1ec40a"),
    "1024": (
        "278117fc144c72340f67d0f2316e8386ceffbf2b2428c9c51fef7c597f1d426e",
        "08b8b2b733424243760fe426a4b54908632110a66c2f6591eabd3345e3e4eb98fa6e264bf09efe12ee50f8f5"
        "4e9f77b1e355f6c50544e23fb1433ddf73be84d879de7c0046dc4996d9e773f4bc9efe5738829adb26c81b37"
        "c93a1b270b20329d658675fc6ea534e0810a4432826bf58c941efb65d57a338bbd2e26640f89ffbc1a858efc"
        "b8550ee3a5e1998bd177e93a7363c344fe6b199ee5d02e82d522c4feba15452f80288a821a579116ec6dad2b"
        "3b310da903401aa62100ab5d1a36553e06203b33890cc9b832f79ef80560ccb9a39ce767967ed628c6ad573c"
        "b116dbefefd75499da96bd68a8a97b928a8bbc103b6621fcde2beca1231d206be6cd9ec7aff6f6c94fcd7204"
        "ed3455c68c83f4a41da4af2b74ef5c53f1d8ac70bdcb7ed185ce81bd84359d44254d95629e9855a94a7c1958"
        "d1f8ada5d0532ed8a5aa3fb2d17ba70eb6248e594e1a2297acbbb39d502f1a8c6eb6f1ce22b3de1a1f40cc24"
        "554119a831a9aad6079cad88425de6bde1a9187ebb6092cf67bf2b13fd65f27088d78b7e883c8759d2c4f5c6"
        "5adb7553878ad575f9fad878e80a0c9ba63bcbcc2732e69485bbc9c90bfbd62481d9089beccf80cfe2df16a2"
        "cf65bd92dd597b0707e0917af48bbb75fed413d238f5555a7a569d80c3414a8d0859dc65a46128bab27af87a"
        "71314f318c782b23ebfe808b82b0ce26401d2e22f04d83d1255dc51addd3b75a2b1ae0784504df543af8969b"
        "e3ea7082ff7fc9888c144da2af58429ec96031dbcad3dad9af0dcbaaaf268cb8fcffead94f3c7ca495e056a9"
        "b47acdb751fb73e666c6c655ade8297297d07ad1ba5e43f1bca32301651339e22904cc8c42f58c30c04aafdb"
        "038dda0847dd988dcda6f3bfd15c4b4c4525004aa06eeff8ca61783aacec57fb3d1f92b0fe2fd1a85f672451"
        "7b65e614ad6808d6f6ee34dff7310fdc82aebfd904b01e1dc54b2927094b2db68d6f903b68401adebf5a7e08"
        "d78ff4ef5d63653a65040cf9bfd4aca7984a74d37145986780fc0b16ac451649de6188a7dbdf191f64b5fc5e"
        "2ab47b57f7f7276cd419c17a3ca8e1b939ae49e488acba6b965610b5480109c8b17b80e1b7b750dfc7598d5d"
        "5011fd2dcc5600a32ef5b52a1ecc820e308aa342721aac0943bf6686b64b2579376504ccc493d97e6aed3fb0"
        "f9cd71a43dd497f01f17c0e2cb3797aa2a2f256656168e6c496afc5fb93246f6b1116398a346f1a641f3b041"
        "e989f7914f90cc2c7fff357876e506b50d334ba77c225bc307ba537152f3f1610e4eafe595f6d9d90d11faa9"
        "33a15ef1369546868a7f3a45a96768d40fd9d03412c091c6315cf4fde7cb68606937380db2eaaa707b4c4185"
        "c32eddcdd306705e4dc1ffc872eeee475a64dfac86aba41c0618983f8741c5ef68d3a101e8a3b8cac60c905c"
        "15fc910840b94c00a0b9d0",
        "0aab4c900501b3e24d7cdf4663326a3a87df5e4843b2cbdb67cbf6e460fec350aa5371b1508f9f4528ecea23"
        "c436d94b5e8fcd4f681e30a6ac00a9704a188a03"),
    "SHA(abc)": (
        "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
        hashlib.sha512(b"abc").hexdigest(),
        "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b58909351fc9ac90b3ecfdfbc7c6"
        "6431e0303dca179c138ac17ad9bef1177331a704"),
}


@pytest.mark.parametrize("name", RFC8032)
def test_rfc8032_vectors(name):
    public_key, message, signature = (bytes.fromhex(x) for x in RFC8032[name])
    assert verify(public_key, signature, message)
    assert verify(public_key, signature, message, piece=5)
    assert not verify(public_key, signature, message + b"\0")
    assert not verify(flip(public_key, 0), signature, message)


# ---------------------------------------------------------------------------
# The curve in plain Python, to make the signatures that no signer makes.

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, -1, P) % P
IDENTITY = (0, 1)


def point_add(a, b):
    (x1, y1), (x2, y2) = a, b
    t = D * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + x2 * y1) * pow(1 + t, -1, P) % P,
            (y1 * y2 + x1 * x2) * pow(1 - t, -1, P) % P)


def scalar_mul(k, point):
    result = IDENTITY
    while k:
        if k & 1:
            result = point_add(result, point)
        point, k = point_add(point, point), k >> 1
    return result


def point_with_y(y):
    """The point with this y and an even x, or None."""
    xx = (y * y - 1) * pow(D * y * y + 1, -1, P) % P
    x = pow(xx, (P + 3) // 8, P)
    if (x * x - xx) % P:
        x = x * pow(2, (P - 1) // 4, P) % P
    return None if (x * x - xx) % P else (x if x % 2 == 0 else P - x, y)


def le(n):
    return n.to_bytes(32, "little")


def encode(point):
    return le(point[1] | (point[0] & 1) << 255)


def k_of(r_bytes, a_bytes, message):
    return int.from_bytes(hashlib.sha512(r_bytes + a_bytes + message).digest(), "little") % L


def order(point):
    return next(n for n in (1, 2, 4, 8, L) if scalar_mul(n, point) == IDENTITY)


BASE = point_with_y(4 * pow(5, -1, P) % P)
NONCE = 0x1234567
R = encode(scalar_mul(NONCE, BASE))


def torsion_points():
    """The eight points of small order: the multiples of one of order 8."""
    y = 2
    while (q := point_with_y(y)) is None or order(t := scalar_mul(L, q)) != 8:
        y += 1
    return [scalar_mul(i, t) for i in range(8)]


def messages_by_k(r_bytes, a_bytes, divisor):
    """A message whose k is a multiple of divisor, and one whose k is not."""
    found = {}
    for i in range(200):
        message = b"m%d" % i
        found.setdefault(k_of(r_bytes, a_bytes, message) % divisor == 0, message)
    return found[True], found.get(False)


def edge_cases():
    """(name, public key, signature, message, verdict) for the corners of the check."""
    ident = encode(IDENTITY)
    # With A the identity, [k]A vanishes and (R, NONCE) signs every message.
    cases = [
        ("A identity", ident, R + le(NONCE), b"m", True),
        ("S + L", ident, R + le(NONCE + L), b"m", False),
        ("S = L, R identity", ident, ident + le(L), b"m", False),
        ("S = 0, R identity", ident, ident + le(0), b"m", True),
        ("S = L + 1", ident, encode(BASE) + le(L + 1), b"m", False),
        ("S = 2^256 - 1", ident, R + b"\xff" * 32, b"m", False),
        ("R identity as y = p + 1", ident, le(P + 1) + le(0), b"m", False),
        ("R identity with the sign bit", ident, le(1 | 1 << 255) + le(0), b"m", False),
        ("A identity as y = p + 1", le(P + 1), R + le(NONCE), b"m", True),
        ("A identity with the sign bit", le(1 | 1 << 255), R + le(NONCE), b"m", True),
        ("A with y = p + 2, no point", le(P + 2), R + le(NONCE), b"m", False),
        ("A with y = 2^255 - 1, no point", b"\xff" * 32, R + le(NONCE), b"m", False),
    ]
    # Each small-order A, canonical or as y + p: accepted exactly when [k]A vanishes.
    for i, point in enumerate(torsion_points()):
        encodings = [encode(point)] + ([le(point[1] + P)] if point[1] + P < 2**255 else [])
        for a_bytes in encodings:
            yes, no = messages_by_k(R, a_bytes, order(point))
            cases.append((f"small order A {i} ({a_bytes[0]:02x}..)", a_bytes, R + le(NONCE), yes, True))
            if no is not None:
                cases.append((f"small order A {i}, k off", a_bytes, R + le(NONCE), no, False))
        # A small-order R is never [S]B - [k]A for A the identity and S = 0, but itself.
        cases.append((f"small order R {i}", ident, encode(point) + le(0), b"m", i == 0))
    # A key with a small-order part: the cofactorless check passes only when [k] kills it.
    secret = 0xC0FFEE
    mixed = encode(point_add(scalar_mul(secret, BASE), torsion_points()[1]))
    for message, verdict in zip(messages_by_k(R, mixed, 8), (True, False)):
        s = (NONCE + k_of(R, mixed, message) * secret) % L
        cases.append((f"mixed-order A, k % 8 == 0: {verdict}", mixed, R + le(s), message, verdict))
    return cases


def test_edge_cases_are_judged_as_cryptography_judges_them():
    for name, public_key, signature, message, verdict in edge_cases():
        assert (verify(public_key, signature, message), reference(public_key, signature, message)) \
            == (verdict, verdict), name


@pytest.mark.parametrize("seed", range(3))
def test_every_single_bit_flip_is_judged_as_cryptography_judges_it(seed):
    rng = random.Random(seed)
    for _ in range(10):
        key = Ed25519PrivateKey.from_private_bytes(rng.randbytes(32))
        message = rng.randbytes(rng.randrange(300))
        signature = key.sign(message)
        assert verify(raw_public_key(key), signature, message)
        assert verify(raw_public_key(key), signature, message, piece=rng.randrange(1, 64))

    public_key, message = raw_public_key(key), rng.randbytes(8)
    signature = key.sign(message)
    disagreements = []
    for part, value in (("signature", signature), ("public key", public_key), ("message", message)):
        for bit in range(len(value) * 8):
            changed = dict(signature=signature, public_key=public_key, message=message)
            changed[part.replace(" ", "_")] = flip(value, bit)
            if verify(**changed) != reference(**changed):
                disagreements.append((part, bit))
    assert disagreements == []


# ---------------------------------------------------------------------------
# minisign: keys and signatures from the CLI

TRUSTED = "release 1.2.3 for QuelbaLauncher.exe"
minisign = signing.run  # on Windows, the tool's commands done in Python


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """A build signed both ways by one key, and a second key."""
    if not signing.AVAILABLE:
        pytest.skip("the minisign CLI is missing (tools/setup-system installs it)")
    work = tmp_path_factory.mktemp("minisign")
    for name in ("publisher", "other"):
        minisign("-G", "-W", "-p", str(work / f"{name}.pub"), "-s", str(work / f"{name}.key"))
    build = work / "QuelbaLauncher.exe"
    build.write_bytes(random.Random(7).randbytes(300_001))
    for form, extra in (("prehashed", ()), ("legacy", ("-l",))):
        minisign("-S", *extra, "-s", str(work / "publisher.key"), "-m", str(build),
                 "-x", str(work / f"{form}.minisig"), "-t", TRUSTED)
    read = lambda name: (work / name).read_text()  # noqa: E731
    return SimpleNamespace(
        pub_file=read("publisher.pub"), key=read("publisher.pub").splitlines()[1],
        other_key=read("other.pub").splitlines()[1], build=build.read_bytes(),
        prehashed=read("prehashed.minisig"), legacy=read("legacy.minisig"))


def blake2b(data):
    return hashlib.blake2b(data).digest()


def parse_signature(text):
    text = text.encode()
    prehashed, comment, comment_size = ctypes.c_int(), ctypes.c_char_p(), ctypes.c_size_t()
    key_id, global_signature = ctypes.create_string_buffer(8), ctypes.create_string_buffer(64)
    status = lib.test_minisign_parse_signature(
        text, len(text), prehashed, key_id, ctypes.create_string_buffer(64), comment,
        comment_size, global_signature)
    assert status == 0, lib.test_minisign_message(status)
    return prehashed.value, key_id.raw, ctypes.string_at(comment, comment_size.value).decode()


def test_signatures_of_the_cli_pass(signed):
    key_id = base64.b64decode(signed.key)[2:10]
    assert parse_signature(signed.prehashed) == (1, key_id, TRUSTED)
    assert parse_signature(signed.legacy) == (0, key_id, TRUSTED)

    digest = blake2b(signed.build)
    assert check(signed.key, signed.prehashed, digest) == ""
    assert check(signed.pub_file, signed.prehashed, digest) == ""
    assert check(f"\n  {signed.key} \n", signed.prehashed.replace("\n", "\r\n"), digest) == ""
    assert check(signed.key, signed.prehashed + "\n\n", digest, piece=10) == ""
    assert check(signed.key, signed.legacy, signed.build) == ""
    assert check(signed.key, signed.legacy, signed.build, piece=65536) == ""


BAD_SIGNATURE = "the signature does not match the file"


def test_forged_or_foreign_signatures_fail(signed):
    digest = blake2b(signed.build)
    flipped = flip(signed.build, 12345)
    publisher_id = base64.b64decode(signed.key)[2:10]
    other_key_with_publisher_id = base64.b64encode(
        b"Ed" + publisher_id + base64.b64decode(signed.other_key)[10:]).decode()
    lines = signed.prehashed.splitlines(keepends=True)
    assert check(signed.other_key, signed.prehashed, digest) == \
        "the signature was made with another key (key id mismatch)"
    assert check(other_key_with_publisher_id, signed.prehashed, digest) == BAD_SIGNATURE
    assert check(signed.key, signed.prehashed, blake2b(flipped)) == BAD_SIGNATURE
    assert check(signed.key, signed.legacy, flipped) == BAD_SIGNATURE
    assert check(signed.key, signed.legacy, digest) == BAD_SIGNATURE
    assert check(signed.key, signed.prehashed, signed.build) == \
        "a prehashed signature is checked against a 64-byte BLAKE2b-512 digest"
    tampered = "".join(lines[:2] + [lines[2].replace("1.2.3", "1.2.4")] + lines[3:])
    assert check(signed.key, tampered, digest) == \
        "the global signature does not match the trusted comment"
    other_global = signed.legacy.splitlines(keepends=True)[3]
    assert check(signed.key, "".join(lines[:3] + [other_global]), digest) == \
        "the global signature does not match the trusted comment"


def reencoded(line, change):
    raw = bytearray(base64.b64decode(line))
    change(raw)
    return base64.b64encode(bytes(raw)).decode()


def test_malformed_keys_and_files_fail_with_their_reason(signed):
    digest = blake2b(signed.build)
    first, sig_line, trusted, global_line = signed.prehashed.splitlines()
    keys = {
        "": "the public key is not valid base64",
        signed.key[:20] + " " + signed.key[21:]: "the public key is not valid base64",
        signed.key[:-4]: "the public key has the wrong length",
        reencoded(signed.key, lambda raw: raw.__setitem__(1, ord("D"))):
            "the public key is not an Ed25519 key",
    }
    for key, reason in keys.items():
        assert check(key, signed.prehashed, digest) == reason, key

    padded_bits = sig_line[:-2] + chr(ord(sig_line[-2]) + 1) + "="  # a spare bit set
    files = {
        "": "the signature file does not begin with an untrusted comment",
        first: "the signature is missing or not valid base64",
        "\n".join([first, sig_line.replace("R", "!", 1), trusted, global_line]):
            "the signature is missing or not valid base64",
        "\n".join([first, padded_bits, trusted, global_line]):
            "the signature is missing or not valid base64",
        "\n".join([first, sig_line[:-4], trusted, global_line]): "the signature has the wrong length",
        "\n".join([first, reencoded(sig_line, lambda raw: raw.__setitem__(1, ord("X"))), trusted,
                   global_line]): "the signature uses an unknown algorithm",
        "\n".join([first, sig_line]): "the signature file has no trusted comment",
        "\n".join([first, sig_line, trusted[1:], global_line]):
            "the signature file has no trusted comment",
        "\n".join([first, sig_line, trusted]): "the global signature is missing or not valid base64",
        "\n".join([first, sig_line, trusted, global_line[:-4]]):
            "the global signature has the wrong length",
        "\n".join([first, sig_line, trusted, global_line, "x"]):
            "the signature file goes on after the global signature",
    }
    for text, reason in files.items():
        assert check(signed.key, text, digest) == reason, text
