"""A composite loaded from a catalog (`Session.load_catalog(exchanges=...)`, `--exchanges`): the
venues read each on its own give the frames of a composite built from single-venue loads, contract
quantities come in base asset, and every bad input is one clear error (or a warning naming a venue
left out) with nothing loaded."""

import json

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")

from test_array_path import columns_of  # noqa: E402

from korvel_vorn import Session  # noqa: E402
from korvel_vorn.catalog import CatalogError  # noqa: E402
from korvel_vorn.catalog.write import write_lists  # noqa: E402
from korvel_vorn.composite import CompositeSession, UnitError  # noqa: E402
from korvel_vorn.composite.catalog import VenueWarning  # noqa: E402
from korvel_vorn.sample import START_MS, generate_market, sample_spec  # noqa: E402

INPUTS = [{"name": "sample", "size": 1, "sha256": "0" * 64}]
DAY = 86_400_000


def market(seed, shift_ms=0, price_offset=0.0, keep=None):
    out = {}
    for name, records in generate_market(seed).items():
        if keep is not None and name not in keep:
            continue
        moved = []
        for r in records:
            r = list(r)
            r[0] += shift_ms
            if name in ("trades", "liquidations"):
                r[1] += price_offset
            elif name == "book":
                r[2] = [(p + price_offset, q) for p, q in r[2]]
                r[3] = [(p + price_offset, q) for p, q in r[3]]
            moved.append(r)
        out[name] = moved
    return out


MARKETS = {
    ("binance-um", "BTCUSDT"): market(7),
    ("bybit", "BTCUSDT"): market(8, price_offset=0.5),
    ("binance-spot", "BTCUSDT"): market(9, price_offset=-1.0, keep=("trades", "book", "candles")),
    ("binance-spot", "LATEUSDT"): market(9, shift_ms=3 * DAY),
    ("binance-cm", "BTCUSD_PERP"): market(10),
    ("binance-cm", "NOTRADES_PERP"): {"oi": [[START_MS, 10.0]], "candles": market(10)["candles"]},
}


@pytest.fixture(scope="module")
def catalog(tmp_path_factory):
    root = tmp_path_factory.mktemp("catalog")
    for (exchange, symbol), lists in MARKETS.items():
        write_lists(root, exchange, symbol, columns_of(lists), INPUTS)
    return root


def spec():
    return sample_spec() | {"symbol": "BTCUSDT"}


def same_frames(a, b):
    assert a["cursor_ts"] == b["cursor_ts"]
    for x, y in zip(a["panels"], b["panels"]):
        for key, value in x.items():
            if key == "events":
                assert value.tolist() == y[key].tolist()
            elif key != "kind":
                assert np.asarray(value).view(np.int64).tolist() == np.asarray(y[key]).view(np.int64).tolist(), key


def test_load_catalog_with_exchanges_is_the_composite_of_single_venue_loads(catalog):
    names = ["bybit", "binance-um", "binance-spot"]
    session = Session(spec())
    count = session.load_catalog(catalog, symbol="BTCUSDT", exchanges=names)
    composite = CompositeSession(spec())
    total = 0
    for name in names:
        single = Session()
        total += single.load_catalog(catalog, exchange=name, symbol="BTCUSDT")
        funding = [r[0] for r in MARKETS[(name, "BTCUSDT")].get("funding", [])]
        composite.add_venue(name, "BTCUSDT", single, funding)
    assert count == total
    for at in (START_MS + 100_000, START_MS + 599_000):
        same_frames(session.frame_arrays(at), composite.frame_arrays(at))
    assert session.frame_arrays(START_MS + 300_000)["venues"] == names
    clusters = session.clusters(START_MS + 300_000, price_bin=1.0, bucket_ms=60_000)
    assert clusters["buy_vol"].shape == (len(clusters["time"]), len(clusters["price"]))


def test_contracts_come_in_base_asset(catalog):
    session = Session(spec())
    session.load_catalog(catalog, symbol={"binance-cm": "BTCUSD_PERP"}, exchanges=["binance-cm"])
    trades = MARKETS[("binance-cm", "BTCUSD_PERP")]["trades"]
    plain = Session(spec())
    plain.load({"trades": [(ts, price, qty * 100.0 / price, side) for ts, price, qty, side in trades]})
    mine = session.frame_arrays(START_MS + 599_000)["panels"][0]
    theirs = plain.frame_arrays(START_MS + 599_000)["panels"][0]
    assert mine["buy_vol"].tolist() == theirs["buy_vol"].tolist()


def test_a_venue_without_records_in_the_span_is_named_and_left_out(catalog):
    session = Session(spec())
    with pytest.warns(VenueWarning, match="venue binance-spot has no records of LATEUSDT"):
        session.load_catalog(catalog, symbol={"binance-um": "BTCUSDT", "binance-spot": "LATEUSDT"},
                             exchanges=["binance-um", "binance-spot"], end=START_MS + DAY)
    assert session.frame_arrays(START_MS + 1000)["venues"] == ["binance-um"]


