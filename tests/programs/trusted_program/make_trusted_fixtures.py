#!/usr/bin/env python3
"""Writes the served files of the trusted-release program tests into --out: a released program (the
trusted test build with bytes appended), a new libcurl.dll, and manifests of that release signed with the
test release key, signed with another key, unsigned, with a placeholder, altered after signing, and
signed without digests; and manifests without files that hold one trust decision each (ordering, channel,
expiry, key succession from the test key to a second key made here, a signer that holds a line break),
with the public key texts of the keys made here.

    make_trusted_fixtures.py --program VESK_Updater.exe --key test_release_key.pem --out <folder>

Runs at build time (needs openssl): the manifests name the digest of the program just built.
"""
import argparse
import base64
import hashlib
import json
import os
import subprocess
import tempfile

RELEASE_MARKER = b"\0trusted release 3.0.5 marker\0"
NEW_CURL = b"libcurl of release 3.0.5\n" + b"c" * 3000
FORGED_CURL = b"libcurl a mirror slipped in\n" + b"f" * 2000
TIMESTAMP = "2026-03-01T10:00:00Z"


def entry(name, data):
    return {"name": name, "size": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def key_text(pem_path):
    out = subprocess.run(["openssl", "rsa", "-in", pem_path, "-noout", "-modulus"], check=True,
                         capture_output=True).stdout.decode().strip()
    modulus = bytes.fromhex(out.split("=", 1)[1]).lstrip(b"\0")
    xml = "<RSAKeyValue><Modulus>%s</Modulus><Exponent>AQAB</Exponent></RSAKeyValue>" % (
        base64.b64encode(modulus).decode())
    return base64.b64encode(xml.encode()).decode()


def sign(pem_path, data):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(data)
    try:
        signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", pem_path, f.name], check=True,
                                   capture_output=True).stdout
    finally:
        os.unlink(f.name)
    return base64.b64encode(signature).decode()


def write_manifest(path, obj, block, chain=None):
    root = {"manifest": obj}
    if block is not None:
        root["signature"] = block
    if chain is not None:
        root["key_succession"] = chain
    with open(path, "w", encoding="utf-8") as f:
        json.dump(root, f, indent=2, ensure_ascii=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    with open(args.program, "rb") as f:
        released = f.read() + RELEASE_MARKER
    files = {"VESK_Updater.exe": released, "libcurl.dll": NEW_CURL, "forged_libcurl.dll": FORGED_CURL}
    for name, data in files.items():
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)

    release = {"version": "3.0", "build_number": 5, "channel": "stable",
               "files": [entry("VESK_Updater.exe", released), entry("libcurl.dll", NEW_CURL)]}
    forged = json.loads(json.dumps(release))
    forged["files"][1] = entry("libcurl.dll", FORGED_CURL)

    def block(pem, signed_object, algorithm="RSA-SHA256"):
        return {"algorithm": algorithm, "signature": sign(pem, compact(signed_object)),
                "public_key": key_text(pem), "timestamp": TIMESTAMP, "signer": "trusted program tests"}

    with tempfile.TemporaryDirectory() as scratch:
        other = os.path.join(scratch, "other.pem")
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                        "-out", other], check=True, capture_output=True)
        good = block(args.key, release)
        write_manifest(os.path.join(args.out, "manifest_trusted.json"), release, good)
        write_manifest(os.path.join(args.out, "manifest_other_key.json"), release, block(other, release))
        # Signed for the release, then a file entry swapped for one a mirror wants installed.
        write_manifest(os.path.join(args.out, "manifest_tampered.json"), forged, good)
        write_manifest(os.path.join(args.out, "manifest_unsigned.json"), release, None)
        write_manifest(os.path.join(args.out, "manifest_placeholder.json"), release,
                       dict(good, signature="placeholder", public_key="placeholder"))
        # Properly signed, but no digests: nothing ties the downloaded bytes to the signature.
        undigested = json.loads(json.dumps(release))
        for item in undigested["files"]:
            del item["sha256"]
        write_manifest(os.path.join(args.out, "manifest_no_digest.json"), undigested,
                       block(args.key, undigested))
        write_decisions(args.key, other, block, args.out, scratch)


def key_id(text):
    return hashlib.sha256("".join(text.split()).encode()).hexdigest()[:16]


def statement(sequence, signer_pem, keys, retire):
    body = {"sequence": sequence, "keys": keys, "retire": retire}
    return {"statement": body, "signed_by": key_id(key_text(signer_pem)), "signature": sign(signer_pem, compact(body))}


def write_decisions(key, stranger, block, out, scratch):
    """One manifest per trust decision the program is run against; no files, so only the verdict acts."""
    second = os.path.join(scratch, "second.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", second], check=True, capture_output=True)
    for name, pem in (("test_key", key), ("second_key", second), ("stranger_key", stranger)):
        with open(os.path.join(out, name + ".pub.txt"), "w") as f:
            f.write(key_text(pem))

    def release(version, build, channel="stable", expires=None):
        obj = {"version": version, "build_number": build, "channel": channel,
               "published": "2026-03-01T10:00:00Z"}
        if expires:
            obj["expires"] = expires
        obj["files"] = []
        return obj

    def write(name, obj, pem, chain=None, **changes):
        write_manifest(os.path.join(out, name), obj, dict(block(pem, obj), **changes), chain)

    write("decide_2.1_long_timestamp.json", release("2.1", 345), key, timestamp="9" * 2000)
    write("decide_2.0.json", release("2.0", 100), key, timestamp="9999-12-31T23:59:59Z")
    write("decide_beta.json", release("3.1", 7, channel="beta"), key)
    write("decide_expired.json", release("3.0", 5, expires="2020-01-01T00:00:00Z"), key)
    write("decide_unexpired.json", release("3.0", 5, expires="2099-01-01T00:00:00Z"), key)
    write("decide_untrusted_statement.json", release("3.0", 5), stranger,
          [statement(1, stranger, [key_text(stranger)], [])])
    write("decide_rotation.json", release("3.0", 5), second,
          [statement(1, key, [key_text(second)], [key_text(key)])])
    write("decide_retired_key.json", release("3.0", 6), key)
    write("decide_newline_signer.json", release("3.0", 5), key,
          signer="release team\n[2026-03-01 10:00:00] [ERROR] [] forged line")


if __name__ == "__main__":
    main()
