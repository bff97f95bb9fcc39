"""Argument binding, signatures and defaults of every exported function.

The catalogue (tests/_catalogue.py) is the public calling convention. Every
case is derived from it, so a function is covered as soon as it is
catalogued; until it is exported its cases are skipped.
"""

import importlib
import inspect

import numpy as np
import pytest

import korvel.sonix as s
from _catalogue import CATALOGUE, names

# (module, name, parameters, defaults of the trailing parameters)
FUNCTIONS = [(fn.module, fn.name, fn.params, fn.defaults) for fn in CATALOGUE]

IDS = [fn.short for fn in CATALOGUE]


@pytest.mark.parametrize("module", ["korvel.sonix", "korvel.pulsix"])
def test_the_catalogue_holds_every_exported_function(module):
    mod = importlib.import_module(module)
    exported_here = {name for name, value in vars(mod).items()
                     if callable(value) and getattr(value, "__module__", None) == module}
    missing = sorted(exported_here - set(names(module)))
    assert not missing, f"exported by {module} but not in tests/_catalogue.py: {missing}"


def exported(module, name):
    fn = getattr(importlib.import_module(module), name, None)
    if fn is None:
        pytest.skip(f"{module}.{name} is not exported yet")
    return fn


def count_message(name, exact, bound, expected, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, "exactly" if exact else bound, expected, "" if expected == 1 else "s", given)


class Arg:
    """A distinct, inert argument value; binding errors happen before any use."""


def binding_cases(name, params, defaults):
    """(description, args, kwargs, expected message) for one function."""
    P = len(params)
    R = P - len(defaults or ())
    exact = not defaults
    first_missing = lambda i: count_message(name, exact, "at least", R, i)  # noqa: E731
    too_many = count_message(name, exact, "at most", P, P + 1)
    cases = [
        ("too many positional", [Arg()] * (P + 1), {}, too_many),
        ("far too many positional", [Arg()] * (P + 12), {},
         count_message(name, exact, "at most", P, P + 12)),
        ("too many positional beats unknown keyword", [Arg()] * (P + 1), {"zzz": 1}, too_many),
        ("too many positional beats duplicate", [Arg()] * (P + 1), {params[0]: 1}, too_many),
        ("no arguments", [], {}, first_missing(0)),
        ("first parameter twice", [Arg()] * R + ([] if R else [Arg()]), {params[0]: 1},
         "%s() got multiple values for keyword argument '%s'" % (name, params[0])),
        ("unknown keyword", [Arg()] * R, {"zzz": 1},
         "%s() got an unexpected keyword argument 'zzz'" % name),
        ("non-string keyword", [Arg()] * R, {1: 2}, "%s() keywords must be strings" % name),
        ("all by keyword, then unknown", [], {**{p: Arg() for p in params}, "zzz": 1},
         "%s() got an unexpected keyword argument 'zzz'" % name),
    ]
    if R >= 1:
        cases += [
            ("one too few positional", [Arg()] * (R - 1), {}, first_missing(R - 1)),
            # A missing required parameter is reported before a bad keyword.
            ("missing required beats unknown keyword", [], {"zzz": 1}, first_missing(0)),
            ("missing required beats non-string keyword", [], {1: 2}, first_missing(0)),
            ("last required missing, rest by keyword", [],
             {p: Arg() for p in params if p != params[R - 1]}, first_missing(R - 1)),
        ]
    if R >= 2:
        cases.append(("positional then keywords skip one", [Arg()],
                      {p: Arg() for p in params[2:]}, first_missing(1)))
    if P >= 2:
        # Leftover keywords are checked in the order they were given.
        cases += [
            ("unknown before duplicate", [Arg()] * P, {"zzz": 1, params[0]: 1},
             "%s() got an unexpected keyword argument 'zzz'" % name),
            ("duplicate before unknown", [Arg()] * P, {params[-1]: 1, "zzz": 1},
             "%s() got multiple values for keyword argument '%s'" % (name, params[-1])),
            ("non-string before duplicate", [Arg()] * P, {2: 1, params[1]: 1},
             "%s() keywords must be strings" % name),
        ]
    else:
        cases += [
            ("duplicate before unknown", [Arg()], {params[0]: 1, "zzz": 1},
             "%s() got multiple values for keyword argument '%s'" % (name, params[0])),
            ("unknown before duplicate", [Arg()], {"zzz": 1, params[0]: 1},
             "%s() got an unexpected keyword argument 'zzz'" % name),
        ]
    # Names are compared by value, not identity: a freshly built string matches.
    fresh = "".join(list(params[0]))
    cases.append(("built keyword name duplicates", [Arg()] * max(R, 1), {fresh: 1},
                  "%s() got multiple values for keyword argument '%s'" % (name, params[0])))
    # Keyword names match exactly: no case folding, no prefix matching.
    cases.append(("case differs", [Arg()] * R, {params[-1].upper(): 1},
                  "%s() got an unexpected keyword argument '%s'" % (name, params[-1].upper())))
    return cases


