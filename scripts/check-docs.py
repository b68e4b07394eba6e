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

Exits with 1 and names each thing that is missing; prints one line and exits with 0 otherwise.
"""

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

    if problems:
        for problem in problems:
            print(f"check-docs: {problem}", file=sys.stderr)
        return 1
    print(f"check-docs: OK ({len(keys)} registry keys, {len(values)} values, {len(options)} options, "
          f"exit codes {sorted(codes)}, {len(cited)} writing rules, {len(tool_options)} vesk-release options, "
          f"{log_count} log texts)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
