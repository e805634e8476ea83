#!/usr/bin/env bash
# The documents' links: every relative link and image of README.md, CHANGELOG.md and docs/*.md
# must lead to a file or folder that exists (relative to the linking file), and every #anchor,
# alone or after a .md target, to a heading of that page as GitHub names it (lower case, blanks
# to '-', punctuation other than '-' and '_' dropped; a repeated heading gets -1, -2, ...).
# http(s) and mailto links are not followed, and nothing inside code (fenced or inline) counts.
# Prints each broken link as "file:line: target (why)" and fails; scripts/test.sh runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - README.md CHANGELOG.md docs/*.md <<'PY'
import os
import re
import sys
import unicodedata
from urllib.parse import unquote

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

if broken:
    print(f"check-docs: {broken} of {checked} links lead nowhere", file=sys.stderr)
    sys.exit(1)
print(f"check-docs: {checked} relative links and anchors checked in {len([s for s in sys.argv[1:] if os.path.isfile(s)])} documents, all lead somewhere")
PY
