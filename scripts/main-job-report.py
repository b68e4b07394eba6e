#!/usr/bin/env python3
"""Report of the main job's end-to-end update, derived from the program's logs and the files on disk.

Every statement printed is checked against the logs, the published manifest and the installed files. The
exit code is 0 only when the run did everything the report has to claim: the program replaced itself with
the published bytes, repaired the damaged and the missing core file, the signature check PASSED, the console
updater succeeded and the program ended with exit code 0.
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


def read_log(path):
    """The messages of a log file, one per logged line (continuation lines joined to their message)."""
    if not os.path.exists(path):
        return []
    messages = []
    with open(path, "r", encoding="utf-8", errors="replace") as f:
        for raw in f.read().splitlines():
            match = LINE_START.match(raw)
            if match:
                messages.append(raw[match.end():])
            elif messages:
                messages[-1] += "\n" + raw
    return messages


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--install", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--http-log", required=True)
    parser.add_argument("--http-log-skip", type=int, default=0,
                        help="lines of the server log written before the program started")
    parser.add_argument("--check-log", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--first-exit", type=int, required=True)
    parser.add_argument("--timed-out", type=int, default=0)
    args = parser.parse_args()

    report = Report()
    log_path = os.path.join(args.install, "logs", "ui_logs.log")
    copy_log_path = os.path.join(args.install, "update", "logs", "ui_logs.log")
    runs = split_runs(read_log(log_path))
    copy_log = read_log(copy_log_path)
    first = runs[0] if runs else []
    last = runs[-1] if len(runs) > 1 else []

    with open(os.path.join(args.server, "manifest.json"), "r", encoding="utf-8") as f:
        manifest = json.load(f)["manifest"]
    entries = {entry["name"]: entry for entry in manifest["files"]}

    report.require(not args.timed_out, "the update chain did not end within three minutes")
    report.say(f"Release {args.version} served from {args.base_url}/manifest.json "
               f"({len(entries)} files, signed with vesk-release)")

    # Self-replacement: the outdated program hands over to its copy in update\, which installs the published
    # executable and starts it with --restart-done.
    installed_exe = os.path.join(args.install, "VESK_Updater.exe")
    published_exe = os.path.join(args.server, "updates", args.version, "VESK_Updater.exe")
    installed_digest = sha256_of(installed_exe) if os.path.exists(installed_exe) else ""
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
                   f"(sha256 {installed_digest[:16]}..., {os.path.getsize(installed_exe)} bytes); "
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
    report.require(passed in last, "the signature check did not pass: " + final_result)
    report.say(f"Signature: {'PASSED' if passed in last else 'NOT PASSED'} - preflight: \"{final_result}\"; "
               f"self-replacement copy: \"{copy_result}\"")

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
        path = os.path.join(args.install, name)
        expected = entries.get(name, {}).get("sha256", "").lower()
        actual = sha256_of(path) if os.path.exists(path) else ""
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

    # What the server was asked for.
    requests = []
    if os.path.exists(args.http_log):
        with open(args.http_log, "r", encoding="utf-8", errors="replace") as f:
            for line in f.readlines()[args.http_log_skip:]:
                match = re.search(r'"GET (\S+) HTTP/[\d.]+" (\d{3})', line)
                if match:
                    requests.append(f"{match.group(1)} {match.group(2)}")
    report.say(f"Requests of the program to the HTTP server (python3 http.server): {len(requests)}: " +
               ", ".join(requests))

    if os.path.exists(args.check_log):
        with open(args.check_log, "r", encoding="utf-8", errors="replace") as f:
            last_line = ([line.strip() for line in f if line.strip()] or ["(no output)"])[-1]
        report.say("vesk-release check of the served manifest: " + last_line)

    shots = sorted(os.listdir(args.screenshots)) if os.path.isdir(args.screenshots) else []
    report.require(len(shots) >= 2, f"only {len(shots)} screenshots of the window were taken")
    moments = [shots[0], shots[len(shots) // 2], shots[-1]] if len(shots) >= 3 else shots
    report.say(f"Screenshots ({len(shots)} in {args.screenshots}), for example: " +
               (", ".join(os.path.join(args.screenshots, name) for name in moments) or "none"))
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
