"""The command-line tool: outputs, exit codes and rendered images."""

import json
import subprocess
import sys

import pytest

from conftest import child_env
from korvel_vorn import dataset

SPEC = {"dataset_ref": "", "symbol": "S", "panels": [{"kind": "footprint", "price_bin": 1.0}]}


def run(*args, cwd=None):
    env = child_env(MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "korvel_vorn", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=600)


@pytest.fixture()
def small(tmp_path):
    path = tmp_path / "small.dataset.json"
    path.write_text(dataset.dataset_json(
        trades=[(1000, 100.2, 1.0, "buy"), (500, 100.7, 2.0, "sell"), (1, 101.3, 0.5, "buy")],
        funding=[(10, 0.0001)],
        book=[(0, "snapshot", [(99.5, 2.0)], [(100.5, 3.0)])],
        liquidations=[(700, 99.0, 1.0, "long")],
        candles=[(0, 100, 101, 99, 100.5, 3)],
    ))
    return path


@pytest.fixture()
def spec_file(tmp_path):
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(SPEC))
    return path


def test_info_table_and_json(small):
    result = run("info", small)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "records  7" in lines
    assert "from_ts  0  1970-01-01 00:00:00.000 UTC" in lines
    assert "span     1s" in lines
    assert any(line.split()[:4] == ["trades", "3", "1", "1000"] for line in lines)
    assert any(line.split() == ["oi", "0", "-", "-"] for line in lines)
    value = json.loads(run("info", small, "--json").stdout)
    assert (value["from_ts"], value["to_ts"], value["count"]) == (0, 1000, 7)
    assert value["lists"]["trades"] == {"count": 3, "from_ts": 1, "to_ts": 1000}


def test_frame_prints_the_engines_reply(small, spec_file):
    result = run("frame", small, "--spec", spec_file, "--at", "1000")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ('{"symbol":"S","cursor_ts":1000,"panels":[{"kind":"footprint","price_bins":[100.0,101.0],'
                             '"buy_vol":[1.0,0.5],"sell_vol":[2.0,0.0]}]}\n')
    early = json.loads(run("frame", small, "--spec", json.dumps(SPEC), "--at", "start+1ms").stdout)
    assert early["cursor_ts"] == 1 and early["panels"][0]["buy_vol"] == [0.5]
    default = json.loads(run("frame", small, "--pretty").stdout)
    assert [p["kind"] for p in default["panels"]] == ["footprint", "book_heatmap", "liquidation_map",
                                                      "funding_oi_divergence"]
    assert default["symbol"] == "small"


@pytest.mark.parametrize("args, message", [
    (["info", "{tmp}/absent.json"], "cannot read {tmp}/absent.json: No such file or directory"),
    (["info", "{tmp}/bad.json"], "parse: expected `:` at line 1 column 6 of {tmp}/bad.json"),
    (["info", "{tmp}/empty.json"], "holds no records"),
    (["info", "{tmp}/wrong.json"], "parse: invalid type: string \"x\", expected a sequence"),
    (["frame", "{small}", "--spec", '{{"dataset_ref":"","symbol":"","panels":[]}}'], "bad spec: symbol must not be empty"),
    (["frame", "{small}", "--spec", "{tmp}/absent-spec.json"], "cannot read spec"),
    (["frame", "{small}", "--spec", "{{nope"], "is not valid JSON"),
    (["frame", "{small}", "--at", "soon"], "bad time 'soon'"),
    (["replay", "{small}", "--step", "fast", "-o", "{tmp}/r.gif"], "bad duration 'fast'"),
    (["replay", "{small}", "--start", "end", "--end", "start", "-o", "{tmp}/r.gif"], "end lies before its start"),
    (["replay", "{small}", "--step", "1", "-o", "{tmp}/r.gif"], "would render 1001 frames"),
    (["convert", "{tmp}/absent.csv", "-o", "{tmp}/out.json"], "No such file or directory"),
    (["convert", "-o", "{tmp}/out.json"], "no input files"),
    (["render", "{small}", "-o", "{small}/x.png"], "cannot write"),
])
def test_bad_input_exits_1_with_a_message(tmp_path, small, args, message):
    (tmp_path / "bad.json").write_text('{"a" 1}')
    (tmp_path / "empty.json").write_text("{}")
    (tmp_path / "wrong.json").write_text('{"trades":"x"}')
    fill = {"tmp": tmp_path, "small": small}
    result = run(*(a.format(**fill) for a in args))
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith(f"korvel_vorn {args[0]}: error: ")
    assert message.format(**fill) in result.stderr
    assert result.stderr.count("\n") == 1


