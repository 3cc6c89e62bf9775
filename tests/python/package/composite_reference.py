"""Aggregated panels computed from their definitions in plain Python (no NumPy in the arithmetic),
for the differential tests of `korvel_vorn.composite`: the book heatmap from the venues' raw book
events, the other panels from the venues' own single-venue panels."""

import math
import struct


def round8(x):
    scaled = x * 100000000.0
    if not abs(scaled) < 4503599627370496.0:
        return scaled / 100000000.0
    shifted = scaled + math.copysign(0.49999999999999994, scaled)
    return math.copysign(float(int(shifted)), scaled) / 100000000.0


def bin_price(p, w):
    return round8(float(math.floor(p / w)) * w)


def total_order(x):
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def venue_sum(values):
    """first + second + ... (a venue without a value adds nothing); None when no venue has one."""
    total = None
    for value in values:
        if value is not None:
            total = value if total is None else total + value
    return total


# ----------------------------------------------------------------------------- footprint

def footprint(parts):
    """parts: per venue {"price_bins", "buy_vol", "sell_vol"} as lists."""
    by_venue = [dict(zip(map(total_order, p["price_bins"]), zip(p["buy_vol"], p["sell_vol"]))) for p in parts]
    keys = sorted(set().union(*by_venue)) if by_venue else []
    prices, buys, sells = [], [], []
    for key in keys:
        price = next(p["price_bins"][list(map(total_order, p["price_bins"])).index(key)]
                     for p, own in zip(parts, by_venue) if key in own)
        prices.append(price)
        buys.append(round8(venue_sum(own[key][0] if key in own else None for own in by_venue)))
        sells.append(round8(venue_sum(own[key][1] if key in own else None for own in by_venue)))
    return prices, buys, sells


# ----------------------------------------------------------------------------- book heatmap

def _apply(book, event):
    bids, asks = book
    if event["kind"] == "snapshot":
        bids.clear()
        asks.clear()
    for side, levels in ((bids, event["bids"]), (asks, event["asks"])):
        for price, qty in levels:
            if qty == 0:
                side.pop(price, None)
            else:
                side[price] = qty


def _cell(side, p, p_hi):
    total = -0.0
    for price in sorted(side):
        if p <= price < p_hi:
            total += side[price]
    return total


def heatmap(venue_books, w, b, depth):
    """venue_books: per venue the window's book events in order. Returns (time, price, rows) of the
    aggregated heatmap, and each venue's rows."""
    mid = None
    for events in venue_books:
        book = ({}, {})
        for event in events:
            _apply(book, event)
        if book[0] and book[1]:
            bid, ask = max(book[0]), min(book[1])
            mid = (bid + ask) * 0.5
            break
    present = [events for events in venue_books if events]
    if mid is None or not present:
        return [], [], [], [[] for _ in venue_books]
    c = bin_price(mid, w)
    h = depth // 2
    grid = [round8(float(i - h) * w + c) for i in range(depth)]
    first = min(events[0]["ts"] for events in present) // b
    last = max(events[-1]["ts"] for events in present) // b
    time = [(first + k) * b for k in range(last - first + 1)]
    venue_rows = []
    for events in venue_books:
        book = ({}, {})
        at = 0
        rows = []
        for start in time:
            while at < len(events) and events[at]["ts"] < start + b:
                _apply(book, events[at])
                at += 1
            rows.append([round8(_cell(book[0], p, round8(w + p)) + _cell(book[1], p, round8(w + p))) for p in grid])
        venue_rows.append(rows)
    rows = [[round8(venue_sum(v[k][i] for v in venue_rows)) for i in range(depth)] for k in range(len(time))]
    return time, grid, rows, venue_rows


# ----------------------------------------------------------------------------- liquidation map

def liquidations(parts):
    """parts: per venue a list of (ts, price_bin, qty, side) tuples. Ties keep venue order."""
    tagged = [(event, v) for v, events in enumerate(parts) for event in events]
    order = sorted(range(len(tagged)),
                   key=lambda i: (tagged[i][0][0], total_order(tagged[i][0][1]), tagged[i][0][3], i))
    return [tagged[i][0] for i in order], [tagged[i][1] for i in order]


# ----------------------------------------------------------------------------- funding/OI divergence

def funding_oi(parts, b, first_funding):
    """parts: per venue {"time", "funding", "oi", "price"} lists; first_funding: per venue the ts
    of its first funding record in the window, or None."""
    present = [p for p in parts if p["time"]]
    if not present:
        return [], [], [], []
    first = min(p["time"][0] for p in present)
    last = max(p["time"][-1] for p in present)
    time = list(range(first, last + b, b))

    def carried(part, name, start):
        value = 0.0
        for t, v in zip(part["time"], part[name]):
            if t <= start:
                value = v
        return value

    funding, oi, price = [], [], []
    for start in time:
        rates = [carried(p, "funding", start) for p in parts]
        ois = [carried(p, "oi", start) for p in parts]
        oi_sum = venue_sum(ois)
        weighted = venue_sum(r * o for r, o in zip(rates, ois))
        if oi_sum == 0:
            had = [r for r, f in zip(rates, first_funding) if f is not None and f < start + b]
            value = venue_sum(had) / len(had) if had else 0.0
        else:
            value = weighted / oi_sum
        funding.append(round8(value))
        oi.append(round8(oi_sum))
        price.append(carried(parts[0], "price", start))
    return time, funding, oi, price
