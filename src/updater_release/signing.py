"""Signing a release with the minisign command."""
import base64
import binascii
import shutil
import subprocess

from updater_release.tree import Refused, reason


class Signer:
    """The minisign command with the secret key, and the public key the launchers
    carry, which every new signature must verify with."""

    def __init__(self, secret_key, public_key):
        self.minisign = shutil.which("minisign")
        if self.minisign is None:
            raise Refused("signing needs the minisign command, which is not on PATH")
        self.secret_key, self.public_key = secret_key, public_key
        try:
            with open(secret_key, "rb"):
                pass
            with open(public_key, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError) as e:
            raise Refused(f"cannot read the key {e.filename or public_key}: {reason(e)}") from None
        try:
            raw = base64.b64decode(lines[1].strip(), validate=True)
        except (IndexError, binascii.Error):
            raw = b""
        if len(raw) != 42 or raw[:2] != b"Ed":
            raise Refused(f"{public_key} is not a minisign public key")
        self.key_id = raw[2:10][::-1].hex().upper()

    def signed(self, path, comment=None):
        """Whether the signature file at `path` was made with this key and, when
        `comment` is given, under it (the trusted comment after its time)."""
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return False
        try:
            raw = base64.b64decode(lines[1].strip(), validate=True)
        except (IndexError, binascii.Error):
            return False
        if len(raw) != 74 or raw[2:10][::-1].hex().upper() != self.key_id:
            return False
        prefix = "trusted comment: "
        trusted = lines[2][len(prefix):] if len(lines) > 2 and lines[2].startswith(prefix) else None
        return comment is None or trusted is not None and trusted.partition("\t")[2] == comment

    def sign(self, paths, comment):
        """Signs each file of `paths` into its path + ".minisig", all in one run
        of minisign, which asks for the key's password itself, once, on the
        terminal (or reads it from standard input)."""
        signing = subprocess.run([self.minisign, "-S", "-s", self.secret_key, "-t", comment, "-m", *paths],
                                 stdout=subprocess.DEVNULL)
        if signing.returncode != 0:
            raise Refused(f"minisign could not sign with {self.secret_key} (a wrong password?)")
        for path in paths:
            check = subprocess.run([self.minisign, "-V", "-p", self.public_key, "-m", path, "-x", path + ".minisig"],
                                   stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if check.returncode != 0:
                said = " ".join((check.stderr + check.stdout).split())
                raise Refused(f"the new signature does not verify with --public-key {self.public_key}, the key"
                              f" the launchers carry: {self.secret_key} is not its secret key ({said})")
