"""updater-release: the publisher's command. Makes the tree to upload for a new
launcher build: the build, its SHA-256, its minisign signature and the zstd
patches that make it from the builds released before.

    updater-release NEW_BUILD RELEASE_DIR [--secret-key FILE --public-key FILE]
                    [--keep N] [--comment TEXT] [--name NAME]

RELEASE_DIR/public/ is exactly what to upload at the directory of UPDATE_URL:

    QuelbaLauncher.exe                     the build
    QuelbaLauncher.exe.sha256              its digest, as sha256sum writes it
    QuelbaLauncher.exe.minisig             its signature (with a key)
    QuelbaLauncher.exe.patches/<sha256 of an earlier build>.zst

and for a folder build (a PyInstaller one-dir build: its folder, or its
executable beside its contents folder), the manifest of the contents folder
(QuelbaLauncher.exe.contents, with its .minisig) and each file's bytes
(QuelbaLauncher.exe.files/<sha256>.zst); see updater_release.folder.

A launcher asks for each file beside the build at the build's URL with the
suffix added to its path, the query and fragment kept as they are
(.../QuelbaLauncher.exe.minisig?channel=beta).

RELEASE_DIR/history/ keeps every build released, named by its SHA-256, and in
`releases` one line per release ("<time>\\t<sha256>"). They are the bases of the
patches and are never uploaded; the newest --keep of them get a patch. For
folder builds it keeps each release's manifest in contents/ and the blobs in
files/, so that a later release compresses only what changed and refuses a
contents folder name used before with other files.
"""
from updater_release.cli import KEEP, NAME, main
from updater_release.patches import apply_patch, make_patch, zstd_module
from updater_release.signing import Signer
from updater_release.tree import Refused, sha256, signed_time, write_file

__all__ = ["KEEP", "NAME", "Refused", "Signer", "apply_patch", "main", "make_patch", "sha256", "signed_time",
           "write_file", "zstd_module"]
