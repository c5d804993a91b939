#!/usr/bin/env python3
"""Every link between the README and the pages of docs/ leads somewhere: the file exists, and
the heading a #fragment names is in it (as a Markdown renderer makes its anchor). Pages move
between files; this is what catches the links they leave behind.
Usage: links.py SOURCE_DIR"""
import os
import re
import sys

source = os.path.abspath(sys.argv[1])
pages = [os.path.join(source, "README.md")]
docs = os.path.join(source, "docs")
pages += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))


def anchors(path):
    text = re.sub(r"^```.*?^```$", "", open(path, encoding="utf-8").read(), flags=re.S | re.M)
    found = set()
    for heading in re.findall(r"^#+ (.*)$", text, re.M):
        found.add(re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-"))
    return found


failures = []
for page in pages:
    text = re.sub(r"^```.*?^```$", "", open(page, encoding="utf-8").read(), flags=re.S | re.M)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address: not ours to check here
        path, _, fragment = target.partition("#")
        destination = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        where = os.path.relpath(page, source) + ": " + target
        if not os.path.exists(destination):
            failures.append(where + " (no such file)")
        elif fragment and fragment not in anchors(destination):
            failures.append(where + " (no such heading)")
for failure in failures:
    print("FAILED: " + failure)
print("%d pages, %d broken links" % (len(pages), len(failures)))
sys.exit(1 if failures else 0)
