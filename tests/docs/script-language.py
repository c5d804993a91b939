#!/usr/bin/env python3
"""docs/script-language.md and qor-script(5) against the program: the one complete example reads
with qorctl check as the page says it does, and every message, warning and status text that the
script reader and the run make is written in the page and in the manual page.
Usage: script-language.py SOURCE_DIR QORCTL MAN_PAGE"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

source, qorctl, man_page = (os.path.abspath(argument) for argument in sys.argv[1:4])
failures = 0


def check(description, holds, detail=""):
    global failures
    print(("ok: " if holds else "FAILED: ") + description + ("" if holds else ": " + detail), flush=True)
    failures += 0 if holds else 1


markdown = open(os.path.join(source, "docs/script-language.md"), encoding="utf-8").read()

# The example: the one block marked qor, checked where the page says it lies, beside firmware.bin,
# and named without a folder, so that its image is found in the current folder.
examples = re.findall(r"^```qor\n(.*?)^```$", markdown, re.S | re.M)
check("the page has one complete example", len(examples) == 1, str(len(examples)))
said = re.findall(r"^(update\.QOR: ok.*)$", markdown, re.M)
with tempfile.TemporaryDirectory() as work:
    with open(os.path.join(work, "update.QOR"), "w", encoding="utf-8") as script:
        script.write(examples[0] if examples else "")
    shutil.copy(os.path.join(source, "examples/firmware.bin"), work)
    result = subprocess.run([qorctl, "check", "--strict", "update.QOR"], cwd=work,
                            capture_output=True, text=True)
    check("qorctl check --strict reads it", result.returncode == 0, result.stderr)
    check("with no message", result.stderr == "", result.stderr)
    check("and prints what the page says", said == [result.stdout.strip()],
          "%s against %r" % (said, result.stdout))

# Every text the reader and the run build: string literals given to these calls, named text
# constants, and those the lint and the signature check return, in the core's sources.
CALL = re.compile(r"\b(?:ParseException|Exception|Format|SetStatusText|Show|ThrowInDirective|"
                  r"CancelAll|push_back)\([^\"();]*?((?:\"(?:[^\"\\]|\\.)*\"\s*)+)")
RETURN = re.compile(r"\breturn ((?:\"(?:[^\"\\]|\\.)+\"\s*)+);")
CONSTANT = re.compile(r"\bconstexpr const char\* k\w+ = ((?:\"(?:[^\"\\]|\\.)+\"\s*)+);")
LITERAL = re.compile(r"\"((?:[^\"\\]|\\.)*)\"")
texts = set()
for folder in ("script", "exec", "net", "trust"):
    for name in sorted(os.listdir(os.path.join(source, folder))):
        # The formats of a MAC address and of a key id are no messages; environment files and
        # whole-block access are qorctl env's, told with it in the README; a discovery's address
        # range is an option of qorctl's, not of the script language, as is giving an address.
        skipped = ("MacAddress.cpp", "MinisignFiles.cpp", "EnvironmentFile.cpp",
                   "EnvironmentAccess.cpp", "AddressRange.cpp", "RangeSweep.cpp",
                   "AddressAssignment.cpp")
        if not name.endswith((".cpp", ".h")) or name in skipped:
            continue
        code = open(os.path.join(source, folder, name), encoding="utf-8").read()
        found = CALL.findall(code) + CONSTANT.findall(code)
        found += RETURN.findall(code) if name in ("ScriptLint.cpp", "ReadScript.cpp") else []
        for literals in found:
            text = "".join(LITERAL.findall(literals)).replace('\\"', '"')
            if text:
                texts.add(text)
check("the sources give messages to look for", len(texts) > 50, str(len(texts)))

PLACEHOLDER = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:ll|l|z|h)?[sdiuxXgfc]")


def pattern(text):
    """A message with each printf placeholder standing for any words of the page."""
    parts = PLACEHOLDER.split(text)
    return re.compile("[^\"|]*?".join(re.escape(part) for part in parts))


def units_of_markdown(page):
    """The page's paragraphs each on one line, table rows apart, markup left out."""
    units = []
    for block in re.split(r"\n\s*\n", page):
        lines = block.split("\n")
        units += lines if lines[0].startswith("|") else [" ".join(line.strip() for line in lines)]
    return [re.sub(r"\\([*_`#|])", r"\1", unit.replace("`", "").replace("**", "")) for unit in units]


def units_of_man(path):
    """The rendered manual page's paragraphs each on one line."""
    rendered = subprocess.run(["man", "-l", path], capture_output=True, text=True,
                              env=dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="1000")).stdout
    for fancy, plain in (("\u2010", "-"), ("\u2212", "-"), ("\u2018", "'"), ("\u2019", "'"),
                         ("\u201c", '"'), ("\u201d", '"')):
        rendered = rendered.replace(fancy, plain)
    return [" ".join(block.split()) for block in re.split(r"\n\s*\n", rendered)]


for where, units in (("docs/script-language.md", units_of_markdown(markdown)),
                     ("qor-script(5)", units_of_man(man_page))):
    missing = [text for text in sorted(texts)
               if not any(pattern(text).search(unit) for unit in units)]
    check("every message is in " + where, not missing, "\n  ".join([""] + missing))

print("script language documents: " + ("every check held" if failures == 0
                                        else "%d check(s) failed" % failures))
sys.exit(1 if failures else 0)
