"""The viewer inline in a Jupyter notebook: placeholder until the widget lands."""

from __future__ import annotations


def in_notebook() -> bool:
    try:
        from IPython import get_ipython  # type: ignore[import-not-found]
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"