@pytest.mark.parametrize("symbol, exchanges, error, message", [
    ("BTCUSDT", ["binance-um", "okx"], UnitError, "unknown exchange 'okx'"),
    ("BTCUSDT", ["binance-um", "binance-cm"], CatalogError, "symbol BTCUSDT is missing in venue binance-cm"),
    ({"binance-um": "BTCUSDT"}, ["binance-um", "bybit"], CatalogError, "no symbol given for bybit"),
    ("BTCUSDT", ["bybit", "bybit"], CatalogError, "given twice"),
    ("BTCUSDT", [], CatalogError, "no exchanges"),
    ({"binance-cm": "NOTRADES_PERP"}, ["binance-cm"], UnitError, "cannot be converted without trades"),
])
def test_bad_venues_are_one_error_and_load_nothing(catalog, symbol, exchanges, error, message):
    session = Session(spec())
    session.load({"trades": [{"ts": 5, "price": 1.0, "qty": 1.0, "side": "buy"}]})
    with pytest.raises(error, match=message):
        session.load_catalog(catalog, symbol=symbol, exchanges=exchanges)
    assert session.composite is None and session.bounds()["count"] == 1


def test_no_venue_with_records_is_an_error(catalog):
    with pytest.warns(VenueWarning), pytest.raises(CatalogError, match="nothing loaded"):
        Session(spec()).load_catalog(catalog, symbol="BTCUSDT", exchanges=["binance-um", "bybit"],
                                     start=START_MS + 2 * DAY)


def test_load_catalogs_reads_each_venue_from_the_root_that_holds_it(catalog, tmp_path):
    write_lists(tmp_path, "bybit", "ETHUSDT", columns_of(market(8)), INPUTS)
    session = Session(spec())
    session.load_catalogs([tmp_path, catalog], symbol={"binance-um": "BTCUSDT", "bybit": "ETHUSDT"},
                          exchanges=["binance-um", "bybit"])
    assert session.frame_arrays(START_MS + 1000)["venues"] == ["binance-um", "bybit"]


def cli(capsys, *argv):
    from korvel_vorn.cli import main

    status = main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def test_info_of_several_venues_warns_of_a_venue_left_out(catalog, capsys):
    status, out, err = cli(capsys, "info", "--catalog", str(catalog), "--exchanges", "binance-um,binance-spot",
                           "--symbol", "binance-um=BTCUSDT,binance-spot=LATEUSDT", "--to", str(START_MS + DAY), "--json")
    assert status == 0
    assert err.strip() == ("korvel_vorn info: warning: venue binance-spot has no records of LATEUSDT in the span "
                           "asked for: left out")
    assert json.loads(out)["from_ts"] == START_MS


@pytest.mark.parametrize("argv, status, message", [
    (["--exchanges", "binance-um,okx", "--symbol", "BTCUSDT"], 1, "unknown exchange 'okx'"),
    (["--exchanges", "binance-um,bybit", "--symbol", "ETHUSDT"], 1, "symbol ETHUSDT is missing in venue binance-um"),
    (["--exchanges", "binance-um", "--exchange", "bybit", "--symbol", "BTCUSDT"], 2, "not both"),
    (["--exchanges", "binance-um,,bybit", "--symbol", "BTCUSDT"], 2, "separated by commas"),
    (["--exchanges", "binance-um", "--symbol", "bybit=BTCUSDT"], 2, "which --exchanges does not"),
    (["--exchanges", "binance-um"], 2, "needs --symbol"),
])
def test_bad_venue_options_exit_with_one_line(catalog, capsys, argv, status, message):
    got, _, err = cli(capsys, "info", "--catalog", str(catalog), *argv)
    assert got == status and message in err and len(err.strip().splitlines()) == 1


def test_frame_json_is_refused_for_several_venues(catalog, capsys):
    status, _, err = cli(capsys, "frame", "--catalog", str(catalog), "--exchanges", "binance-um,bybit",
                         "--symbol", "BTCUSDT")
    assert status == 2 and "use render, view or batch" in err


def test_json_frames_are_refused_for_several_venues(catalog):
    session = Session(spec())
    session.load_catalog(catalog, symbol="BTCUSDT", exchanges=["binance-um", "bybit"])
    for call in (session.frame, lambda: session.frame_at(START_MS), session.frame_text):
        with pytest.raises(ValueError, match="a session of several venues gives its frames with frame_arrays"):
            call()
    session.load({"trades": [{"ts": 5, "price": 1.0, "qty": 1.0, "side": "buy"}]})  # one market again
    assert session.composite is None and session.frame_at(5)["cursor_ts"] == 5
