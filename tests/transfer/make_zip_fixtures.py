#!/usr/bin/env python3
"""Writes the ZIP archives the transfer tests unpack.

Well-formed archives are made by Info-ZIP's `zip`, as a release would be packed. Hostile archives that
`zip` refuses to make are written with Python's zipfile module or patched byte by byte. Usage:
    make_zip_fixtures.py OUTPUT_DIR
"""

import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

# The file an archive is expected to hold; hostile entries try to escape under this name.
ESCAPE = "vesk_zip_escape.txt"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def pseudo_random(length, seed):
    # Deterministic, poorly compressible bytes without depending on os.urandom.
    out = bytearray()
    state = seed
    while len(out) < length:
        state = (state * 6364136223846793005 + 1442695040888963407) & 0xFFFFFFFFFFFFFFFF
        out += struct.pack("<Q", state)[3:7]
    return bytes(out[:length])


def run_zip(cwd, archive, args):
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["zip", "-q", "-X", archive] + args, cwd=cwd, check=True)


def make_sources(src):
    """Content files; the tests compare what they unpack against these."""
    shutil.rmtree(src, ignore_errors=True)
    write(os.path.join(src, "tree", "pkg", "bin", "Updater.exe"),
          b"MZ" + pseudo_random(150000, 1) + b"".join(b"line %d\n" % i for i in range(20000)))
    write(os.path.join(src, "tree", "pkg", "readme.txt"), b"VESK test package\r\n" * 50)
    write(os.path.join(src, "tree", "pkg", "empty.dat"), b"")
    write(os.path.join(src, "tree", "top.txt"), b"top level\n")
    os.makedirs(os.path.join(src, "tree", "pkg", "docs"), exist_ok=True)  # an empty folder
    write(os.path.join(src, "flat", "Updater.exe"), b"MZ plain updater " + pseudo_random(3000, 2))
    write(os.path.join(src, "lower", "updater.exe"), b"MZ lower-case name")
    write(os.path.join(src, "small", "d", "a.txt"), b"abcdefgh" * 300)
    write(os.path.join(src, "small", "b.bin"), pseudo_random(40, 3))
    write(os.path.join(src, "secret", "Updater.exe"), b"MZ secret")


def make_standard(out, src):
    # Tree with folder entries, deflated: the usual shape of a release archive.
    run_zip(os.path.join(src, "tree"), os.path.join(out, "nested.zip"), ["-r", "pkg", "top.txt"])
    # The same tree stored without compression.
    run_zip(os.path.join(src, "tree"), os.path.join(out, "stored.zip"), ["-0", "-r", "pkg", "top.txt"])
    # Files only, no folder entries: parent folders must be made from the file names.
    run_zip(os.path.join(src, "tree"), os.path.join(out, "no_dir_entries.zip"), ["-D", "-r", "pkg", "top.txt"])
    run_zip(os.path.join(src, "flat"), os.path.join(out, "flat.zip"), ["Updater.exe"])
    run_zip(os.path.join(src, "lower"), os.path.join(out, "lower_case.zip"), ["updater.exe"])
    # A small archive with a folder, a deflated and a stored entry, for mutation tests.
    run_zip(os.path.join(src, "small"), os.path.join(out, "small.zip"), ["-r", "d"])
    subprocess.run(["zip", "-q", "-X", "-0", os.path.join(out, "small.zip"), "b.bin"],
                   cwd=os.path.join(src, "small"), check=True)
    # Traditional PKWARE encryption.
    run_zip(os.path.join(src, "secret"), os.path.join(out, "encrypted.zip"), ["-P", "secret", "Updater.exe"])
    # ZIP64 records although nothing needs them.
    run_zip(os.path.join(src, "flat"), os.path.join(out, "zip64.zip"), ["-fz", "Updater.exe"])
    # An empty archive is only an end record.
    with zipfile.ZipFile(os.path.join(out, "empty.zip"), "w"):
        pass


