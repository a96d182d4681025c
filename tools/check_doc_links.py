#!/usr/bin/env python3
"""Checks the links of README.md and docs/*.md: every relative link names a
file that exists, and every #anchor a heading of the page it points into, as
GitHub makes the anchors (lower case, punctuation dropped, each space a "-",
a repeated heading numbered -1, -2, ...). Code blocks and code spans are not
read: their "#exec" lines are no headings, and their brackets no links.

Usage: python3 tools/check_doc_links.py [REPOSITORY]
Prints each broken link as FILE:LINE: TARGET and exits 1 if there is one."""

import pathlib
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")


def prose_lines(path):
    """(line number, text) of the lines outside fenced code blocks."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def slug(heading):
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors(path):
    found = set()
    repeats = {}
    for _, line in prose_lines(path):
        match = HEADING.match(line)
        if match:
            base = slug(match.group(2))
            count = repeats.get(base, 0)
            repeats[base] = count + 1
            found.add(base if count == 0 else f"{base}-{count}")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    known = {}
    broken = []
    checked = 0
    for page in pages:
        for number, line in prose_lines(page):
            without_code = re.sub(r"`[^`]*`", "", line)
            for target in LINK.findall(without_code):
                if re.match(r"[a-z]+:", target):
                    continue  # a web address or mail, not ours to check
                checked += 1
                name, _, anchor = target.partition("#")
                dest = (page.parent / name).resolve() if name else page
                if not dest.is_file():
                    broken.append(f"{page.relative_to(root)}:{number}: {target} (no such file)")
                    continue
                if anchor and dest.suffix == ".md":
                    if dest not in known:
                        known[dest] = anchors(dest)
                    if anchor not in known[dest]:
                        broken.append(f"{page.relative_to(root)}:{number}: {target} (no such heading)")
    for line in broken:
        print(line)
    print(f"{checked} links in {len(pages)} pages, {len(broken)} broken")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
