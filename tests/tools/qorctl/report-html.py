#!/usr/bin/env python3
"""qorctl report --html read back by an HTML parser: every element closed in order, nothing
that runs or fetches, and the record's texts come back exactly as the record held them (so
they were escaped, not interpreted).
Usage: report-html.py QORCTL DATA_FOLDER"""
import html.parser
import json
import os
import subprocess
import sys
import tempfile

qorctl, data = os.path.abspath(sys.argv[1]), sys.argv[2]
failures = []

VOID = {"meta", "br", "hr", "img", "input", "link", "area", "base", "col", "embed", "source",
        "track", "wbr"}
# What a self-contained page that runs nothing may hold.
ALLOWED = {"html", "head", "meta", "title", "style", "body", "header", "footer", "section", "div",
           "h1", "h2", "p", "span", "br", "table", "thead", "tbody", "tr", "th", "td", "ul", "li",
           "svg", "rect", "line", "text"}


class Checker(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open = []
        self.texts = []
        self.style = ""

    def handle_starttag(self, tag, attrs):
        self.check_tag(tag, attrs)
        if tag not in VOID:
            self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.check_tag(tag, attrs)

    def check_tag(self, tag, attrs):
        if tag not in ALLOWED:
            failures.append(f"unexpected element <{tag}>")
        for name, value in attrs:
            if name.startswith("on") or name in ("src", "href", "xlink:href", "action"):
                failures.append(f"<{tag}> has {name}={value!r}")

    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            failures.append(f"</{tag}> closes {self.open[-1:] or 'nothing'}")
            return
        self.open.pop()

    def handle_data(self, data):
        if self.open and self.open[-1] == "style":
            self.style += data
        else:
            self.texts.append(data)


def page(arguments, folder):
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "report.html")
        run = subprocess.run([qorctl, "report", "--utc", "--html", out, *arguments], cwd=folder,
                             capture_output=True, text=True)
        if run.returncode != 0:
            failures.append(f"report {arguments} exited {run.returncode}: {run.stderr}")
            return None
        with open(out, encoding="utf-8") as f:
            return f.read()


def check(name, text, expected_texts):
    if text is None:
        return
    checker = Checker()
    checker.feed(text)
    checker.close()
    if checker.open:
        failures.append(f"{name}: left open: {checker.open}")
    # Nothing fetched: the style loads nothing, and no attribute names an address (checked
    # above). A record's own text may mention one; it is shown, not followed.
    for forbidden in ("http", "url(", "@import"):
        if forbidden in checker.style:
            failures.append(f"{name}: its style holds {forbidden!r}")
        if forbidden in text and not any(forbidden in expected for expected in expected_texts):
            failures.append(f"{name}: holds {forbidden!r}")
    joined = "".join(checker.texts)
    for expected in expected_texts:
        if expected not in joined:
            failures.append(f"{name}: the text {expected!r} does not come back")
    if not text.startswith("<!DOCTYPE html>"):
        failures.append(f"{name}: no doctype")
    print(f"{name}: {len(text)} bytes, {len(checker.texts)} texts")


check("sample", page(["line-1.jsonl", "line-2.jsonl"], data),
      ['Target said <script>alert("x")</script> & left', '/srv/a&b/"quoted" <v2>.QOR'])

# Texts made to break out of every place the page puts them.
hostile = [
    "</td></tr></table></section><script>alert(1)</script>",
    "\"'><img src=x onerror=alert(2)>",
    "<!-- --><style>body{background:url(http://example.invalid/x)}</style>",
    "]]><![CDATA[ &amp; &#x3C; </svg></title>",
]
with tempfile.TemporaryDirectory() as folder:
    lines = []
    for number, text in enumerate(hostile, 1):
        mac = f"02:00:00:00:00:{number:02X}"
        lines.append({"event": "end", "started": f"2026-12-09T10:0{number}:00Z",
                      "ended": f"2026-12-09T10:0{number}:30Z", "mac": mac, "outcome": "failed",
                      "error": text, "script": "/x/" + text, "script_sha256": text,
                      "qorctl": text, "product_name": text, "seconds": 30})
    # A control character and a C1 one (which terminals take as a command) come back replaced.
    lines.append({"event": "end", "started": "2026-12-09T11:00:00Z",
                  "ended": "2026-12-09T11:00:30Z", "mac": "02:00:00:00:00:AA",
                  "outcome": "failed", "error": "bell\u0007 csi\u009b2J", "seconds": 30})
    with open(os.path.join(folder, "hostile.jsonl"), "w", encoding="utf-8") as f:
        for line in lines:
            f.write(json.dumps(line) + "\n")
    # The file's own name is shown too.
    odd = "<b>&\"name\".jsonl"
    with open(os.path.join(folder, odd), "w", encoding="utf-8") as f:
        f.write(json.dumps(lines[0]) + "\n")
    text = page(["hostile.jsonl", odd], folder)
    check("hostile", text, hostile + ["/x/" + hostile[0], odd, "bell\ufffd csi\ufffd2J"])

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
