"""The command-line reference (docs/cli.md) against the argument parser, and every command line
the README and the guides show against the options its command takes."""

from __future__ import annotations

import argparse
import pathlib
import re

import pytest

from korvel_vorn.cli import reference
from korvel_vorn.cli.parser import build_parser

ROOT = pathlib.Path(__file__).resolve().parents[3]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# A command line of the tool in a page: a line of code that starts with it (after environment
# settings and a folder), or a code span that does; the installed command or the module, then the
# command's name.
TOOL = r"(?:\S*/)?(?:korvel-vorn|python3? -m korvel_vorn)\s+([a-z]+)\b"
COMMAND_LINES = [re.compile(r"^\s*(?:\$ )?(?:[A-Z_]+=\S*\s+)*" + TOOL + r"(.*)"), re.compile("`" + TOOL + "([^`]*)`")]


def test_the_page_holds_the_reference_of_the_parser_as_it_is():
    text = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
    assert reference.BEGIN in text and reference.END in text
    written = text.split(reference.BEGIN, 1)[1].split(reference.END, 1)[0].strip()
    assert written == reference.reference(build_parser()).strip(), \
        "docs/cli.md is out of date: run PYTHONPATH=python python -m korvel_vorn.cli.reference docs/cli.md"


def test_every_command_has_its_row_in_the_overview_and_its_section_in_the_reference():
    text = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
    for name in reference.commands(build_parser()):
        assert f"\n| `{name}` |" in text, f"docs/cli.md's table of commands lacks {name}"
        assert f"### `{name}`" in text


def test_the_reference_of_a_small_parser():
    parser = argparse.ArgumentParser(prog="tool")
    sub = parser.add_subparsers(dest="command")
    p = sub.add_parser("go", help="go somewhere", description="Goes.")
    p.add_argument("place", help="where to")
    p.add_argument("more", nargs="*", help="further places")
    p.add_argument("--mode", choices=("a", "b"), help="how")
    p.add_argument("--via", action="append", metavar="STOP", help="a stop")
    p.add_argument("--by", required=True, help="vehicle | on foot")
    p.add_argument("-q", "--quiet", action="store_true", help="say nothing")
    assert reference.reference(parser) == "\n".join([
        "### `go`", "", "go somewhere.", "", "Goes.", "",
        "| argument | value | meaning |", "|---|---|---|",
        "| `place` |  | where to |",
        "| `[more ...]` |  | further places |",
        "| `--mode` | `a\\|b` | how |",
        "| `--via` | `STOP` | a stop (may be given more than once) |",
        "| `--by` | `BY` | required; vehicle \\| on foot |",
        "| `-q`, `--quiet` |  | say nothing |",
    ]) + "\n"


def command_lines() -> list[tuple[str, int, str, str]]:
    """(page, line number, command, the rest of its line) of every command line in the pages; a
    line ending in a backslash goes on on the next."""
    found = []
    for page in PAGES:
        lines = page.read_text(encoding="utf-8").splitlines()
        for number, line in enumerate(lines, 1):
            for pattern in COMMAND_LINES:
                for match in pattern.finditer(line):
                    rest, following = match.group(2), number
                    while rest.rstrip().endswith("\\") and following < len(lines):
                        rest, following = rest.rstrip()[:-1] + " " + lines[following], following + 1
                    found.append((page.name, number, match.group(1), rest))
    return found


@pytest.mark.parametrize(("page", "number", "command", "rest"), command_lines(),
                         ids=lambda value: str(value)[:40])
def test_a_command_line_in_the_pages_uses_options_its_command_takes(page, number, command, rest):
    commands = reference.commands(build_parser())
    if command not in commands:  # prose such as "python -m korvel_vorn is the tool"
        pytest.skip(f"{page}:{number}: {command!r} is not a command name")
    known = {option for action in commands[command]._actions for option in action.option_strings}
    # Up to a shell comment, or a code span's end.
    used = re.findall(r"(?<![\w-])(--[a-z][a-z-]*|-[a-zA-Z])\b", rest.split(" #", 1)[0].split("`", 1)[0])
    unknown = sorted(set(used) - known)
    assert not unknown, f"{page}:{number}: `{command}` takes no {', '.join(unknown)}"
