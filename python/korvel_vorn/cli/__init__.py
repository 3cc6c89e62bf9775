"""The command-line tool: ``korvel-vorn <command>`` or ``python -m korvel_vorn <command>``.

`main` (in `dispatch`) runs one command; `parser` declares the commands and their options, one
module per command group runs them.
"""

from __future__ import annotations

from .common import CliError
from .dispatch import main

__all__ = ["CliError", "main"]
