#!/usr/bin/env python3
"""Checks that the guides in docs/ keep up with the code.

Read from the sources, so that a new name cannot be added without being documented:
  - every registry key and value name the program reads or writes      -> docs/operations.md
  - every command-line option it understands or passes to other copies -> docs/operations.md
  - every exit code it ends with                                       -> the "Exit codes" table there
  - every writing-rule section vesk-release check cites                -> a heading in docs/manifest.md
  - every option of vesk-release                                       -> docs/releasing.md
  - every line a refused download logs, every trust verdict's wording  -> docs/operations.md, trusted-releases.md
And every link between the guides (and from README.md) must reach an existing file and heading.

With --run-commands <vesk-release>, it also runs every command the guides show, guide by guide in the order
they stand, in a scratch folder with sample release folders (dist, dist-beta, releases/2.1.344): the
vesk-release, rsync, openssl, rm and mkdir lines, a "python3 -m http.server ... &" line as a background
server, and an nginx configuration block as a real nginx serving the uploaded tree (its headers and
refusals are checked too). /srv/vesk-updates and port 8080 are replaced by a scratch folder and a free port.
A command that ends in "# refused" must fail with exit code 1, every other one must succeed. Lines that
need Windows, a build or a remote host (cmake, reg, ssh, ...) are counted as not run.

Exits with 1 and names each thing that is missing; prints one line and exits with 0 otherwise.
"""

import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
OPERATIONS = ROOT / "docs" / "operations.md"
MANIFEST_GUIDE = ROOT / "docs" / "manifest.md"
RELEASE_TOOL = ROOT / "tools" / "vesk-release"
RELEASING = ROOT / "docs" / "releasing.md"

# Functions whose texts are log lines an operator reads in a failed run, and the guide that explains them.
LOG_TEXTS = (
    (SRC / "transfer" / "transfer_policy.cpp", ROOT / "docs" / "operations.md",
     ("sizeExceededMessage", "statusFailedMessage", "tooSlowMessage", "timedOutMessage", "interruptedMessage",
      "archiveSizeExceededMessage")),
    (SRC / "integrity" / "manifest_trust.cpp", ROOT / "docs" / "trusted-releases.md",
     ("notTrustedReason", "trustVerdictLine")),
)

# Folders whose texts hold the program's own command lines: the options it parses, the ones it gives the
# copies of itself it starts, and the ones it gives the console updater.
OPTION_FOLDERS = ("app", "selfupdate", "client")

REGISTRY_CALL = re.compile(r"\bReg(?:Open|Create|Query|Set|Delete|Get)\w*\s*\(")
STRING_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
VALUE_NAME = re.compile(r"^[A-Z][a-z0-9]+(?:[A-Z][a-z0-9]*)+$")  # UpperCamelCase, at least two words
OPTION = re.compile(r"(?<![\w-])(--?[a-z][a-z0-9]*(?:-[a-z0-9]+)*)(?![\w-])")
INT_FUNCTION = re.compile(r"^(?:static\s+)?int\s+(?:WINAPI\s+)?[\w:]+\s*\(", re.M)
CONSTANT = re.compile(r'\b(k[A-Z]\w*)\s*(?:\[\s*\])?\s*=\s*"((?:[^"\\\n]|\\.)*)"')
EXIT_CALL = re.compile(r"\b(?:exit|ExitProcess|PostQuitMessage)\s*\(\s*(\d+)\s*\)")


def unescape(literal):
    return re.sub(r"\\(.)", r"\1", literal)


def sources(folder):
    return sorted(p for p in folder.rglob("*") if p.suffix in (".cpp", ".h"))


