"""Binance futures, USD-M (`binance-um`) and COIN-M (`binance-cm`): the public archive's paths and
layouts (`archive`), the live feeds' addresses and message fields (`live`), the readers of its CSV
files (`tables`) and stream messages (`messages`), and the live recorder (`recorder`)."""
