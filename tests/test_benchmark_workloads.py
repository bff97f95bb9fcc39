"""The benchmark measures every catalogued function, and the workload it
makes from a catalogued call compares korvel with the transcription."""

import sys
from pathlib import Path

import pytest

from _catalogue import CATALOGUE

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))
workloads = pytest.importorskip("workloads")
measure = pytest.importorskip("measure")


def test_every_catalogued_function_is_measured():
    measured = {name for w in workloads.WORKLOADS for name in w.functions}
    assert {fn.name for fn in CATALOGUE} <= measured


@pytest.mark.parametrize("fn", CATALOGUE, ids=[fn.short for fn in CATALOGUE])
def test_the_workload_of_a_typical_call_runs_every_contender_alike(fn):
    contenders = workloads.catalogued_workload(fn).make(None)
    assert set(contenders) == {"korvel", "ref", "baseline"}
    results = {name: call(*args) for name, (call, args) in contenders.items()}
    assert contenders["korvel"][0] is fn.fn
    assert measure.same_bits(results["korvel"], results["baseline"])
    assert measure.same_bits(results["ref"], results["baseline"])