def without_comments_and_strings(text):
    """The code with comments, string and character literals blanked out (lengths kept)."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def registry_names():
    """Names in the texts of files that call the registry, and in the constants those files use."""
    texts = {path: path.read_text(encoding="utf-8") for path in sources(SRC)}
    constants = {}
    for text in texts.values():
        for name, literal in CONSTANT.findall(text):
            constants.setdefault(name, []).append(literal)
    literals = []
    for text in texts.values():
        if REGISTRY_CALL.search(without_comments_and_strings(text)):
            literals += STRING_LITERAL.findall(text)
            for name in set(re.findall(r"\bk[A-Z]\w*", text)):
                literals += constants.get(name, [])
    keys, values = set(), set()
    for plain in map(unescape, literals):
        if plain.upper().startswith("SOFTWARE\\"):
            keys.add(plain)
        elif VALUE_NAME.match(plain):
            values.add(plain)
    return keys, values


def command_line_options():
    options = set()
    for folder in OPTION_FOLDERS:
        for path in sources(SRC / folder):
            for literal in STRING_LITERAL.findall(path.read_text(encoding="utf-8")):
                options.update(OPTION.findall(unescape(literal)))
    return options


def body_after(code, position):
    """(start, end) of the braces of the function definition whose head ends at position; None for a
    declaration. code must have its comments and literals blanked out."""
    open_brace = code.find("{", position)
    if open_brace < 0 or ";" in code[position:open_brace]:
        return None
    depth, end = 0, open_brace
    for end in range(open_brace, len(code)):
        depth += {"{": 1, "}": -1}.get(code[end], 0)
        if depth == 0:
            break
    return open_brace, end


def exit_codes():
    codes = set()
    for path in sources(SRC):
        if path.suffix != ".cpp":
            continue
        code = without_comments_and_strings(path.read_text(encoding="utf-8"))
        codes.update(int(n) for n in EXIT_CALL.findall(code))
        for match in INT_FUNCTION.finditer(code):
            span = body_after(code, match.end())
            if span is None:
                continue  # a declaration, not a definition
            body = code[span[0]:span[1]]
            codes.update(int(n) for n in re.findall(r"\breturn\s+(\d+)\s*;", body))
            for pair in re.findall(r"\?\s*(\d+)\s*:\s*(\d+)", body):
                codes.update(int(n) for n in pair)
    return codes


def log_texts(path, functions):
    """The fixed pieces of text (ends trimmed, at least two words) that the named functions build lines from."""
    text = path.read_text(encoding="utf-8")
    code = without_comments_and_strings(text)
    pieces = set()
    for name in functions:
        match = re.search(r"\bstd::string\s+" + name + r"\s*\([^)]*\)", code)
        span = match and body_after(code, match.end())
        if not span:
            pieces.add(f"(no function {name})")
            continue
        for literal in STRING_LITERAL.findall(text[span[0]:span[1]]):
            piece = unescape(literal).strip(" :;(")
            if " " in piece:
                pieces.add(piece)
    return pieces


def release_tool_options():
    text = (RELEASE_TOOL / "cli.cpp").read_text(encoding="utf-8")
    return {o for o in STRING_LITERAL.findall(text) if re.fullmatch(r"--[a-z]+(?:-[a-z]+)*", o)}


def code_words(markdown):
    """Every word inside a code span or a code block of the markdown text."""
    words = set()
    in_block = False
    for line in markdown.splitlines():
        if line.lstrip().startswith("```"):
            in_block = not in_block
            continue
        pieces = [line] if in_block or line.startswith("    ") else re.findall(r"`([^`]+)`", line)
        for piece in pieces:
            words.update(w for w in re.split(r"[\s\"'\[\]()|,=]+", piece) if w)
    return words


def section(markdown, heading):
    match = re.search(r"^## " + re.escape(heading) + r"\s*$(.*?)(?=^## |\Z)", markdown, re.M | re.S)
    return match.group(1) if match else ""


def slug(heading):
    text = re.sub(r"[`*_]", "", heading.strip().lower()) if "`" in heading else heading.strip().lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(markdown):
    seen = {}
    found = set()
    in_block = False
    for line in markdown.splitlines():
        if line.lstrip().startswith("```"):
            in_block = not in_block
            continue
        match = None if in_block else re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if match:
            base = slug(match.group(1))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


RUN_WORDS = ("vesk-release", "rsync", "openssl", "rm", "mkdir", "python3")
NOT_RUN_WORDS = ("cmake", "reg", "ssh", "sudo", "apt-get", "wine", "nginx", "systemctl")


def guide_steps(markdown):
    """The commands of a guide in order, as ("command", line) and ("nginx", config block) steps."""
    steps = []
    fence = None  # the language of the fenced block we are in, "" for none
    block = []
    pending = ""
    for line in markdown.splitlines():
        stripped = line.strip()
        if stripped.startswith("```"):
            if fence is None:
                fence, block = stripped[3:].strip(), []
            else:
                if fence == "nginx":
                    steps.append(("nginx", "\n".join(block)))
                fence = None
            continue
        if fence is not None:
            block.append(line)
            if fence not in ("", "sh", "shell", "bash"):
                continue
        elif not line.startswith("    "):
            pending = ""
            continue
        text = pending + stripped
        if text.endswith("\\"):
            pending = text[:-1] + " "
            continue
        pending = ""
        word = text.split(" ", 1)[0]
        if word in RUN_WORDS or word in NOT_RUN_WORDS:
            steps.append(("command", text))
    return steps


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, deadline=15.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


def fetch(url):
    """(status, headers) of a GET; errors count as their status."""
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            answer.read()
            return answer.status, answer.headers
    except urllib.error.HTTPError as error:
        return error.code, error.headers


def make_release(folder, seed):
    generator = random.Random(seed)
    for name, size in (("Updater.exe", 40000), ("libcurl.dll", 9000), ("libsodium.dll", 8192),
                       ("zlib1.dll", 8193), ("VESK_Updater.exe", 30000), ("data/core.pak", 20000)):
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes(generator.getrandbits(8) for _ in range(size)))


def start_nginx(block, scratch, port, problems, name):
    """Serves scratch/www with the guide's server block (plain HTTP on port); the process or None."""
    server = []
    for line in block.replace("/srv/vesk-updates", str(scratch / "www")).splitlines():
        if line.strip().startswith("ssl_"):
            continue
        if line.strip().startswith("listen "):
            line = f"    listen 127.0.0.1:{port};"
        server.append(line)
    run = scratch / "nginx"
    run.mkdir()
    user = "user root;\n" if os.geteuid() == 0 else ""
    temps = "".join(f"{kind}_temp_path {run / kind};\n" for kind in ("client_body", "proxy", "fastcgi", "uwsgi",
                                                                      "scgi"))
    (run / "nginx.conf").write_text(
        f"{user}worker_processes 1;\npid {run / 'nginx.pid'};\nerror_log {run / 'error.log'};\n"
        f"events {{}}\nhttp {{\naccess_log off;\ndefault_type application/octet-stream;\n{temps}"
        + "\n".join(server) + "\n}\n")
    binary = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(binary):
        problems.append(f"{name}: nginx is not installed (scripts/install-deps.sh installs it)")
        return None
    process = subprocess.Popen([binary, "-p", str(run), "-c", str(run / "nginx.conf"), "-g", "daemon off;"],
                               stdout=subprocess.DEVNULL, stderr=open(run / "stderr.log", "wb"))
    if not wait_for_port(port):
        problems.append(f"{name}: nginx with the guide's configuration does not start: "
                        + (run / "stderr.log").read_text(errors="replace")[-400:])
        return process
    origin = f"http://127.0.0.1:{port}"
    updates = scratch / "www" / "updates"
    folder = sorted(p for p in updates.iterdir() if not p.name.startswith(".")) if updates.is_dir() else []
    (updates / ".probe").write_text("hidden")
    expected = [("/manifest.json", 200, "no-cache"), ("/updates/.probe", 404, None), ("/elsewhere", 404, None)]
    if folder:
        expected.append((f"/updates/{folder[0].name}/Updater.exe", 200, "public, max-age=31536000, immutable"))
    else:
        problems.append(f"{name}: nothing was uploaded before the nginx configuration")
    for path, status, cache in expected:
        got, headers = fetch(origin + path)
        if got != status or (cache and headers.get("Cache-Control") != cache):
            problems.append(f"{name}: nginx answers {path} with {got}, Cache-Control "
                            f"{headers.get('Cache-Control')!r}; the guide promises {status}, {cache!r}")
    return process


