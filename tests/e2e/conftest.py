import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "board"))
import sandbox  # noqa: E402


def pytest_configure(config):
    # Ended from outside (ctest, a CI job), the run still tears its fixtures
    # down: its session daemon, its mounts and its loop devices.
    def interrupted(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, interrupted)


def pytest_addoption(parser):
    parser.addoption("--program", required=True, help="the dump handler binary")
    parser.addoption("--wrapper", default="", help="command that runs the program, e.g. valgrind")
    parser.addoption("--emulator", default="", help="user-mode emulator for a cross-built program")
    parser.addoption("--busybox", default="", help="a BusyBox binary: the shell and every command the program runs")
    parser.addoption("--cutter", default="", help="tools/powercut/cutter.c, built; without it the crash harness is skipped")
    parser.addoption("--consumerd", default="", help="the target architecture's LTTng consumer daemon under the "
                     "emulator (a program or script), through which the session daemon records the emulated program")


@pytest.fixture(scope="session")
def program(request):
    return Path(request.config.getoption("--program")).resolve()


@pytest.fixture(scope="session")
def lttng_daemon(tmp_path_factory, program, request):
    """The run's own session daemon, seen only by its own programs."""
    consumerd = request.config.getoption("--consumerd") or None
    if consumerd:  # it records the programs of our word size: the ELF class, 32 or 64 bits
        consumerd = ({1: 32, 2: 64}[program.read_bytes()[4]], Path(consumerd).resolve())
    with sandbox.PrivateLttng(tmp_path_factory.mktemp("lttng"), consumerd=consumerd) as daemon:
        yield daemon


@pytest.fixture(scope="session")
def busybox(tmp_path_factory, request):
    binary = request.config.getoption("--busybox")
    if not binary:
        return None
    applets = sandbox.BusyBox(tmp_path_factory.mktemp("busybox"), shutil.which(binary) or binary)
    # Where the program's shell looks, the shell and each command it runs are BusyBox.
    probe = 'for c in sh mkdir ln mv find rm; do readlink -f "$(command -v $c)"; done'
    found = subprocess.run(["bwrap", "--dev-bind", "/", "/", *applets.binds(), "--", "sh", "-c", probe],
                           capture_output=True, text=True)
    assert found.stdout.split() == ["/usr/sbin/busybox"] * 6, found.stdout + found.stderr
    return applets


@pytest.fixture
def board(tmp_path, program, request, lttng_daemon, busybox):
    wrapper = request.config.getoption("--wrapper").split()
    b = sandbox.Board(tmp_path, program, wrapper, emulator=request.config.getoption("--emulator").split(),
                      lttng=lttng_daemon, busybox=busybox)
    b.on_unsupported = pytest.skip
    yield b
    b.close()