ALL_CASES = [
    pytest.param(module, name, args, kwargs, message, id=f"{ident}-{desc}")
    for (module, name, params, defaults), ident in zip(FUNCTIONS, IDS)
    for desc, args, kwargs, message in binding_cases(name, params, defaults)
]


@pytest.mark.parametrize("module,name,args,kwargs,message", ALL_CASES)
def test_binding_error_message(module, name, args, kwargs, message):
    fn = exported(module, name)
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    assert type(info.value) is TypeError


@pytest.mark.parametrize("call,message", [
    (lambda s, a: s.stft_mag(x=a, foo=1),
     "stft_mag() takes at least 3 positional arguments (1 given)"),
    (lambda s, a: s.stft(a, 256, 64, 1, None, True, 0),
     "stft() takes at most 6 positional arguments (7 given)"),
    (lambda s, a: s.freq_to_pitch(440.0, f=1),
     "freq_to_pitch() got multiple values for keyword argument 'f'"),
    (lambda s, a: s.freq_to_pitch(440.0, 1),
     "freq_to_pitch() takes exactly 1 positional argument (2 given)"),
    (lambda s, a: s.stft_mag(a),
     "stft_mag() takes at least 3 positional arguments (1 given)"),
    (lambda s, a: s.freq_to_pitch(**{1: 2}),
     "freq_to_pitch() takes exactly 1 positional argument (0 given)"),
    (lambda s, a: s.freq_to_pitch(440.0, **{1: 2}),
     "freq_to_pitch() keywords must be strings"),
    (lambda s, a: s.stft(a, 4, 2, **{(1, 2): 3}), "stft() keywords must be strings"),
])
def test_documented_binding_examples(call, message):
    with pytest.raises(TypeError) as info:
        call(s, np.ones(8))
    assert str(info.value) == message


@pytest.mark.parametrize("module,name,params,defaults", FUNCTIONS, ids=IDS)
def test_function_attributes(module, name, params, defaults):
    fn = exported(module, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == module
    assert fn.__defaults__ == defaults
    if defaults is not None:
        assert type(fn.__defaults__) is tuple
        assert [type(d) for d in fn.__defaults__] == [type(d) for d in defaults]
    assert isinstance(fn.__doc__, str)


@pytest.mark.parametrize("module,name,params,defaults", FUNCTIONS, ids=IDS)
def test_signature(module, name, params, defaults):
    fn = exported(module, name)
    sig = inspect.signature(fn)
    assert tuple(sig.parameters) == params
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    R = len(params) - len(defaults or ())
    got_defaults = [p.default for p in sig.parameters.values()]
    assert got_defaults[:R] == [inspect.Parameter.empty] * R
    assert tuple(got_defaults[R:]) == (defaults or ())
    # The signature is usable for binding the way callers expect.
    bound = sig.bind(*range(R))
    bound.apply_defaults()
    assert tuple(bound.arguments.values()) == tuple(range(R)) + (defaults or ())


def test_keyword_and_positional_calls_agree():
    """Binding never converts: keywords, positions and defaults give the same bits."""
    x = np.random.default_rng(1).standard_normal(300)
    ref = s.stft(x, 32, 8, 1, None, True)
    for got in (s.stft(x, 32, 8),
                s.stft(centered=True, window=None, zp_factor=1, hop_size=8, win_len=32, x=x),
                s.stft(x, 32, hop_size=8, centered=True),
                s.stft(x, **{"win_len": 32, "hop_size": 8})):
        assert got.tobytes() == ref.tobytes()
    mag = s.stft_mag(x, 32, 8)
    assert s.stft_mag(hop_size=8, x=x, win_len=32, zp_factor=1).tobytes() == mag.tobytes()
    assert s.freq_to_pitch(f=880) == 81.0
