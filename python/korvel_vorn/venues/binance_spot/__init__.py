"""Binance spot (`binance-spot`): the public archive's paths (`archive`) and the live feeds'
addresses (`live`). Its CSV files and stream messages have the futures' layouts, so the readers
and the recorder of `venues.binance` serve it; spot has no funding, open interest or
liquidations, and its lists of them stay empty."""
