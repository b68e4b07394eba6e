#!/usr/bin/env python3
"""Report of the main job's end-to-end update, derived from the program's logs and the files on disk.

Every statement printed is checked against the logs, the published manifest, the TLS server's log and the
installed files. The exit code is 0 only when the run did everything the report has to claim: the program
ran in trusted-release mode, fetched everything over TLS, trusted the manifest signed with its built-in key,
replaced itself with the published bytes, repaired the damaged and the missing core file, the signature
check PASSED, the console updater succeeded and the program ended with exit code 0; and against the tampered
release it refused the manifest and changed nothing in the install folder.
"""

import argparse
import hashlib
import json
import os
import re
import sys

CORE_FILES = ["Updater.exe", "libcurl.dll", "libsodium.dll", "zlib1.dll"]
# The install folder is prepared with these two damaged; the run has to repair exactly them.
EXPECTED_REPAIRS = {"libcurl.dll", "libsodium.dll"}
LINE_START = re.compile(r"^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(DEBUG|INFO|WARNING|ERROR)\] \[\] ")
TRUSTED_MODE = "Trusted-release mode: only manifests signed with the built-in release key are trusted"
TRUSTED_MANIFEST = "Manifest trusted: signed with release key {} of the key succession (version {} build {})"
NOT_TRUSTED = re.compile(r"Manifest not trusted: (.+); nothing will be installed from it$")


def read_log(path, start=0, end=None, levels=False):
    """The messages of raw lines [start, end) of a log file, one per logged line (continuation lines joined to
    their message); with levels, each as "LEVEL message"."""
    if not os.path.exists(path):
        return []
    messages = []
    with open(path, "r", encoding="utf-8", errors="replace") as f:
        for raw in f.read().splitlines()[start:end]:
            match = LINE_START.match(raw)
            if match:
                messages.append((match.group(1) + " " if levels else "") + raw[match.end():])
            elif messages:
                messages[-1] += "\n" + raw
    return messages


def read_requests(path, skip):
    """The requests in a TLS server log after its first skip lines: (path, status, TLS) each."""
    requests = []
    if os.path.exists(path):
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines()[skip:]:
                fields = line.split("\t")
                if fields[0] == "request" and len(fields) >= 6:
                    requests.append((fields[2], fields[3], fields[4]))
    return requests


def read_record(path):
    """The LastTrustedRelease value from reg query output, or None."""
    if os.path.exists(path):
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            match = re.search(r"LastTrustedRelease(?:\.\S+)?\s+REG_SZ\s+(\S+)", f.read())
            if match:
                return match.group(1)
    return None


def read_text(path):
    with open(path, "r", encoding="utf-8") as f:
        return f.read()


def normalized(key_text):
    return "".join(key_text.split())


def key_id(path):
    """The name the program gives a key: 16 hex digits of SHA-256 over its text without white space."""
    return hashlib.sha256(normalized(read_text(path)).encode()).hexdigest()[:16]


def read_key_chain(path):
    """The TrustedKeyChain value from reg query output, parsed, or None."""
    if os.path.exists(path):
        with open(path, "r", encoding="utf-8", errors="replace") as f:
            match = re.search(r"TrustedKeyChain\s+REG_SZ\s+(\S+)", f.read())
        if match:
            try:
                return json.loads(match.group(1))
            except ValueError:
                return None
    return None


def read_digests(path):
    """A sha256sum listing as {file: digest}."""
    digests = {}
    with open(path, "r", encoding="utf-8", errors="replace") as f:
        for line in f:
            digest, _, name = line.rstrip("\n").partition("  ")
            digests[name] = digest
    return digests


def split_runs(messages):
    """The log of each process that wrote to the file, in order: each begins with the start banner."""
    runs = []
    for message in messages:
        if message == "=== VESK_Updater.exe Starting ===" or not runs:
            runs.append([])
        runs[-1].append(message)
    return runs


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def first_with(messages, prefix):
    return next((m for m in messages if m.startswith(prefix)), None)


class Report:
    def __init__(self):
        self.lines = []
        self.problems = []

    def say(self, text):
        self.lines.append(text)

    def require(self, condition, problem):
        if not condition:
            self.problems.append(problem)
        return condition


