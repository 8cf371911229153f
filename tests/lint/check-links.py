#!/usr/bin/python3 -IB
"""Every relative link in README.md and docs/*.md leads somewhere: to a file
of the tree and, after a "#", to one of its headings, as GitHub names their
anchors (small letters, punctuation dropped, blanks made hyphens, a number
added to a repeated one). One line per broken link; exit 1 when there is any.
    check-links.py ROOT"""

import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def anchors(path):
    """The anchors of the headings of the Markdown file PATH."""
    found, seen, fenced = set(), {}, False
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith("```"):
                fenced = not fenced
            match = None if fenced else re.match(r"#{1,6} (.*)", line)
            if match:
                slug = re.sub(r"[^\w\- ]", "", match[1].strip().lower().replace("`", "")).replace(" ", "-")
                count = seen.get(slug, 0)
                seen[slug] = count + 1
                found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def broken_links(root, page):
    here = os.path.dirname(page)
    with open(page, encoding="utf-8") as file:
        text = re.sub(r"(?ms)^```.*?^```", "", file.read())
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address: not ours to check here
        path, _, anchor = target.partition("#")
        goal = os.path.normpath(os.path.join(here, path)) if path else page
        if not os.path.exists(goal) or not goal.startswith(root + os.sep):
            yield f"{os.path.relpath(page, root)}: {target}: no such file"
        elif anchor and (not goal.endswith(".md") or anchor not in anchors(goal)):
            yield f"{os.path.relpath(page, root)}: {target}: no heading with that anchor"


def main(root):
    root = os.path.abspath(root)
    pages = [os.path.join(root, "README.md")] + sorted(
        os.path.join(root, "docs", name) for name in os.listdir(os.path.join(root, "docs")) if name.endswith(".md"))
    broken = [line for page in pages for line in broken_links(root, page)]
    for line in broken:
        print(line)
    print(f"{len(pages)} pages, {len(broken)} broken links")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