@pytest.mark.parametrize("args", [[], ["nonsense"], ["info"], ["render", "x", "--size", "big"], ["replay", "x", "--fps", "0"]])
def test_usage_errors_exit_2(args):
    assert run(*args).returncode == 2


def _image_checks(path, size):
    from PIL import Image

    with Image.open(path) as image:
        assert image.size == size
        rgb = image.convert("RGB")
        colours = rgb.getcolors(maxcolors=1 << 20)
        assert colours is not None and len(colours) > 50  # drawn, not blank
        # the busiest colour (the white background) leaves a good part of the picture
        assert max(c for c, _ in colours) < 0.9 * size[0] * size[1]


def test_render_writes_a_png_of_the_requested_size(tmp_path, small):
    pytest.importorskip("matplotlib")
    out = tmp_path / "charts" / "frame.png"
    result = run("render", small, "-o", out, "--size", "900x600")
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    _image_checks(out, (900, 600))


def test_replay_as_gif_and_as_png_files(tmp_path, small):
    pytest.importorskip("matplotlib")
    from PIL import Image

    gif = tmp_path / "replay.gif"
    result = run("replay", small, "--start", "0", "--end", "1000", "--step", "400ms", "-o", gif, "--size", "400x300",
                 "--no-progress")
    assert result.returncode == 0, result.stderr
    with Image.open(gif) as image:
        assert image.n_frames == 4  # 0, 400, 800 and the end
        assert image.size == (400, 300)
    frames = tmp_path / "frames"
    result = run("replay", small, "--frames", "2", "-o", frames, "--size", "400x300")
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in frames.iterdir()) == ["frame_00000.png", "frame_00001.png"]
    assert "replay" in result.stderr  # the progress bar


def test_convert_writes_a_loadable_dataset(tmp_path):
    source = tmp_path / "trades.csv"
    source.write_text("id,price,qty,quote_qty,time,is_buyer_maker\n1,61807.70,0.010,618.077,1723161256322,true\n")
    funding = tmp_path / "funding.csv"
    funding.write_text("calc_time,funding_interval_hours,last_funding_rate\n1723161600000,8,0.00004994\n")
    out = tmp_path / "out.dataset.json.gz"
    result = run("convert", source, "--funding", funding, "-o", out, "--keep-all-times")
    assert result.returncode == 0, result.stderr
    assert "trades 1" in result.stderr and "funding 1" in result.stderr
    info = json.loads(run("info", out, "--json").stdout)
    assert (info["from_ts"], info["to_ts"], info["count"]) == (1723161256322, 1723161600000, 2)
    stdout = run("convert", source, "-o", "-")
    assert '{"ts":1723161256322,"price":61807.70,"qty":0.010,"side":"sell"}' in stdout.stdout


def test_demo_needs_no_arguments(tmp_path):
    pytest.importorskip("matplotlib")
    result = run("demo", "--no-gif", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = tmp_path / "korvel_vorn_demo"
    assert {p.name for p in out.iterdir()} >= {"sample.dataset.json", "sample.spec.json", "frame_end.png",
                                                 "frame_selloff.png", "frame_squeeze.png"}
    _image_checks(out / "frame_selloff.png", (1600, 1000))
    info = run("info", out / "sample.dataset.json")
    assert info.returncode == 0 and "records  " in info.stdout


def test_real_recording_info_and_render(tmp_path, real_data_dir):
    pytest.importorskip("matplotlib")
    path = real_data_dir / "binance-usdm-btcusdt-20240808T2354Z.dataset.json"
    if not path.exists():
        pytest.skip("this recording is not available")
    info = json.loads(run("info", path, "--json").stdout)
    assert (info["from_ts"], info["to_ts"]) == (1723161256322, 1723161601054)
    assert info["lists"]["trades"]["count"] == 21313 and info["lists"]["book"]["count"] == 6548
    out = tmp_path / "real.png"
    result = run("render", path, "--at", "2024-08-08T23:58:00Z", "-o", out, "--size", "1200x800")
    assert result.returncode == 0, result.stderr
    assert "frame at 2024-08-08 23:58:00.000 UTC" in result.stdout
    _image_checks(out, (1200, 800))
