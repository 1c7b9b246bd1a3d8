"""The chaos table's fixed-seed slice, for the test command: every row once
through fault_proxy and once on a good link (scripts/chaos.sh runs it long)."""
import pytest

import chaos

SEED = 1


@pytest.fixture(scope="module")
def table():
    runner = chaos.Runner(rate=2.0, stall_ms=3500)
    defects = runner.run_rows(chaos.ROWS, SEED, parallel=3)
    print(runner.table())
    return runner, defects


@pytest.mark.parametrize("row", chaos.ROWS, ids=[row.name for row in chaos.ROWS])
def test_nothing_is_lost_or_mixed(table, row):
    runner, defects = table
    if runner.unavailable(row):
        pytest.skip(f"{row.name}: {runner.unavailable(row)}")
    assert defects[row.name] == []


def test_the_link_broke_and_the_hosts_said_so(table):
    runner, _ = table
    assert sum(figures["faults"] for figures in runner.figures.values()) > 0
    assert sum(figures["reported"] for figures in runner.figures.values()) > 0
