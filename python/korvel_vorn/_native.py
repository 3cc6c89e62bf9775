"""The native modules: installed inside the package, or (in a source checkout) from the build tree."""

try:
    from ._engine import Block, Engine, set_thread_workers
    from ._korvel_vorn import Vorn, __version__
except ModuleNotFoundError as _error:  # a source checkout: the build tree's modules on sys.path
    if _error.name not in (__package__ + "._engine", __package__ + "._korvel_vorn"):
        raise
    from _engine import Block, Engine, set_thread_workers  # type: ignore[no-redef]
    from _korvel_vorn import Vorn, __version__  # type: ignore[no-redef]

__all__ = ["Block", "Engine", "Vorn", "__version__", "set_thread_workers"]
