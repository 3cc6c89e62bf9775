"""The package on every platform: no calls that exist on one system only, files read where
os.pread is missing, and long-running commands stopped by Ctrl+C (SIGINT), SIGTERM, or Ctrl+Break
(SIGBREAK) on Windows."""

from __future__ import annotations

import os
import pathlib
import re
import signal
import subprocess
import sys
import threading

import pytest

import korvel_vorn
from conftest import child_env
from korvel_vorn import stopping
from korvel_vorn.convert import store
from korvel_vorn.sample import sample_dataset_json

PACKAGE = pathlib.Path(korvel_vorn.__file__).parent

# What the package must not hold, with why, and the files allowed to (each checks the system
# first: a hasattr or an except around the call): each works on some systems only, or runs a shell.
FORBIDDEN = [
    (r"\bos\.(fork|forkpty|getuid|geteuid|setsid|killpg|getpgid|mkfifo|sched_\w+|posix_\w+|statvfs)\b", "POSIX only",
     ("batch/runner.py",)),
    (r"\bos\.(pread|pwrite)\(", "POSIX only: use convert.store.read_at", ("convert/store.py",)),
    (r"\bos\.rename\(", "fails on Windows when the target exists: use os.replace", ()),
    (r"\bsignal\.(SIGTERM|SIGKILL|SIGHUP|SIGBREAK|SIGALRM|alarm|setitimer)\b|add_signal_handler",
     "not on every system (asyncio's add_signal_handler is missing on Windows): use stopping.py", ("stopping.py",)),
    (r"^(import|from) (fcntl|termios|resource|pwd|grp|msvcrt|winreg)\b", "one system's module, imported unguarded", ()),
    (r"\b(os\.system|os\.popen|subprocess)\b|shell=True", "no shell commands", ()),
    (r"[\"']/(tmp|dev|proc)/", "a path of one system: use tempfile", ("batch/job.py",)),
    (r"get_context\([\"']fork", "fork: processes start with spawn", ()),
]


def package_sources() -> list[pathlib.Path]:
    return sorted(PACKAGE.rglob("*.py"))


@pytest.mark.parametrize("pattern, why, allowed", FORBIDDEN, ids=[why for _, why, _ in FORBIDDEN])
def test_the_package_holds_no_call_of_one_system(pattern: str, why: str, allowed: tuple[str, ...]) -> None:
    found = []
    for path in package_sources():
        name = path.relative_to(PACKAGE).as_posix()
        if name in allowed:
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            if re.search(pattern, line.split("#", 1)[0]):
                found.append(f"{name}:{number}: {line.strip()}")
    assert found == [], why


def test_process_pools_start_processes_with_spawn() -> None:
    # A local process pool (multiprocessing, concurrent.futures, a local Dask cluster) starts its
    # processes with spawn, the one start method of every system.
    for path in package_sources():
        text = path.read_text(encoding="utf-8")
        if re.search(r"\b(ProcessPoolExecutor|multiprocessing\.Pool|LocalCluster)\(", text):
            assert "spawn" in text, f"{path.relative_to(PACKAGE)} creates a process pool without spawn"


@pytest.mark.parametrize("size, offset", [(0, 0), (5, 0), (5, 7), (100, 3), (0, 26), (4, 24), (10, 40)])
def test_read_at_without_pread_reads_alike_and_leaves_appends_at_the_end(tmp_path, monkeypatch, size, offset) -> None:
    with open(tmp_path / "column", "w+b", buffering=0) as file:
        file.write(b"abcdefghijklmnopqrstuvwxyz")
        expected = store.read_at(file, size, offset)
        assert expected == b"abcdefghijklmnopqrstuvwxyz"[offset:offset + size]
        monkeypatch.delattr(os, "pread", raising=False)
        assert store.read_at(file, size, offset) == expected
        file.write(b"!")
    assert (tmp_path / "column").read_bytes() == b"abcdefghijklmnopqrstuvwxyz!"


def test_stop_signals_of_this_system() -> None:
    names = [s.name for s in stopping.stop_signals()]
    assert names[0] == "SIGINT"
    assert ("SIGBREAK" in names) == (sys.platform == "win32")
    assert ("SIGTERM" in names) == hasattr(signal, "SIGTERM")


@pytest.mark.parametrize("name", [n for n in stopping.STOP_SIGNAL_NAMES if hasattr(signal, n)])
def test_a_stop_signal_calls_stop_once_then_interrupts(name: str) -> None:
    signum = getattr(signal, name)
    before = signal.getsignal(signum)
    stops: list[int] = []
    with stopping.stop_on_signals(lambda: stops.append(1)) as request:
        signal.raise_signal(signum)
        assert stops == [1] and request.signum == signum and request.event.is_set()
        with pytest.raises(stopping.Stopped) as second:
            signal.raise_signal(signum)
        assert second.value.exit_status == 128 + signum
        with pytest.raises(stopping.Stopped):
            request.raise_if_stopped()
    assert stops == [1]
    assert signal.getsignal(signum) == before


def test_off_the_main_thread_nothing_is_installed() -> None:
    before = signal.getsignal(signal.SIGINT)
    seen: list[object] = []

    def run() -> None:
        with stopping.stop_on_signals(lambda: None) as request:
            seen.append(signal.getsignal(signal.SIGINT))
            request.raise_if_stopped()  # nothing arrived

    thread = threading.Thread(target=run)
    thread.start()
    thread.join(10)
    assert seen == [before]


@pytest.mark.skipif(sys.platform == "win32", reason="sends POSIX signals to a child")
@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM"])
def test_view_stops_on_a_signal_and_exits_with_its_status(tmp_path, name: str) -> None:
    pytest.importorskip("websockets")
    dataset = tmp_path / "sample.dataset.json"
    dataset.write_text(sample_dataset_json(3), encoding="utf-8")
    child = subprocess.Popen([sys.executable, "-m", "korvel_vorn", "view", str(dataset), "--port", "0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        assert child.stdout is not None
        line = child.stdout.readline()
        assert line.startswith("serving the replay of"), line + (child.stderr.read() if child.stderr else "")
        child.send_signal(getattr(signal, name))
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 128 + getattr(signal, name), err
    assert "Traceback" not in err
