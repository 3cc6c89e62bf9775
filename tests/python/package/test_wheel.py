"""The wheel: built with pip, tagged for the stable ABI, installed into a fresh environment and used."""

import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]


def test_wheel_builds_installs_and_runs(tmp_path):
    if shutil.which("cmake", path=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")) is None:
        pytest.skip("cmake is not available to build the wheel")
    try:
        import scikit_build_core  # noqa: F401
    except ImportError:
        pytest.skip("scikit-build-core is not installed, so the wheel cannot be built offline")
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    env.pop("PYTHONPATH", None)
    dist = tmp_path / "dist"
    build = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
                            "-w", str(dist), str(ROOT)], capture_output=True, text=True, env=env, timeout=1800)
    assert build.returncode == 0, build.stderr[-3000:]
    wheels = list(dist.glob("korvel_vorn-0.1.2-*.whl"))
    assert len(wheels) == 1
    wheel = wheels[0]
    assert wheel.name.split("-")[2:4] == ["cp311", "abi3"]
    names = set(zipfile.ZipFile(wheel).namelist())
    assert {"korvel_vorn/__init__.py", "korvel_vorn/_korvel_vorn.abi3.so", "korvel_vorn/_korvel_vorn.pyi",
            "korvel_vorn/_engine.abi3.so", "korvel_vorn/_engine.pyi", "korvel_vorn/py.typed",
            "korvel_vorn/__main__.py"} <= names
    # The viewer's page ships as package data: every file of its folder is in the wheel.
    static = ROOT / "python" / "korvel_vorn" / "viewer" / "static"
    shipped = {f"korvel_vorn/viewer/static/{p.name}" for p in static.iterdir() if p.is_file()}
    assert {"korvel_vorn/viewer/static/index.html", "korvel_vorn/viewer/static/viewer.js"} <= shipped <= names
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert "Requires-Dist: numpy>=1.24" in metadata

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True, timeout=300)
    python = venv / "bin" / "python"
    install = subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps", "-q",
                              "--no-index", str(wheel)], capture_output=True, text=True, env=env, timeout=600)
    assert install.returncode == 0, install.stderr[-3000:]
    # NumPy, the one run-time dependency, from this environment (appended after the venv's own
    # site-packages, so the package itself still comes from the wheel).
    import numpy

    site = next((venv / "lib").glob("python3*/site-packages"))
    (site / "numpy_from_test.pth").write_text(str(pathlib.Path(numpy.__file__).parents[1]) + "\n")

    work = tmp_path / "work"
    work.mkdir()
    script = (
        "import korvel_vorn, json\n"
        "from korvel_vorn import Session, dataset_json, footprint, spec_json\n"
        "assert korvel_vorn.__version__ == korvel_vorn.Vorn.version() == '0.1.2'\n"
        "s = Session(spec_json(symbol='S', panels=[footprint(1.0)]))\n"
        "s.load(dataset_json(trades=[(1, 100.2, 1.0, 'buy')]))\n"
        "print(s.frame_text())\n"
        "print(korvel_vorn.__file__)\n"
        "s.load_columns(oi={'ts': [5, 7], 'oi': [1.0, 2.0]})\n"
        "assert s.frame_arrays()['panels'][0]['price_bins'].size == 0\n"
        "from korvel_vorn.viewer.server import static_file\n"
        "assert static_file('/')[0].startswith(b'<!DOCTYPE html>') and static_file('/panels.js')[1] == 'text/javascript; charset=utf-8'\n"
    )
    used = subprocess.run([str(python), "-c", script], capture_output=True, text=True, cwd=work, timeout=300,
                          env={"PATH": os.environ.get("PATH", "")})
    assert used.returncode == 0, used.stderr
    reply, location = used.stdout.splitlines()[:2]
    assert reply == ('{"symbol":"S","cursor_ts":1,"panels":[{"kind":"footprint","price_bins":[100.0],'
                     '"buy_vol":[1.0],"sell_vol":[0.0]}]}')
    assert location.startswith(str(venv))
    (work / "d.json").write_text('{"oi":[{"ts":5,"oi":1.0}]}')
    cli = subprocess.run([str(python), "-m", "korvel_vorn", "info", "d.json"], capture_output=True, text=True,
                         cwd=work, timeout=300, env={"PATH": os.environ.get("PATH", "")})
    assert cli.returncode == 0, cli.stderr
    assert "records  1" in cli.stdout
