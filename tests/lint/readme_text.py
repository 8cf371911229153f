#!/usr/bin/python3 -IB
"""The read-mes as their readers read them, in Notepad or on a web page.

    readme_text.py words FILE...
Each FILE (UTF-8, with or without a byte order mark) breaks no word or label
across lines: no line ends in katakana where the next line of the same
paragraph starts with katakana (a word broken in two, which reads wrongly
and which Notepad's search cannot find), and every label in 「」 or "" opens
and closes on one line (one broken in two cannot be found by Notepad's
search, nor matched at a glance with the screen it names).
    readme_text.py readme-md README_MD README_JA_TEMPLATE
README.md's Japanese part, between its two markers (in a block of
preformatted text, so that a web page breaks its lines as Notepad does),
stands word for word in the Japanese read-me's template, ends where a
sentence does and breaks no label across lines; outside its
preformatted text README.md breaks no line after Japanese, which a web page
shows as a stray space in the sentence.
Each fault found is a line; the exit status is 1 if there is any.
"""

import sys
import unicodedata

PART_START = "<!-- From here to the end marker: README-ja.txt"
PART_END = "<!-- End of the part from README-ja.txt"


def lines_of(path):
    with open(path, encoding="utf-8-sig") as file:
        return file.read().splitlines()


def katakana(character):
    return "\u30a0" <= character <= "\u30ff" or "\uff66" <= character <= "\uff9f"


def broken_words(lines):
    stripped = [line.strip() for line in lines]
    return [f'lines {n} and {n + 1} break a word: "{stripped[n - 1]}" / "{stripped[n]}"'
            for n in range(1, len(stripped))
            if stripped[n - 1] and stripped[n] and katakana(stripped[n - 1][-1]) and katakana(stripped[n][0])]


def broken_labels(lines):
    broken = []
    for n, line in enumerate(lines, 1):
        depth = 0
        for character in line:
            depth += {"「": 1, "」": -1}.get(character, 0)
            if depth < 0:
                break
        if depth != 0 or line.count('"') % 2:
            broken.append(f'line {n} opens or closes a label that another line ends: "{line}"')
    return broken


def japanese_part(lines):
    """The lines between README.md's markers, without the fence around them."""
    starts = [n for n, line in enumerate(lines) if line.startswith(PART_START)]
    ends = [n for n, line in enumerate(lines) if line.startswith(PART_END)]
    if len(starts) != 1 or len(ends) != 1 or ends[0] <= starts[0]:
        return None
    part = lines[starts[0] + 1:ends[0]]
    if part and part[0] == "```text":
        part = part[1:]
    if part and part[-1] == "```":
        part = part[:-1]
    return part


def readme_md_faults(readme_md, template):
    lines = lines_of(readme_md)
    part = japanese_part(lines)
    faults = []
    if not part:
        faults.append("README.md has no Japanese part between its two markers")
    else:
        if "\n".join(part) not in "\n".join(lines_of(template)):
            faults.append(f"README.md's Japanese part is not word for word in {template}")
        if not part[-1].endswith("。"):
            faults.append(f'README.md\'s Japanese part ends in the middle of a sentence: "{part[-1]}"')
        faults += [f"README.md's Japanese part: {fault}" for fault in broken_labels(part)]
    fenced = False
    for n, line in enumerate(lines, 1):
        fenced ^= line.startswith("```")
        if not fenced and not line.startswith("```") and line and n < len(lines) and lines[n] \
                and unicodedata.east_asian_width(line[-1]) in "WF":
            faults.append(f'README.md breaks a Japanese sentence at line {n}: "{line}"')
    return faults


def main(arguments):
    if len(arguments) >= 2 and arguments[0] == "words":
        faults = [f"{path}: {fault}" for path in arguments[1:]
                  for fault in broken_words(lines_of(path)) + broken_labels(lines_of(path))]
    elif len(arguments) == 3 and arguments[0] == "readme-md":
        faults = readme_md_faults(*arguments[1:])
    else:
        print("usage: readme_text.py words FILE... | readme-md README_MD README_JA_TEMPLATE", file=sys.stderr)
        return 2
    for fault in faults:
        print(f"  {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
