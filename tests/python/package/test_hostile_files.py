"""Every hostile file is one line on stderr and exit status 1, in every command: decompression
failures, nesting too deep for Python's JSON, endless or huge inputs, over-long messages."""

import gzip
import subprocess
import sys

import pytest

from conftest import child_env

DATASET = '{"trades":[[1,100.0,1.0,"buy"],[2,101.0,2.0,"sell"]],"book":[[1,"snapshot",[[99.0,1.0]],[[102.0,1.0]]]]}'


def run(*args):
    env = child_env(MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "korvel_vorn", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=600)


def _files(tmp_path):
    good = tmp_path / "good.json"
    good.write_text(DATASET)
    packed = gzip.compress(DATASET.encode() * 2000)
    (tmp_path / "cut.json.gz").write_bytes(packed[: len(packed) // 2])
    (tmp_path / "fake.json.gz").write_bytes(b"plain text, not gzip")
    corrupt = bytearray(gzip.compress(b'{"oi":[' + b"[1,1.0]," * 50_000 + b"[2,2.0]]}"))
    corrupt[len(corrupt) // 2] ^= 0xFF
    (tmp_path / "corrupt.json.gz").write_bytes(bytes(corrupt))
    (tmp_path / "bomb.json.gz").write_bytes(gzip.compress(b" " * (64 << 20)))
    (tmp_path / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    return good


@pytest.mark.parametrize("command", [["info"], ["frame"], ["render", "-o", "{tmp}/x.png"], ["view", "--port", "1"]])
@pytest.mark.parametrize("dataset, extra, message", [
    ("cut.json.gz", [], "cannot read .*cut.json.gz: Compressed file ended"),
    ("fake.json.gz", [], "cannot read .*fake.json.gz: Not a gzipped file"),
    ("corrupt.json.gz", [], "cannot read .*corrupt.json.gz: (CRC check failed|Error -3)"),
    ("bomb.json.gz", ["--max-size", "1M"], "cannot read .*bomb.json.gz: it expands to more than 1048576 bytes"),
    ("/dev/zero", [], "parse: expected value at line 1 column 1 of /dev/zero"),
    ("good.json", ["--max-size", "10"], "cannot read .*good.json: File too large"),
])
def test_hostile_datasets_are_one_line(tmp_path, command, dataset, extra, message):
    import re

    if command[0] == "info" and "--spec" in extra:
        pytest.skip("info takes no spec")
    _files(tmp_path)
    path = dataset if dataset.startswith("/") else tmp_path / dataset
    args = [a.replace("{tmp}", str(tmp_path)) for a in command]
    result = run(args[0], path, *args[1:], *extra)
    assert result.returncode == 1, result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in result.stderr, result.stderr
    assert re.search(message, lines[0]), lines[0]


@pytest.mark.parametrize("spec", ["FILE", "[" * 5000 + "]" * 5000])
@pytest.mark.parametrize("command", ["frame", "render"])
def test_a_spec_nested_too_deeply_is_one_line(tmp_path, spec, command):
    good = _files(tmp_path)
    spec = str(tmp_path / "deep.json") if spec == "FILE" else spec
    result = run(command, good, "--spec", spec, *(["-o", tmp_path / "x.png"] if command == "render" else []))
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.strip().endswith("nests too deeply")


def test_over_long_messages_are_cut_with_a_count(tmp_path):
    source = tmp_path / "wide.csv"
    source.write_text(",".join(f"column{i}" for i in range(200_000)) + "\n" + ",".join(["1"] * 200_000) + "\n")
    result = run("convert", source, "-o", tmp_path / "x.json")
    assert result.returncode == 1
    line = result.stderr.strip()
    assert "\n" not in line and len(line) < 2200
    assert line.endswith("more characters)")


def test_a_headerless_csv_is_never_at_line_0(tmp_path):
    source = tmp_path / "two.csv"
    source.write_text("\n\n1,2\n")
    result = run("convert", source, "-o", tmp_path / "x.json")
    assert result.returncode == 1
    assert f"{source}:3: a CSV without header" in result.stderr
