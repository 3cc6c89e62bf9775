"""korvel_vorn: replay a recorded crypto market as chart-panel frames."""

from ._korvel_vorn import Vorn, __version__

__all__ = ["Vorn", "__version__"]
