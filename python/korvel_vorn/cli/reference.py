"""The command-line reference in Markdown, written from the argument parser itself, so the page
(docs/cli.md) cannot drift from the options the tool takes: a test compares the two.

    python -m korvel_vorn.cli.reference docs/cli.md     # rewrites the page's generated part
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

BEGIN = "<!-- the reference below is written by `python -m korvel_vorn.cli.reference docs/cli.md` -->"
END = "<!-- end of the written reference -->"


def commands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    """The subcommands' parsers by name, in the order the tool lists them."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def command_help(parser: argparse.ArgumentParser) -> dict[str, str]:
    """Each subcommand's one-line help, as `--help` lists it."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return {choice.dest: choice.help or "" for choice in action._choices_actions}
    return {}


def _cell(text: str) -> str:
    return text.replace("|", "\\|").replace("\n", " ")


def _value(action: argparse.Action) -> str:
    if action.nargs == 0:
        return ""
    if action.choices is not None:
        return "|".join(str(choice) for choice in action.choices)
    if action.metavar is not None:
        return str(action.metavar)
    return action.dest.upper() if action.option_strings else action.dest


def _name(action: argparse.Action) -> str:
    if not action.option_strings:
        many = {"*": " ...", "+": " ..."}.get(str(action.nargs), "")
        optional = action.nargs in ("?", "*")
        text = f"{_value(action)}{many}"
        return f"`[{text}]`" if optional else f"`{text}`"
    return ", ".join(f"`{option}`" for option in action.option_strings)


def _meaning(action: argparse.Action) -> str:
    text = action.help or ""
    if action.required and action.option_strings:
        text = f"required; {text}"
    if isinstance(action, argparse._AppendAction):
        text += " (may be given more than once)"
    return _cell(text)


def command_reference(name: str, parser: argparse.ArgumentParser, summary: str) -> str:
    lines = [f"### `{name}`", "", _cell(summary) + ".", ""]
    if parser.description:
        lines += [parser.description, ""]
    lines += ["| argument | value | meaning |", "|---|---|---|"]
    for action in parser._actions:
        if isinstance(action, argparse._HelpAction):
            continue
        value = _value(action) if action.option_strings else ""
        lines.append(f"| {_name(action)} | {f'`{_cell(value)}`' if value else ''} | {_meaning(action)} |")
    return "\n".join(lines) + "\n"


def reference(parser: argparse.ArgumentParser) -> str:
    """Every command with its arguments: the generated part of docs/cli.md."""
    summaries = command_help(parser)
    parts = [command_reference(name, sub, summaries.get(name, "")) for name, sub in commands(parser).items()]
    return "\n".join(parts)


def update(path: Path, parser: argparse.ArgumentParser) -> bool:
    """Rewrite the generated part of the page at `path`; True when it changed."""
    text = path.read_text(encoding="utf-8")
    head, begin, rest = text.partition(BEGIN)
    _, end, tail = rest.partition(END)
    if not begin or not end:
        raise SystemExit(f"{path}: the markers of the written reference are missing")
    new = f"{head}{BEGIN}\n\n{reference(parser)}\n{END}{tail}"
    if new != text:
        path.write_text(new, encoding="utf-8")
    return new != text


def main(argv: list[str]) -> int:
    from .parser import build_parser

    if len(argv) != 1:
        sys.stderr.write("usage: python -m korvel_vorn.cli.reference docs/cli.md\n")
        return 2
    changed = update(Path(argv[0]), build_parser())
    sys.stderr.write(f"{argv[0]}: {'rewritten' if changed else 'already current'}\n")
    return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main(sys.argv[1:]))
