#!/usr/bin/env python3
"""Checks of the manual pages.

  man_test.py lint PAGE...
      renders each roff page with groff and fails on any warning.
  man_test.py options MANDIR SITEKIT SITEVIEW DLSYNC
      compares the options each program's --help lists (in its usage lines
      and at the start of its option lines) with the options the page in
      MANDIR (the scdoc sources) defines in its OPTIONS section, and for
      sitekit each command's --help with its "## COMMAND" section.
  man_test.py keys PAGE SETTINGS_CPP
      compares the keys the settings reader knows (kSettingKeys) with the
      keys the settings page (its scdoc source) defines.
"""
import re
import subprocess
import sys
from pathlib import Path

OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")
HELP_OPTION_LINE = re.compile(r"\s+(--?[A-Za-z][\w-]*(?:,\s*--?[A-Za-z][\w-]*)*)")
PAGE_OPTION = re.compile(r"\*(--?[A-Za-z][\w-]*)\*")


def lint(pages):
    bad = 0
    for page in pages:
        r = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
        if r.returncode != 0 or r.stderr:
            print(f"{page}: groff reports:\n{r.stderr}", end="")
            bad += 1
    print(f"{len(pages) - bad} passed, {bad} failed")
    return 1 if bad else 0


def help_text(*argv):
    r = subprocess.run(list(argv), capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"{' '.join(argv)} exited with {r.returncode}: {r.stderr}")
    return r.stdout


def help_options(text, program):
    """The options of the usage block (from a "usage:" or "PROGRAM ..." line
    to the next blank line) and those starting an indented line."""
    found, in_usage = set(), False
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("usage:") or stripped.startswith(program + " "):
            in_usage = True
        elif not stripped:
            in_usage = False
        if in_usage:
            found |= set(OPTION.findall(line))
        elif m := HELP_OPTION_LINE.match(line):
            found |= set(OPTION.findall(m.group(1)))
    return found


def page_sections(path):
    """The lines of each "# TITLE" and "## TITLE" part of an scdoc page."""
    sections, current = {}, None
    for line in Path(path).read_text().splitlines():
        if m := re.match(r"(#{1,2}) (.+)", line):
            current = m.group(2).strip()
            sections[current] = []
        elif current is not None:
            sections[current].append(line)
    return sections


def page_options(lines):
    """The options an scdoc options list defines: its term lines "*-x* ..."."""
    found = set()
    for line in lines:
        if line.startswith("*-"):
            found |= set(PAGE_OPTION.findall(line))
    return found


def compare(what, helped, paged, source="--help"):
    if helped == paged:
        return 0
    if helped - paged:
        print(f"{what}: {source} lists {sorted(helped - paged)}, the page does not")
    if paged - helped:
        print(f"{what}: the page lists {sorted(paged - helped)}, {source} does not")
    return 1


def options(mandir, sitekit, siteview, dlsync):
    mandir = Path(mandir)
    results = []
    for name, program, page, flag in ((siteview, "siteview", "siteview.1", "-h"),
                                      (dlsync, "dlsync", "dlsync.8", "-h"),
                                      (sitekit, "sitekit", "sitekit.1", "--help")):
        sections = page_sections(mandir / f"{page}.scd")
        results.append(compare(program, help_options(help_text(name, flag), program),
                               page_options(sections.get("OPTIONS", []))))
    main_help = help_text(sitekit, "--help")
    commands = re.findall(r"^  ([a-z][\w-]*) ", main_help.split("Commands:", 1)[1], re.M)
    sections = page_sections(mandir / "sitekit.1.scd")
    subsections = [line[3:].strip() for line in (mandir / "sitekit.1.scd").read_text().splitlines()
                   if line.startswith("## ")]
    results.append(compare("sitekit commands", set(commands), set(subsections)))
    for command in commands:
        helped = help_options(help_text(sitekit, command, "--help"), "sitekit")
        if command == "help":  # its help is the main text, compared above
            continue
        results.append(compare(f"sitekit {command}", helped, page_options(sections.get(command, []))))
    failed = sum(results)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


def keys(page, settings_cpp):
    table = re.search(r"kSettingKeys = \{(.*?)\};", Path(settings_cpp).read_text(), re.S)
    known = set(re.findall(r'"(\w+)"', table.group(1)))
    # The term lines of its lists: "*zip_extract* _patterns_", "*a_b* _x_, *c_d* _y_".
    defined = set()
    for line in Path(page).read_text().splitlines():
        if line.startswith("*"):
            defined |= set(re.findall(r"\*([a-z]+_[a-z_]+)\*", line))
    failed = compare("settings keys", known, defined, "the settings reader")
    print(f"{1 - failed} passed, {failed} failed")
    return failed


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "keys":
        sys.exit(keys(*sys.argv[2:]))
    if len(sys.argv) >= 3 and sys.argv[1] == "lint":
        sys.exit(lint(sys.argv[2:]))
    if len(sys.argv) == 6 and sys.argv[1] == "options":
        sys.exit(options(*sys.argv[2:]))
    sys.exit(__doc__)