def report_tampered(args, report, log_path, copy_log_path):
    """The second run, against a release whose files were altered and whose manifest was re-hashed and signed
    with another key: the manifest has to be refused and nothing in the install folder may change."""
    with open(os.path.join(args.tampered_server, "manifest.json"), "r", encoding="utf-8") as f:
        tampered = json.load(f)["manifest"]
    messages = read_log(log_path, args.log_split, levels=True)
    copy_messages = read_log(copy_log_path, args.copy_log_split, levels=True)
    refusals = [m for m in messages + copy_messages if m.startswith("ERROR ") and NOT_TRUSTED.search(m)]
    trusted = [m for m in messages + copy_messages if "Manifest trusted: " in m]
    updated = [m for m in messages + copy_messages if "Successfully updated: " in m]
    before = read_digests(args.install_before)
    after = read_digests(args.install_after)
    changed = sorted(name for name in set(before) | set(after) if before.get(name) != after.get(name))
    requests = read_requests(args.tampered_https_log, args.tampered_https_log_skip)

    report.require(not args.tampered_timed_out, "the run against the tampered release did not end within three minutes")
    report.require(bool(refusals), "the tampered manifest was not refused in the log")
    report.require(not trusted, "the tampered manifest was logged as trusted")
    report.require(not changed and bool(before), "files in the install folder changed after the tampered release: " +
                   ", ".join(changed))
    report.require(bool(requests) and all(tls.startswith("TLSv1.") for _, _, tls in requests),
                   "the tampered release was not fetched over TLS")
    report.say(f"Tampered release {tampered.get('version')}.{tampered.get('build_number')} (libcurl.dll and VESK_Updater.exe "
               f"altered, manifest re-hashed and signed with another key): "
               f"{'REFUSED' if refusals and not trusted else 'NOT REFUSED'}")
    for line in refusals[:2]:
        report.say("  log: " + line.splitlines()[0])
    report.say(f"  Nothing installed: {'yes' if not changed and before else 'NO'} - {len(before)} files of the "
               f"install folder compared by SHA-256 before and after, {len(changed)} changed"
               + (f" ({', '.join(changed)})" if changed else "") + f"; {len(updated)} \"Successfully updated\" lines")
    final_exit = next((m.split(" ", 1)[1] for m in reversed(messages)
                       if "VESK_Updater.exe exiting with code: " in m), None)
    report.say(f"  Program exit code {args.tampered_exit}; " +
               (f"\"{final_exit}\"" if final_exit else "no exit line logged"))
    with open(args.tampered_check_log, "r", encoding="utf-8", errors="replace") as f:
        tool_lines = [line.strip() for line in f if line.strip()]
    tool_verdict = next((line for line in tool_lines if line.startswith("Manifest not trusted: ")), "(no verdict)")
    report.say(f"  vesk-release check --trusted-key of the tampered manifest: \"{tool_verdict}\"; "
               f"{(tool_lines or ['(no output)'])[-1]}")
    record_before = read_record(args.record_after_update)
    record_after = read_record(args.record_after_tampered)
    report.require(record_after == record_before, f"the tampered release changed the trusted-release record "
                                                  f"from {record_before} to {record_after}")
    report.say(f"  Last trusted release recorded: {record_after or '(none)'} "
               f"({'unchanged' if record_after == record_before else 'CHANGED'})")
    report.say(f"  Requests to the HTTPS server: {len(requests)}: " +
               ", ".join(f"{path} {status}" for path, status, _ in requests))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--install", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--https-log", required=True)
    parser.add_argument("--https-log-skip", type=int, default=0,
                        help="lines of the server log written before the program started")
    parser.add_argument("--check-log", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--first-exit", type=int, required=True)
    parser.add_argument("--timed-out", type=int, default=0)
    parser.add_argument("--release-key", required=True, help="the updater key text the program was built with")
    parser.add_argument("--second-key", required=True,
                        help="the key text the release is signed with, vouched for by a key succession")
    parser.add_argument("--ca-log", required=True, help="what the CA installer printed")
    parser.add_argument("--log-split", type=int, required=True,
                        help="lines of the program's log written before the tampered release was served")
    parser.add_argument("--copy-log-split", type=int, required=True)
    parser.add_argument("--tampered-server", required=True)
    parser.add_argument("--tampered-https-log", required=True)
    parser.add_argument("--tampered-https-log-skip", type=int, default=0)
    parser.add_argument("--tampered-exit", type=int, required=True)
    parser.add_argument("--tampered-timed-out", type=int, default=0)
    parser.add_argument("--tampered-check-log", required=True, help="vesk-release check of the tampered manifest")
    parser.add_argument("--install-before", required=True)
    parser.add_argument("--install-after", required=True)
    parser.add_argument("--record-after-update", required=True, help="reg query output of the trusted-release record")
    parser.add_argument("--record-after-tampered", required=True)
    args = parser.parse_args()

    report = Report()
    log_path = os.path.join(args.install, "logs", "ui_logs.log")
    copy_log_path = os.path.join(args.install, "update", "logs", "ui_logs.log")
    runs = split_runs(read_log(log_path, 0, args.log_split))
    copy_log = read_log(copy_log_path, 0, args.copy_log_split)
    first = runs[0] if runs else []
    last = runs[-1] if len(runs) > 1 else []

    with open(os.path.join(args.server, "manifest.json"), "r", encoding="utf-8") as f:
        manifest = json.load(f)["manifest"]
    entries = {entry["name"]: entry for entry in manifest["files"]}

    report.require(not args.timed_out, "the update chain did not end within three minutes")
    report.say(f"Release {args.version} served from {args.base_url}/manifest.json "
               f"({len(entries)} files, signed with vesk-release)")

    # The mode the program was built in, seen in the log of every process of the chain.
    with open(args.release_key, "r", encoding="utf-8") as f:
        key_digest = hashlib.sha256(f.read().strip().encode()).hexdigest()
    processes = runs + ([copy_log] if copy_log else [])
    in_mode = [TRUSTED_MODE in process for process in processes]
    report.require(bool(processes) and all(in_mode),
                   f"{in_mode.count(False)} of {len(processes)} processes did not log trusted-release mode")
    report.say(f"Mode: {'trusted-release' if processes and all(in_mode) else 'NOT trusted-release'} - built with "
               f"the updater key that vesk-release keygen wrote ({os.path.basename(args.release_key)}, "
               f"sha256 of its text {key_digest[:16]}...); {in_mode.count(True)} of {len(processes)} processes "
               f"logged \"{TRUSTED_MODE}\"")

    # Self-replacement: the outdated program hands over to its copy in update\, which installs the published
    # executable and starts it with --restart-done.
    published_exe = os.path.join(args.server, "updates", args.version, "VESK_Updater.exe")
    # The install folder as the update left it, before the tampered release was served.
    updated_digests = read_digests(args.install_before)
    installed_digest = updated_digests.get("./VESK_Updater.exe", "")
    expected_exe = entries.get("VESK_Updater.exe", {}).get("sha256", "")
    steps = [
        ("first process handed over", "VESK_Updater.exe hash mismatch - initiating self-update process" in first
         and "New process spawned successfully - exiting current process" in first and args.first_exit == 0),
        ("copy verified and installed it", "Verification passed - replacing VESK_Updater.exe" in copy_log
         and "New VESK_Updater.exe launched successfully - exiting" in copy_log),
        ("new one ran --restart-done", bool(last) and "=== Self-Update Flow: restart-done mode ===" in last
         and "--restart-done" in (first_with(last, "Command line: ") or "")),
    ]
    same_bytes = (installed_digest != "" and installed_digest == expected_exe.lower()
                  and os.path.exists(published_exe) and sha256_of(published_exe) == installed_digest)
    chain_ok = all(ok for _, ok in steps)
    report.require(same_bytes, "the installed VESK_Updater.exe differs from the published one")
    report.require(chain_ok, "the self-replacement chain is incomplete: " +
                   ", ".join(name for name, ok in steps if not ok))
    if same_bytes and chain_ok:
        report.say(f"Self-replacement: DONE - installed VESK_Updater.exe now equals the published bytes "
                   f"(sha256 {installed_digest[:16]}..., {os.path.getsize(published_exe)} bytes); "
                   f"first process exited {args.first_exit}, copy in update\\ installed it, "
                   f"new one started with --restart-done")
    else:
        report.say("Self-replacement: NOT DONE - " + "; ".join(
            [name + (" yes" if ok else " NO") for name, ok in steps] +
            [f"installed sha256 {installed_digest[:16] or '(none)'}..., manifest {expected_exe[:16]}..."]))

    # Signature: the detailed check of the final preflight and the brief one of the copy.
    passed = "[OK] RSA Signature Verification: PASSED"
    final_result = next((m for m in last if "RSA Signature Verification:" in m or
                         m.startswith("Verification result:")), "(no signature result logged)")
    copy_result = next((m for m in copy_log if "RSA Signature Verification:" in m or
                        m.startswith("Verification result:")), "(no signature result logged)")
    version, _, build = args.version.rpartition(".")
    second_key = key_id(args.second_key)
    accepted = TRUSTED_MANIFEST.format(second_key, version, build)
    enforced = accepted in last and accepted in copy_log
    report.require(enforced, f"the manifest was not logged as trusted by both the copy and the final process "
                             f"(\"{accepted}\")")
    report.require(passed in last, "the signature check did not pass: " + final_result)
    report.say(f"Signature: {'ENFORCED and PASSED' if enforced and passed in last else 'NOT PASSED'} - "
               f"\"{accepted}\" logged by the copy in update\\ and by the final process; "
               f"preflight: \"{final_result}\"; self-replacement copy: \"{copy_result}\"")
    record = read_record(args.record_after_update)
    report.require(record == f"{version}|{build}",
                   f"the accepted release was not recorded as the last trusted one (record: {record})")
    report.say(f"Last trusted release recorded: {record or '(none)'}")

    # Key: the release is signed with a second key that the built-in one vouched for in a key succession.
    detail = first_with(last, "Manifest signing key: ") or "(no signing key logged)"
    # The first process to trust the release follows the statement; the later ones find its key stored.
    walked = any("key succession: followed 1 statement" in m for m in first + copy_log + last)
    followed = walked and detail.startswith(f"Manifest signing key: {second_key} (from the key succession)")
    chain = read_key_chain(args.record_after_update)
    learnt = chain is not None and normalized(read_text(args.second_key)) in chain.get("keys", [])
    report.require(followed, f"the release was not trusted through the key succession ({detail})")
    report.require(learnt, f"the program did not store the key it learnt from the succession (chain: {chain})")
    report.say(f"Signing key: {second_key} - {'FOLLOWED' if followed else 'NOT FOLLOWED'} a key succession from "
               f"the built-in key {key_id(args.release_key)}; the final process logged \"{detail}\"; "
               f"key chain stored: {'yes, sequence ' + str(chain.get('sequence')) if learnt else 'NO'}")

    # Core files: what the final preflight found and did, and whether the files on disk now match the manifest.
    needs = {}
    for message in last:
        match = re.match(r"File needs update: (\S+) \((.*)\)$", message)
        if match:
            needs[match.group(1)] = match.group(2)
    updated = [m[len("Successfully updated: "):] for m in last if m.startswith("Successfully updated: ")]
    repaired = [f"{name} ({needs.get(name, 'reason not logged')})" for name in updated]
    report.require(set(updated) == EXPECTED_REPAIRS,
                   "core files repaired: " + (", ".join(sorted(updated)) or "none") +
                   "; expected " + ", ".join(sorted(EXPECTED_REPAIRS)))
    matches = []
    for name in CORE_FILES:
        expected = entries.get(name, {}).get("sha256", "").lower()
        actual = updated_digests.get("./" + name, "")
        ok = actual != "" and actual == expected
        report.require(ok, f"{name} does not match the manifest (sha256 {actual[:16] or 'missing'}..., "
                           f"manifest {expected[:16]}...)")
        matches.append(f"{name} {'ok' if ok else 'MISMATCH'}")
    report.say("Files repaired: " + (", ".join(repaired) or "none"))
    report.say("SHA-256 against the manifest: " + ", ".join(matches))
    summary = [m for m in last if m.startswith(("Files checked: ", "Files needing update: ",
                                                "Files successfully updated: "))]
    if summary:
        report.say("Preflight summary: " + "; ".join(summary))

    # The console updater (the simulator standing in for Updater.exe).
    exit_line = first_with(last, "Console updater process completed with exit code: ")
    result_line = first_with(last, "Update process completed with result: ")
    launched = first_with(last, "Launching console updater with command: ")
    report.require(result_line == "Update process completed with result: SUCCESS",
                   "the console updater run did not succeed: " + (result_line or "no result logged"))
    report.say("Console updater: " + (result_line or "no result logged") + " (" +
               (exit_line or "no exit code logged") + ")")
    if launched:
        report.say("  " + launched)
    # The simulator standing in for Updater.exe writes how it was started and whether it played its script
    # to the end into Updater.exe.record.
    record_path = os.path.join(args.install, "Updater.exe.record")
    record = {}
    if os.path.exists(record_path):
        with open(record_path, "r", encoding="utf-8", errors="replace") as f:
            record = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    report.require(record.get("finished") == "1", "the console updater simulator did not finish its script")
    report.say(f"  Simulator record: started as {record.get('command_line', '(not started)')}, "
               f"finished={record.get('finished', '0')}, ran {record.get('run_ms', '?')} ms")

    # Exit code of the final process.
    final_exit = first_with(last, "VESK_Updater.exe exiting with code: ")
    report.require(final_exit == "VESK_Updater.exe exiting with code: 0",
                   "the final process did not log exit code 0: " + (final_exit or "no exit line"))
    report.say("Exit: \"" + (final_exit or "no exit line logged") + "\"")

    # What the server was asked for, and how: every request of the program has to have come over TLS.
    requests = read_requests(args.https_log, args.https_log_skip)
    protocols = sorted({tls for _, _, tls in requests})
    over_tls = bool(requests) and args.base_url.startswith("https://") and all(
        tls.startswith("TLSv1.") for _, _, tls in requests)
    report.require(over_tls, "not every request of the program came over TLS")
    with open(args.ca_log, "r", encoding="utf-8", errors="replace") as f:
        trusted_ca = ([line.strip() for line in f if line.strip()] or ["(no output)"])[-1]
    report.say(f"TLS: {'USED' if over_tls else 'NOT USED'} for all {len(requests)} requests of the program "
               f"({', '.join(protocols) or 'none'}); server certificate for localhost issued by the job's test CA; "
               f"vesk_test_ca_installer: \"{trusted_ca}\"")
    report.say(f"Requests of the program to the HTTPS server: {len(requests)}: " +
               ", ".join(f"{path} {status}" for path, status, _ in requests))

    if os.path.exists(args.check_log):
        with open(args.check_log, "r", encoding="utf-8", errors="replace") as f:
            last_line = ([line.strip() for line in f if line.strip()] or ["(no output)"])[-1]
        report.say("vesk-release check of the published manifest (served byte for byte over TLS): " + last_line)

    shots = sorted(os.listdir(args.screenshots)) if os.path.isdir(args.screenshots) else []
    report.require(len(shots) >= 2, f"only {len(shots)} screenshots of the window were taken")
    moments = [shots[0], shots[len(shots) // 2], shots[-1]] if len(shots) >= 3 else shots
    report.say(f"Screenshots ({len(shots)} in {args.screenshots}), for example: " +
               (", ".join(os.path.join(args.screenshots, name) for name in moments) or "none"))
    report_tampered(args, report, log_path, copy_log_path)

    report.say("Full log: " + log_path)
    report.say("Self-replacement copy's log: " + copy_log_path)

    print("===== Main job report =====")
    for line in report.lines:
        print(line)
    if report.problems:
        print("RESULT: FAILED")
        for problem in report.problems:
            print("  - " + problem)
        return 1
    print("RESULT: the end-to-end update did everything above")
    return 0


if __name__ == "__main__":
    sys.exit(main())
