"""The minisign tool for the tests: the CLI where it is installed, and on Windows,
where no POSIX program can be started, the same commands done in Python with
`cryptography`. Only the commands the tests use are done: a key pair without a
password (-G -W -p PUB -s KEY) and a signature (-S [-l] -s KEY -m FILE [-x SIG]
[-t COMMENT]). The keys, signature files and public-key files are the tool's
formats; the secret-key file is this helper's own, read only by it."""
import base64
import hashlib
import os
import shutil
import subprocess
import sys

CLI = shutil.which("minisign")
IN_PYTHON = CLI is None and sys.platform == "win32"
AVAILABLE = CLI is not None or IN_PYTHON


def run(*args):
    """minisign ARGS, by the CLI or, on Windows, in Python."""
    if not IN_PYTHON:
        subprocess.run([CLI or "minisign", *args], check=True, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=60)
        return
    options, flags, rest = {}, set(), list(args)
    while rest:
        arg = rest.pop(0)
        if arg in ("-p", "-s", "-m", "-x", "-t"):
            options[arg] = rest.pop(0)
        else:
            flags.add(arg)
    if "-G" in flags:
        _generate(options["-p"], options["-s"])
    elif "-S" in flags:
        _sign(options["-s"], options["-m"], options.get("-x", options["-m"] + ".minisig"),
              options.get("-t"), legacy="-l" in flags)
    else:
        raise ValueError(f"minisign stand-in: no such command {args}")


def _generate(public_path, secret_path):
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

    key = Ed25519PrivateKey.generate()
    raw = serialization.Encoding.Raw
    secret = key.private_bytes(raw, serialization.PrivateFormat.Raw, serialization.NoEncryption())
    public = key.public_key().public_bytes(raw, serialization.PublicFormat.Raw)
    key_id = os.urandom(8)
    with open(secret_path, "w") as f:
        f.write(base64.b64encode(key_id + secret).decode() + "\n")
    with open(public_path, "w") as f:
        f.write(f"untrusted comment: minisign public key {key_id[::-1].hex().upper()}\n"
                + base64.b64encode(b"Ed" + key_id + public).decode() + "\n")


def _sign(secret_path, message_path, signature_path, comment, *, legacy):
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

    with open(secret_path) as f:
        raw = base64.b64decode(f.read())
    key_id, key = raw[:8], Ed25519PrivateKey.from_private_bytes(raw[8:])
    with open(message_path, "rb") as f:
        message = f.read()
    if comment is None:
        comment = f"file:{os.path.basename(message_path)}" + ("" if legacy else "\thashed")
    signature = key.sign(message if legacy else hashlib.blake2b(message).digest())
    global_signature = key.sign(signature + comment.encode())
    with open(signature_path, "w", newline="\n") as f:
        f.write("untrusted comment: signature from minisign secret key\n"
                + base64.b64encode((b"Ed" if legacy else b"ED") + key_id + signature).decode() + "\n"
                + f"trusted comment: {comment}\n"
                + base64.b64encode(global_signature).decode() + "\n")
