"""Power cuts at every step of a move: the dump area keeps every write, the
flash (a loop-mounted image, long commit interval) only what reached the
device. At each call the tree is frozen, the image copied and the tree
killed; the copy is mounted as after a reboot. A rerun must then finish the
move with nothing lost, damaged or left behind, and a further move work."""

import os
import shutil
import sys
import time
from pathlib import Path

import pytest

from dumps import chip_dumps
from moves import Chip, check_outcome, failure_report, lay_chips, refusing_links, run_and_check, small_set

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "powercut"))
from powercut import Flash, crash_points, cut_and_reboot, make_template, overwrite_canary, read_census, traced  # noqa: E402


def two_chips():
    """Chip 1's retention deletes set 1 and keeps set 4; chip 2's link
    directory does not exist yet."""
    return [
        Chip(1, "links1", 3, seq=5, waiting=chip_dumps(1, 400_000), further=chip_dumps(1, 8_000, seed=100),
             old_sets={1: small_set(1, 1), 4: small_set(1, 4)}, dropped=frozenset({1}),
             further_dropped=frozenset({1})),
        Chip(2, "new/links2", 3, seq=1, waiting=chip_dumps(2, 60_000), further=chip_dumps(2, 8_000, seed=100)),
    ]


def final_through_a_soft_link():
    """The final dump directory is named through a soft link on the flash;
    the retention deletes two sets, whose deletion must last too."""
    return [Chip(4, "links4", 2, seq=9, waiting=chip_dumps(4, 60_000), further=chip_dumps(4, 8_000, seed=100),
                 old_sets={6: small_set(4, 6), 7: small_set(4, 7), 8: small_set(4, 8)},
                 dropped=frozenset({6, 7}), further_dropped=frozenset({6, 7, 8}), final_via="final-link")]


# On btrfs a file's fsync does not carry other changes of its directory to
# the device, so a directory that is never synchronised loses them.
# (A move that resumes an interrupted one is cut at every step by the crash explorer.)
SCENARIOS = {"two_chips": (two_chips, "ext4"), "final_through_a_soft_link": (final_through_a_soft_link, "btrfs"), **{
    f"without_hard_links_{fs}": (lambda: [Chip(5, "links5", 3, seq=1, waiting=chip_dumps(5, 60_000), no_hard_links=True,
                                               further=chip_dumps(5, 8_000, seed=100))], fs) for fs in ("ext4", "btrfs")}}


@pytest.fixture(scope="session")
def flash_templates(request, tmp_path_factory):
    config = request.config
    if not config.getoption("--cutpoint", default=None):
        pytest.skip("needs --cutpoint, the tracer that stops the program at a chosen call")
    if config.getoption("--emulator", default=""):
        pytest.skip("the tracer follows native processes only")
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("losetup", "mkfs.ext4", "mkfs.btrfs")):
        pytest.skip("needs root, losetup, mkfs.ext4 and mkfs.btrfs for a loop-mounted flash")
    templates = {}
    for fstype in ("ext4", "btrfs"):
        templates[fstype] = tmp_path_factory.mktemp("flash-template") / f"{fstype}.img"
        make_template(templates[fstype], fstype)
    return templates


def lay_out(board, flash, chips):
    """A fresh flash holding the stored sets durably, an overwritten canary
    that is not, and the dump area with the waiting dumps."""
    flash.fresh()
    flash.final.mkdir()
    shutil.rmtree(board.zol)
    board.zol.mkdir()
    lay_chips(board, flash, chips)
    overwrite_canary(flash)


def take_census(board, flash, chips, cutpoint):
    census = flash.base / "census.txt"
    lay_out(board, flash, chips)
    options, _ = refusing_links(board, chips, cutpoint, [flash.root, "/run/pmem"])
    run = board.run(wrapper=traced(cutpoint, [flash.root, "/run/pmem"], *options, "--census", census), unshare_pid=True)
    assert run.returncode == 0, run.stderr
    # The checks themselves must hold for a move that no cut disturbs.
    assert check_outcome(board, flash, chips) == []
    flash.release()
    return read_census(census)


def power_cut_at(board, flash, chips, cutpoint, call):
    """Problems after a cut before the call, a rerun and a further move."""
    try:
        options, rerun = refusing_links(board, chips, cutpoint, [flash.root, "/run/pmem"])
        harness = cut_and_reboot(board, flash, lambda: lay_out(board, flash, chips), cutpoint, call, options)
        return [harness] if harness else run_and_check(board, flash, chips, rerun)
    finally:
        flash.release()


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_power_cut_at_every_step_loses_nothing(board, tmp_path, request, flash_templates, scenario):
    make_chips, fstype = SCENARIOS[scenario]
    chips = make_chips()
    cutpoint = str(Path(request.config.getoption("--cutpoint")).resolve())
    flash = Flash(tmp_path, flash_templates[fstype], fstype)
    request.addfinalizer(flash.close)
    started = time.monotonic()
    calls = take_census(board, flash, chips, cutpoint)
    points = crash_points(calls)
    failing = {}
    for call in points:
        problems = power_cut_at(board, flash, chips, cutpoint, call)
        if problems:
            failing[f"cut before {call}"] = problems
    seconds = time.monotonic() - started
    summary = (f"{scenario}: {len(calls)} relevant calls, {len(points)} crash points, "
               f"{len(failing)} losing something, {flash.write_backs} retried, {seconds:.0f} s")
    print(summary)
    if failing:
        pytest.fail(failure_report(summary, failing), pytrace=False)
