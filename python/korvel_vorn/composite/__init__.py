"""One instrument over several venues: a composite of single-venue sessions with aggregated panels.

`CompositeSession` holds the venues (`session`), `panels` defines each aggregated panel from the
venues' own, `arithmetic` rounds as the engine does, `units` brings contract quantities to the
base asset and `catalog` loads a composite from catalogs (`Session.load_catalog(exchanges=...)`).
"""

from __future__ import annotations

from .session import CompositeSession, Venue
from .units import KNOWN_EXCHANGES, QuantityUnit, UnitError, quantity_unit

__all__ = ["KNOWN_EXCHANGES", "CompositeSession", "QuantityUnit", "UnitError", "Venue", "quantity_unit"]
