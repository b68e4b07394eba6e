#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs: `make_seeds.py small DIR` the small ones kept in fuzz/corpus,
`make_seeds.py big DIR` the large ones (above 64 KiB, up to about 1 MB) that are made afresh for each run."""
import io
import json
import os
import random
import sys
import zipfile

SHA = "0123456789abcdef" * 4


def entry(name, url=None, size=1024, target="."):
    return {"name": name, "url": url or f"updates/2.1.345/{name}", "size": size, "sha256": SHA,
            "target_path": target}


def manifest(files, signature=None):
    root = {"manifest": {"version": "2.1", "build_number": "345", "files": files}}
    if signature is not None:
        root["signature"] = signature
    return root


def zip_bytes(members, method=zipfile.ZIP_DEFLATED):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", method) as archive:
        for name, data in members:
            archive.writestr(name, data)
    return out.getvalue()


def small():
    core = [entry("Updater.exe"), entry("VESK_Updater.exe"), entry("zlib1.dll"), entry("libcurl.dll")]
    pretty = json.dumps(manifest(core), indent=2).encode()
    compact = json.dumps(manifest(core), separators=(",", ":")).encode()
    signed = json.dumps(manifest(core, {"algorithm": "RSA-SHA256", "signature": "AAEC", "public_key": "PFJTQT4=",
                                        "timestamp": "2026-01-01T00:00:00Z", "signer": "release"})).encode()
    flat = json.dumps({"version": "1.9", "build": "7", "files": core[:2]}).encode()
    nested = json.dumps({"manifest": {"files": [{"name": "x", "files": [entry("Updater.exe")]}] + core}}).encode()
    escaped = b'{"files":[{"name": "Updater.exe", "url": "a\\"b\\\\c\\/d\\n\\u0041", "size": -1.5e3}]}'
    pending = json.dumps({"install_directory": "C:\\Program Files\\VESK", "files": [
        {"source_path": "C:\\Program Files\\VESK\\update\\VESK_Updater.exe", "target_name": "VESK_Updater.exe",
         "target_path": "C:\\Program Files\\VESK\\VESK_Updater.exe", "expected_sha256": SHA,
         "expected_size": "004096"},
        {"source_path": "a", "target_name": "", "target_path": "b", "expected_size": "99999999999"}]},
        indent=2).encode()
    key = (b"<RSAKeyValue><Modulus>" + b"\x00\xc3" + bytes(range(1, 255)) + b"</Modulus>"
           b"<Exponent>AQAB</Exponent></RSAKeyValue>")
    return {
        "manifest_text": {"pretty.json": pretty, "compact.json": compact, "nested.json": nested,
                          "escaped.json": escaped, "unclosed.json": pretty[: len(pretty) // 2]},
        "release_manifest": {"signed.json": signed, "flat.json": flat, "pretty.json": pretty,
                             "deep.json": b'{"signature":{"algorithm":"RSA"},"manifest":' + b"[" * 600 + b"]" * 600
                             + b"}"},
        "pending_manifest": {"pending.json": pending, "no_files.json": b'{"install_directory": "C:\\\\x"}',
                             "open_brace.json": b'{"install_directory":"d","files":[{"source_path":"s"'},
        "zip_reader": {"deflated.zip": zip_bytes([("bin/", b""), ("bin/Updater.exe", b"MZ" * 300)]),
                       "stored.zip": zip_bytes([("a.txt", b"hello"), ("b.dll", b"x" * 100)], zipfile.ZIP_STORED),
                       "empty.zip": zip_bytes([]),
                       "unsafe.zip": zip_bytes([("../evil.txt", b"x"), ("con.txt", b"y")], zipfile.ZIP_STORED),
                       "duplicate.zip": zip_bytes([("A.txt", b"1"), ("a.TXT", b"2")], zipfile.ZIP_STORED)},
        "console_output": {"run.txt": b"VESK Update Client starting\r\nChecking for updates from http://x\r\n"
                           b"Downloaded manifest\nVerifying\r\n\x00Starting update process\nStopping service\n"
                           b"[12:00:01] Updated: C:\\VESK\\bin\\libcurl.dll\nInstalling: a/b/c.dll\n"
                           b"ERROR: Failed to copy\nInstalling VESK services\nCleaning up backup\n"
                           b"Update completed successfully\r\r\nNo update required\rtail"},
        "rsa_public_key": {"key.xml": key, "reversed.xml": b"</Modulus><Modulus>AQ==<Exponent></Exponent>",
                           "big_exponent.xml": b"<Modulus>AQ==</Modulus><Exponent>\x00\x00\x01\x02\x03\x04\x05"
                           b"</Exponent>"},
        "command_line": {"restart.txt": b"--restart-start -pid 4242 -c beta --channel",
                         "self_update.txt": b"\t--process-self-update  -pid 99999999999 -pid 7x \"C:\\My Files\"\v-c -x",
                         "restart_done.txt": b"--restart-done --channel stable"},
        "base_urls": {"two.txt": b"https://a.example;;http://b.example/;\nbeta\n2.1\n345\nUpdater.exe",
                      "empty.txt": b"\nstable\n\n1\nx"},
        "url_candidates": {"relative.txt": b"https://a.example;https://b.example/\nupdates/2.1.345/zlib1.dll\n\nz",
                           "absolute.txt": b"https://a.example/\nhttp://evil.example\n\n",
                           "override.txt": b"https://a.example\n//dir//file.dll//\nUpdater.exe\n"},
    }


def big():
    real = json.dumps([entry("Updater.exe"), entry("zlib1.dll")]).encode()
    # Fifty thousand "files" keys before the real array: every one of them leads a naive search to the
    # same distant "[", which costs time proportional to their number times the distance.
    decoys = b",".join(b'"files": %d' % i for i in range(50000))
    manifest_big = b'{"manifest": {"version": "2.1", "build_number": "345", "decoys": {' + decoys + \
        b'}, "filler": "' + b"x" * (1_000_000 - len(decoys)) + b'", "files": ' + real + b"}}"
    # Decoys before a real array that never closes, the rest of the text inside it: a naive search
    # counts brackets to the end of the text once per key.
    unclosed = b'{"manifest": {"decoys": {' + decoys + b'}, "files": [{"name": "Updater.exe", "url": "' + \
        b"y" * (1_000_000 - len(decoys))
    decoy_arrays = b'{"manifest": {"files": [' + b'{"files": [], "name": "y"},' * 30000 + real[1:] + b"}}"
    pending_big = b'{"install_directory": "C:\\\\V", "files": [' + \
        b'{"source_path": "s", "target_name": "t", "target_path": "p", "expected_size": "1"},' * 12000 + b"]}"
    lines = b"".join(b"Installing: file%d.dll\r\n" % i for i in range(38000))
    many = [(f"dir{i % 50}/file{i}.dat", bytes([i % 256]) * (i % 97)) for i in range(3000)]
    key = b"<Modulus>" + b"\xff" * 900_000 + b"</Modulus><Exponent>AQAB</Exponent>"
    words = b" ".join(b"-pid %d -c" % i for i in range(70000)) + b" --restart-start"
    return {
        "manifest_text": {"decoy_keys.json": manifest_big, "decoy_keys_unclosed.json": unclosed, "decoy_arrays.json": decoy_arrays},
        "release_manifest": {"decoy_keys.json": manifest_big, "decoy_keys_unclosed.json": unclosed},
        "pending_manifest": {"many_files.json": pending_big},
        "console_output": {"long_line.txt": b"Installing: " + b"a" * 1_000_000,
                           "many_lines.txt": lines, "carriage_returns.txt": b"\r" * 900_000 + b"\n"},
        "zip_reader": {"many_entries.zip": zip_bytes(many),
                       "large_stored.zip": zip_bytes([("big.bin", random.Random(1).randbytes(1_000_000))], zipfile.ZIP_STORED),
                       "bomb.zip": zip_bytes([("zeros.bin", bytes(60_000_000))])},
        "rsa_public_key": {"huge_modulus.xml": key},
        "command_line": {"many_words.txt": words},
        "base_urls": {"many_entries.txt": b";".join(b"https://s%d.example" % i for i in range(45000)) + b"\n\n1\n2\nf"},
        "url_candidates": {"long_location.txt": b"https://a.example;https://b.example\n" + b"d/" * 400_000 + b"f\n\n1"},
    }


def main():
    kind, folder = sys.argv[1], sys.argv[2]
    for target, files in (small() if kind == "small" else big()).items():
        os.makedirs(os.path.join(folder, target), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(folder, target, name), "wb") as out:
                out.write(data)


if __name__ == "__main__":
    main()
