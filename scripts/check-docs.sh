#!/usr/bin/env bash
# The documents' links: every relative link and image of README.md, CHANGELOG.md and docs/*.md
# must lead to a file or folder that exists (relative to the linking file), and every #anchor,
# alone or after a .md target, to a heading of that page as GitHub names it (lower case, blanks
# to '-', punctuation other than '-' and '_' dropped; a repeated heading gets -1, -2, ...).
# http(s) and mailto links are not followed, and nothing inside code (fenced or inline) counts.
# Prints each broken link as "file:line: target (why)" and fails; scripts/test.sh runs it.
#
# The command line's output, so that docs/managed-pcs.md cannot drift from it: every sentence
# the unattended run prints must appear on that page. The output is built from fragments
# (L"Removed " + strPrinter + L" and its driver " + strDriver + L"."), so each string literal
# of the files under uninstall/ that call WriteLine is taken as one fragment: comments are left
# out, C escapes read, a literal split at its line breaks (the usage text), blanks folded.
# Every literal of those files counts, not only those written inside WriteLine(...): texts
# reach it through helpers and members too (DescribeRemovedRow, strError, the usage). Left out:
# the statements that call WriteLog (the log's records, on the pages of the removal and the log),
# fragments without a letter or digit ("\"", ".", "\t"), and NOT_OUTPUT below. Each fragment
# must appear on the page, blanks folded there too; a missing one is printed with its file and
# line, and fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - README.md CHANGELOG.md docs/*.md <<'PY'
import glob
import os
import re
import sys
import unicodedata
from urllib.parse import unquote

OUTPUT_PAGE = "docs/managed-pcs.md"
# Literals of those files that are never printed.
NOT_OUTPUT = {"CONOUT$"}  # the console device the output is written to

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
ATX = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
# The target of an inline link or image: "](target)" or "](target "title")"; nested
# constructs ([![alt](image)](target)) give one match each.
INLINE = re.compile(r"\]\(\s*(<[^>\n]*>|[^)\s]+)(?:\s+(?:\"[^\"]*\"|'[^']*'|\([^)]*\)))?\s*\)")
# A reference definition: "[label]: target".
DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(<[^>\n]*>|\S+)")
HTML_ANCHOR = re.compile(r"<a\s[^>]*(?:name|id)\s*=\s*\"([^\"]+)\"", re.IGNORECASE)


def lines_outside_fences(text):
    """(line number, line) of every line not inside a fenced code block."""
    fence = None
    for number, line in enumerate(text.split("\n"), 1):
        match = FENCE.match(line)
        if fence:
            if match and match.group(1)[0] == fence[0] and len(match.group(1)) >= len(fence):
                fence = None
            continue
        if match:
            fence = match.group(1)
            continue
        yield number, line


def without_code_spans(line):
    return CODE_SPAN.sub(lambda m: " " * len(m.group(0)), line)