def run_guide_commands(page, tool, problems):
    """Runs one guide's commands; returns (run, not run)."""
    name = page.relative_to(ROOT)
    steps = guide_steps(page.read_text(encoding="utf-8"))
    if not any(kind == "command" and text.split(" ", 1)[0] in RUN_WORDS for kind, text in steps):
        return 0, 0
    done = skipped = 0
    with tempfile.TemporaryDirectory(prefix="vesk-check-docs-") as folder:
        scratch = Path(folder)
        (scratch / "bin").mkdir()
        (scratch / "bin" / "vesk-release").symlink_to(Path(tool).resolve())
        make_release(scratch / "dist", 1)
        make_release(scratch / "dist-beta", 2)
        make_release(scratch / "releases" / "2.1.344", 3)
        (scratch / "www").mkdir()
        env = dict(os.environ, PATH=f"{scratch / 'bin'}:{os.environ.get('PATH', '')}",
                   VESK_KEY_PASSPHRASE="check-docs sample pass phrase")
        port = free_port()
        background = []
        try:
            for kind, text in steps:
                if kind == "nginx":
                    process = start_nginx(text, scratch, port, problems, name)
                    if process:
                        background.append(process)
                    continue
                word = text.split(" ", 1)[0]
                if word in NOT_RUN_WORDS or (word == "python3" and "-m http.server" not in text):
                    skipped += 1
                    continue
                command, _, comment = text.partition("  #")
                command = command.replace("/srv/vesk-updates", str(scratch / "www")).replace("8080", str(port))
                refused = comment.strip().startswith("refused")
                if command.rstrip().endswith("&"):
                    background.append(subprocess.Popen(["bash", "-c", command.rstrip()[:-1]], cwd=scratch, env=env,
                                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                    if not wait_for_port(port):
                        problems.append(f"{name}: `{text}` serves nothing")
                    done += 1
                    continue
                result = subprocess.run(["bash", "-c", command], cwd=scratch, env=env, capture_output=True,
                                        text=True, timeout=300)
                done += 1
                if result.returncode != (1 if refused else 0):
                    problems.append(f"{name}: `{text}` exits with {result.returncode}: "
                                    + (result.stdout + result.stderr).strip()[-600:])
        finally:
            for process in background:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    process.kill()
    return done, skipped


def main():
    problems = []
    operations = OPERATIONS.read_text(encoding="utf-8")
    words = code_words(operations)

    keys, values = registry_names()
    if not values:
        problems.append("no registry value names found in src/ (has the code moved?)")
    for key in sorted(keys):
        if key not in words:
            problems.append(f"registry key {key} is not in docs/operations.md")
    for value in sorted(values):
        if value not in words:
            problems.append(f"registry value {value} is not in docs/operations.md")

    options = command_line_options()
    if not options:
        problems.append("no command-line options found in src/ (has the code moved?)")
    for option in sorted(options):
        if option not in words:
            problems.append(f"command-line option {option} is not in docs/operations.md")

    table = section(operations, "Exit codes")
    documented = {int(n) for n in re.findall(r"^\|\s*(\d+)\s*\|", table, re.M)}
    codes = exit_codes()
    if not codes:
        problems.append("no exit codes found in src/ (has the code moved?)")
    for code in sorted(codes - documented):
        problems.append(f"exit code {code} is not in the table of docs/operations.md#exit-codes")

    releasing_words = code_words(RELEASING.read_text(encoding="utf-8"))
    tool_options = release_tool_options()
    if not tool_options:
        problems.append("no vesk-release options found in tools/vesk-release/cli.cpp (has the code moved?)")
    for option in sorted(tool_options - releasing_words):
        problems.append(f"vesk-release option {option} is not in docs/releasing.md")

    log_count = 0
    for source, guide, functions in LOG_TEXTS:
        guide_text = " ".join(guide.read_text(encoding="utf-8").split())
        for piece in sorted(log_texts(source, functions)):
            log_count += 1
            if piece not in guide_text:
                problems.append(f"log text \"{piece}\" of {source.relative_to(ROOT)} is not in "
                                f"{guide.relative_to(ROOT)}")

    manifest_guide = MANIFEST_GUIDE.read_text(encoding="utf-8")
    guide_anchors = anchors(manifest_guide)
    cited = set()
    for path in sources(RELEASE_TOOL):
        cited.update(re.findall(r'"(rule-\d+-[a-z0-9-]+)"', path.read_text(encoding="utf-8")))
    for anchor in sorted(cited - guide_anchors):
        problems.append(f"vesk-release cites docs/manifest.md#{anchor}, which has no heading")
    for anchor in sorted(a for a in guide_anchors if re.match(r"rule-\d+-", a)):
        if anchor not in cited:
            problems.append(f"docs/manifest.md#{anchor} is a writing rule vesk-release does not cite")

    for page in sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]:
        text = page.read_text(encoding="utf-8")
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            file_part, _, anchor = target.partition("#")
            linked = (page.parent / file_part).resolve() if file_part else page
            if not file_part.endswith(".md") and file_part:
                continue  # pictures and other files: present once the whole tree is merged
            name = page.relative_to(ROOT)
            if not linked.is_file():
                problems.append(f"{name}: link to {target}: no such file")
            elif anchor and anchor not in anchors(linked.read_text(encoding="utf-8")):
                problems.append(f"{name}: link to {target}: no such heading")

    ran = ""
    if len(sys.argv) == 3 and sys.argv[1] == "--run-commands":
        done = skipped = 0
        for page in sorted((ROOT / "docs").glob("*.md")):
            counts = run_guide_commands(page, sys.argv[2], problems)
            done, skipped = done + counts[0], skipped + counts[1]
        ran = f", {done} guide commands run ({skipped} need Windows, a build or a remote host)"
    elif len(sys.argv) > 1:
        print("usage: check-docs.py [--run-commands <vesk-release>]", file=sys.stderr)
        return 2

    if problems:
        for problem in problems:
            print(f"check-docs: {problem}", file=sys.stderr)
        return 1
    print(f"check-docs: OK ({len(keys)} registry keys, {len(values)} values, {len(options)} options, "
          f"exit codes {sorted(codes)}, {len(cited)} writing rules, {len(tool_options)} vesk-release options, "
          f"{log_count} log texts{ran})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
