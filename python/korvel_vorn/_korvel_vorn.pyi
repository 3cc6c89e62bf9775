"""The native module (`korvel_vorn._korvel_vorn`)."""

from typing import Final, final

__version__: Final[str]
__all__ = ["Vorn", "__version__"]

@final
class Vorn:
    """Vorn(spec_json)
    --

    An vorn instance driven by JSON commands.

    `unsendable`: a handle owns a mutable dataset and spec, so it is bound to the
    thread that created it.

    `spec_json` is a spec as JSON text; empty text or "{}" creates an object without a spec.
    A spec that cannot be read or fails validation raises ValueError with the error text
    ("parse: ..." or "bad spec: ...").
    """

    def __new__(cls, spec_json: str) -> Vorn: ...
    def command(self, cmd_json: str) -> str:
        """Apply a command JSON and return the resulting response JSON.

        Commands: {"cmd":"version"}, {"cmd":"set_spec","spec":...}, {"cmd":"load","dataset":...},
        {"cmd":"reset"}, {"cmd":"bounds"}, {"cmd":"frame"}, {"cmd":"frame_at","ts":...}.
        Failures come back as {"ok":false,"error":"..."}, never as exceptions. Raises RuntimeError
        "Already borrowed" on re-entry and refuses calls from a thread other than the creator.
        """
    @staticmethod
    def version() -> str:
        """The library version."""