def slug(heading):
    """GitHub's anchor for a heading's text."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link counts by its text
    text = re.sub(r"<[^>]+>", "", text)  # inline HTML tags
    text = text.replace("`", "").lower()
    kept = []
    for ch in text:
        if ch in "-_ " or unicodedata.category(ch)[0] in "LNM":
            kept.append(ch)
    return "".join(kept).replace(" ", "-")


anchors_of = {}


def anchors(path):
    if path not in anchors_of:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        found, seen = set(), {}
        previous = None
        for _, line in lines_outside_fences(text):
            heading = None
            match = ATX.match(line)
            if match:
                heading = match.group(2) or ""
            elif previous and previous.strip() and SETEXT.match(line) and not previous.startswith((" " * 4, "\t")):
                heading = previous.strip()
            if heading is not None:
                base = slug(heading.strip())
                n = seen.get(base, 0)
                seen[base] = n + 1
                found.add(base if n == 0 else f"{base}-{n}")
            for name in HTML_ANCHOR.findall(line):
                found.add(name)
            previous = None if match else line
        anchors_of[path] = found
    return anchors_of[path]


def check(target, source):
    """Why the target does not lead anywhere, or None."""
    if target.startswith("<") and target.endswith(">"):
        target = target[1:-1]
    if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("//"):
        return "skip"  # http(s), mailto and every other scheme
    path, _, anchor = target.partition("#")
    path = unquote(path)
    if path:
        base = "." if path.startswith("/") else os.path.dirname(source)
        resolved = os.path.normpath(os.path.join(base, path.lstrip("/")))
        if not os.path.exists(resolved):
            return "no such file or folder"
    else:
        resolved = source
    if anchor and resolved.endswith(".md") and os.path.isfile(resolved):
        if unquote(anchor) not in anchors(resolved):
            return f"no heading for #{anchor} in {resolved}"
    return None


broken, checked = 0, 0
for source in sys.argv[1:]:
    if not os.path.isfile(source):
        continue
    with open(source, encoding="utf-8") as f:
        text = f.read()
    for number, line in lines_outside_fences(text):
        plain = without_code_spans(line)
        targets = [m.group(1) for m in INLINE.finditer(plain)]
        definition = DEFINITION.match(plain)
        if definition:
            targets.append(definition.group(1))
        for target in targets:
            why = check(target, source)
            if why == "skip":
                continue
            checked += 1
            if why:
                broken += 1
                print(f"{source}:{number}: {target} ({why})")

failed = False
if broken:
    print(f"check-docs: {broken} of {checked} links lead nowhere", file=sys.stderr)
    failed = True
else:
    print(f"check-docs: {checked} relative links and anchors checked in {len([s for s in sys.argv[1:] if os.path.isfile(s)])} documents, all lead somewhere")

# A C++ string literal, with its prefix (L, u8, u, U) and the raw form R"tag(...)tag"; the other
# tokens that could hold a quote: comments, character literals, preprocessor lines (#include);
# and what starts and ends a call of WriteLog: its name, and the statement's ';'.
TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/|^[ \t]*#[^\n]*'
    r"|'(?:\\.|[^'\\\n])*'"
    r'|(?:u8|[LuU])?R"(?P<tag>[^(\s]*)\((?P<raw>.*?)\)(?P=tag)"'
    r'|(?:u8|[LuU])?"(?P<text>(?:\\.|[^"\\\n])*)"'
    r"|\bWriteLog\b|;",
    re.S | re.M,
)
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\0"}  # any other escaped character stands for itself


def unescape(text):
    def one(match):
        code = match.group(1)
        return chr(int(code[1:], 16)) if code[0] == "x" else ESCAPES.get(code, code)

    return re.sub(r"\\(x[0-9a-fA-F]+|.)", one, text)


def fold(text):
    return " ".join(text.split())


def fragments(path):
    """(line, fragment) of every string literal of a source file that may be printed."""
    with open(path, encoding="utf-8") as f:
        source = f.read()
    in_log_call = False
    for match in TOKEN.finditer(source):
        token = match.group(0)
        if token in ("WriteLog", ";"):
            in_log_call = token == "WriteLog"
            continue
        if match.group("raw") is not None:
            text = match.group("raw")
        elif match.group("text") is not None:
            text = unescape(match.group("text"))
        else:
            continue  # a comment, a character literal, a preprocessor line
        if in_log_call:
            continue
        line = source.count("\n", 0, match.start()) + 1
        for part in re.split(r"[\r\n]+", text):
            part = fold(part)
            if part in NOT_OUTPUT or not any(ch.isalnum() for ch in part):
                continue
            yield line, part


with open(OUTPUT_PAGE, encoding="utf-8") as f:
    page = fold(f.read())
sources = [p for p in sorted(glob.glob("uninstall/**/*.cpp", recursive=True)) if "WriteLine(" in open(p, encoding="utf-8").read()]
missing, counted = [], 0
for path in sources:
    for line, part in fragments(path):
        counted += 1
        if part not in page:
            missing.append(f"{path}:{line}: {part!r} is printed but not on {OUTPUT_PAGE}")
for entry in missing:
    print(entry)
sys.stdout.flush()
if missing:
    print(f"check-docs: {len(missing)} of {counted} output fragments missing from {OUTPUT_PAGE}: add each where its line is told (or to NOT_OUTPUT in scripts/check-docs.sh if it is never printed)", file=sys.stderr)
    failed = True
elif not sources:
    print("check-docs: no file under uninstall/ calls WriteLine: the output check has nothing to read", file=sys.stderr)
    failed = True
else:
    print(f"check-docs: {counted} output fragments of {', '.join(sources)} all on {OUTPUT_PAGE}")
sys.exit(1 if failed else 0)
PY
