"""The command-line tool: ``python -m korvel_vorn <info|frame|render|replay|view|convert|fetch|catalog|record|demo|batch>``.

Every failure (a missing or unreadable file, bad JSON, an error reply of the engine, a bad
option value) prints one line "korvel_vorn <command>: error: ..." on stderr and exits with
status 1; usage errors exit with status 2.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

from ..columns import ColumnError
from ..replies import VornError
from ..session import DatasetFileError
from ..stopping import Stopped
from ..storage_error import StorageError
from .common import CliError, UsageError, one_line
from .parser import build_parser

__all__ = ["CliError", "main"]


def main(argv: Sequence[str] | None = None) -> int:
    from ..charts import ChartsUnavailable

    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as error:
        sys.stderr.write(f"korvel_vorn {args.command}: error: {one_line(str(error))}\n")
        return 2
    except (CliError, DatasetFileError, VornError, ColumnError, ChartsUnavailable, StorageError) as error:
        sys.stderr.write(f"korvel_vorn {args.command}: error: {one_line(str(error))}\n")
        return 1
    except BrokenPipeError:  # `... | head`
        return 0
    except KeyboardInterrupt as interrupt:  # Ctrl+C, or a command stopped by a signal
        return interrupt.exit_status if isinstance(interrupt, Stopped) else 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
