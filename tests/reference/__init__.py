"""The reference korvel is held to.

`transcription` is the plain Python + NumPy program of every extension
function: the same steps, in the same order, run by the interpreter.  It is
the oracle of the differential tests (compared through tests/_oracle.py)
and the "baseline" contender of benchmarks/bench.py, so it stays one
readable module with no dependency on korvel or on the test suite.
"""
