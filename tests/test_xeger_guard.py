"""Native rows against the forced calls when what a row depends on is changed in
ways a guard that checked names would miss: one scenario per child process
(xeger_scenarios.py), values, exception and entries, random's and numpy's
states, rstr's group cache and the counts of patched functions compared."""
import json
import os
import subprocess
import sys

import pytest

from conftest import PY
from xeger_scenarios import SCENARIOS

HERE = os.path.dirname(os.path.abspath(__file__))
# Changes whose calls give what an unchanged run gives: only a native row that
# raised or counted differently would show.
TRANSPARENT = {"Random.seed raises", "Random.getstate counted", "Random.getrandbits counted",
               "no dict watcher left"}
if PY >= (3, 14):  # randint no longer goes through randrange
    TRANSPARENT |= {"randrange defaults", "randrange defaults after"}


def scenario(name):
    proc = subprocess.run([sys.executable, os.path.join(HERE, "xeger_scenarios.py"), name], cwd=HERE,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_native_rows_follow_every_change(name):
    if name == "no dict watcher left" and PY < (3, 12):
        pytest.skip("dictionary watchers exist from 3.12 on")
    verdict = scenario(name)
    assert verdict["differs"] == [], (verdict["native"], verdict["forced"])
    if name not in TRANSPARENT:  # the change shows in the calls: the comparison can catch a stale row
        assert verdict["forced"] != verdict["plain"]


@pytest.mark.skipif(PY < (3, 12), reason="a C-call budget of its own from 3.12 on")
def test_near_the_end_of_the_c_budget_rows_are_calls():
    verdict = scenario("C budget")
    # some depths make the calls raise RecursionError: the rows near the end are tried
    assert verdict["differs"] == [] and verdict["raised"] >= 1 and verdict["depths"] > verdict["raised"]


def test_a_new_process_calls_once_for_a_new_pattern():
    # the first row of a pattern new to the process is a call, then rows are native
    assert scenario("first sample")["calls"] == [1, 0]