def crafted(path, entries):
    """entries: list of (name, data) written with zipfile, names kept exactly as given."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo("placeholder")
            info.filename = name  # bypasses zipfile's own clean-up of the name
            info.orig_filename = name
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def patch_sizes(path, name, uncompressed):
    """Declares another unpacked size for name in its local and central headers."""
    data = bytearray(open(path, "rb").read())
    encoded = name.encode()
    for signature, size_at, name_len_at, header in ((b"PK\x03\x04", 22, 26, 30), (b"PK\x01\x02", 24, 28, 46)):
        pos = 0
        while True:
            pos = data.find(signature, pos)
            if pos < 0:
                break
            length = struct.unpack_from("<H", data, pos + name_len_at)[0]
            if data[pos + header:pos + header + length] == encoded:
                struct.pack_into("<I", data, pos + size_at, uncompressed)
            pos += 4
    open(path, "wb").write(bytes(data))


def rename_local(path, old, new):
    """Gives the local header another name of the same length than the central directory holds."""
    data = bytearray(open(path, "rb").read())
    pos = data.find(b"PK\x03\x04" + b"")
    assert len(old) == len(new)
    at = data.find(old.encode(), pos)
    data[at:at + len(old)] = new.encode()
    open(path, "wb").write(bytes(data))


def make_hostile(out):
    bad = os.path.join(out, "hostile")
    shutil.rmtree(bad, ignore_errors=True)
    os.makedirs(bad)
    payload = b"written outside the extraction folder\n"
    names = {
        "absolute": "/" + ESCAPE,
        "absolute_tmp": "/tmp/" + ESCAPE,
        "dotdot": "../" + ESCAPE,
        "dotdot_nested": "pkg/../../" + ESCAPE,
        "dotdot_deep": "a/b/../../../../" + ESCAPE,
        "backslash_dotdot": "..\\" + ESCAPE,
        "backslash_absolute": "\\" + ESCAPE,
        "drive": "C:/" + ESCAPE,
        "drive_relative": "C:" + ESCAPE,
        "unc": "//server/share/" + ESCAPE,
        "stream": "Updater.exe:hidden",
        "device_con": "CON",
        "device_nul_ext": "nul.txt",
        "device_com1": "pkg/COM1",
        "device_lpt1_ext": "LPT1.log",
        "device_aux_case": "Aux.tar.gz",
        "device_prn_blank": "prn .txt",
        "trailing_dot": "pkg../" + ESCAPE,
        "dotdot_blank": ".. /" + ESCAPE,
        "non_ascii": "Upd\u00e4ter.exe",
    }
    for label, name in names.items():
        crafted(os.path.join(bad, label + ".zip"), [("Updater.exe", b"MZ decoy"), (name, payload)])

    crafted(os.path.join(bad, "duplicate_case.zip"), [("Updater.exe", b"MZ first"), ("UPDATER.EXE", b"MZ second")])
    crafted(os.path.join(bad, "file_then_folder.zip"), [("pkg", b"a file"), ("pkg/Updater.exe", b"MZ")])

    # Sizes: one entry declaring 4 GiB - 2, and three that only together exceed 1 GiB.
    path = os.path.join(bad, "declared_huge.zip")
    crafted(path, [("Updater.exe", b"MZ" * 100)])
    patch_sizes(path, "Updater.exe", 0xFFFFFFFE)
    path = os.path.join(bad, "declared_sum.zip")
    crafted(path, [("a.bin", b"a"), ("b.bin", b"b"), ("c.bin", b"c")])
    for name in ("a.bin", "b.bin", "c.bin"):
        patch_sizes(path, name, 400 * 1024 * 1024)
    # A small archive honestly declaring a file far larger than the one it should hold: 1 MiB of zeros.
    crafted(os.path.join(bad, "zeros_bomb.zip"), [("Updater.exe", b"\0" * (1 << 20))])
    # Deflate data that unpacks to far more than the declared 100 bytes.
    path = os.path.join(bad, "longer_than_declared.zip")
    crafted(path, [("Updater.exe", b"\0" * 5_000_000)])
    patch_sizes(path, "Updater.exe", 100)

    # More entries than any update needs.
    with zipfile.ZipFile(os.path.join(bad, "too_many_entries.zip"), "w", zipfile.ZIP_STORED) as archive:
        for i in range(10001):
            archive.writestr("f%05d" % i, b"")

    # Central directory and local header disagree about the name.
    path = os.path.join(bad, "name_mismatch.zip")
    crafted(path, [("Updater.exe", b"MZ"), ("aa/" + ESCAPE, payload)])
    rename_local(path, "aa/" + ESCAPE, "../" + ESCAPE)

    # One changed byte in the stored data: the CRC-32 no longer matches.
    path = os.path.join(bad, "bad_crc.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("Updater.exe", b"MZ" + b"x" * 200)
    data = bytearray(open(path, "rb").read())
    data[data.find(b"xxxx")] ^= 0x20
    open(path, "wb").write(bytes(data))

    # Unknown compression method (bzip2).
    with zipfile.ZipFile(os.path.join(bad, "bzip2.zip"), "w", zipfile.ZIP_BZIP2) as archive:
        archive.writestr("Updater.exe", b"MZ" * 100)

    # What a server sends for a missing archive.
    write(os.path.join(bad, "html_page.zip"),
          b"<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>\n")


def main():
    out = os.path.abspath(sys.argv[1])
    os.makedirs(out, exist_ok=True)
    src = os.path.join(out, "src")
    make_sources(src)
    make_standard(out, src)
    make_hostile(out)
    # Truncated copy of a good archive.
    data = open(os.path.join(out, "nested.zip"), "rb").read()
    write(os.path.join(out, "hostile", "truncated.zip"), data[: len(data) // 2])
    with open(os.path.join(out, "stamp"), "w") as f:
        f.write("ok\n")


if __name__ == "__main__":
    main()
