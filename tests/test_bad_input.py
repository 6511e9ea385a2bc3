"""Every member of the module, called with hostile arguments, either succeeds or
raises an ordinary exception, and a failed call leaves its objects unchanged."""

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import surface
from conftest import examples

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

SAMPLES = surface.find_samples()
MEMBERS = surface.members(SAMPLES)
PANIC = surface.panic_type()
KNOWN_TYPES = {type(r.make()) for recipes in SAMPLES.values() for r in recipes[:1]}
CLASSES = {cls.__name__: cls for cls in surface.module_classes()}
FUNCTIONS = dict(surface.module_functions())
CALLS = {"count": 0}
# About 8000 calls in all, however many members there are.
EXAMPLES = max(12, min(60, 8000 // max(1, len(MEMBERS))))


class Boom(Exception):
    """Raised by the hostile objects below."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Hostile:
    """An object whose protocol methods misbehave in one chosen way."""

    def __init__(self, how, ctx):
        self.how, self.ctx = how, ctx

    def _act(self, protocol):
        how = self.how
        if how == f"{protocol}-raises":
            raise Boom(protocol)
        if how == f"{protocol}-mutates":
            self.ctx.mutate()
        return how == f"{protocol}-wrong"

    def __float__(self):
        return "not a float" if self._act("float") else 2.0

    def __index__(self):
        return 1.5 if self._act("index") else 1

    def __len__(self):
        return -1 if self._act("len") else 2

    def __getitem__(self, i):
        if self._act("getitem"):
            return "not a vector"
        if i >= 2:
            raise IndexError(i)
        return self.ctx.vector()

    def __iter__(self):
        return 7 if self._act("iter") else iter([self.ctx.vector(), self.ctx.vector()])

    def __eq__(self, other):
        return "truthy" if self._act("eq") else NotImplemented

    __hash__ = None

    def __repr__(self):
        return f"Hostile({self.how})"


HOW = [f"{p}-{w}" for p in ("float", "index", "len", "getitem", "iter", "eq") for w in ("raises", "mutates", "wrong")]


class Context:
    """Per call: the receiver, and whether a hostile object changed it."""

    def __init__(self, receiver):
        self.receiver = receiver
        self.mutated = False

    def vector(self):
        recipes = SAMPLES.get("Vec3d")
        return recipes[0].make() if recipes else 1.0

    def mutate(self):
        self.mutated = True
        r = self.receiver
        if r is None:
            return
        for attr in ("x", "w", "angle", "radius", "distance"):
            if hasattr(type(r), attr):
                try:
                    setattr(r, attr, 9.0)
                except BaseException:  # noqa: BLE001 - a refused write is one of the outcomes
                    pass
        if hasattr(r, "append"):
            try:
                r.append(self.vector())
            except BaseException:  # noqa: BLE001
                pass


PLAIN = [
    None, True, False, 0, 1, 2, 3, -1, 2**31, 2**63, 2**64, -(2**63), 10**400, -(10**400),
    math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, 5e-324, -1e-300,
    FloatSub(1.5), FloatSub(math.nan), IntSub(2), IntSub(-3), "1.0", "", b"1", bytearray(b"x"),
    [], (), [1.0, 2.0, 3.0], (1, 2, 3), [[1, 2, 3]], {1: 2}, {1.0}, object(), 1j, slice(0, 1), range(3),
]


def make_value(kind, ctx):
    tag, item = kind
    if tag == "plain":
        return PLAIN[item]
    if tag == "hostile":
        return Hostile(HOW[item], ctx)
    if tag == "receiver":
        return ctx.receiver
    recipes = SAMPLES[tag]
    made = recipes[item % len(recipes)].make()
    return [made, made] if item >= len(recipes) else made


VALUE_KINDS = (
    [("plain", i) for i in range(len(PLAIN))]
    + [("hostile", i) for i in range(len(HOW))]
    + [("receiver", 0)]
    + [(name, i) for name, recipes in SAMPLES.items() for i in range(2 * len(recipes))]
)


def documented_panic(member, error):
    return (member.owner, member.name) in surface.DOCUMENTED_PANICS and (
        str(error.args[0]) if error.args else ""
    ) in surface.DOCUMENTED_PANICS[(member.owner, member.name)]


def check_call(member, receiver_recipe, kinds, keywords):
    receiver = receiver_recipe.make() if receiver_recipe else None
    ctx = Context(receiver)
    args = [make_value(k, ctx) for k in kinds]
    watched = [receiver] + [a for a in args if type(a) in KNOWN_TYPES]
    before = [surface.state(o) for o in watched if o is not None]
    CALLS["count"] += 1
    try:
        if keywords and member.kind in ("ctor", "static", "method", "func"):
            names = member.params + ["bogus"]
            call_args = dict(zip(names, args))
            target = {"ctor": lambda: CLASSES[member.owner](**call_args),
                      "func": lambda: FUNCTIONS[member.name](**call_args),
                      "static": lambda: getattr(CLASSES[member.owner], member.name)(**call_args),
                      "method": lambda: getattr(receiver, member.name)(**call_args)}[member.kind]
            target()
        else:
            member.call(receiver, args)
    except (*surface.ALLOWED, Boom) as error:
        failure = error
    except StopIteration as error:
        assert member.name == "next", member.label
        failure = error
    except BaseException as error:
        if PANIC is not None and isinstance(error, PANIC) and documented_panic(member, error):
            failure = error
        else:
            raise AssertionError(f"{member.label}{tuple(args)!r} raised {error!r}") from error
    else:
        return
    assert not isinstance(failure, ZeroDivisionError)
    if not ctx.mutated:
        after = [surface.state(o) for o in watched if o is not None]
        assert after == before, f"{member.label}{tuple(args)!r} failed with {failure!r} but changed state"


def arity_strategy(member):
    n = len(member.params)
    return st.one_of(st.just(n), st.just(n), st.just(n), st.integers(max(0, n - 1), n + 1))


@pytest.mark.parametrize("member", MEMBERS, ids=lambda m: m.label)
@settings(max_examples=examples(EXAMPLES), deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
@given(data=st.data())
def test_member_survives_bad_input(member, data):
    recipes = SAMPLES.get(member.owner, [])
    recipe = data.draw(st.sampled_from(recipes)) if surface.needs_receiver(member) else None
    n = data.draw(arity_strategy(member)) if member.kind in ("ctor", "static", "method", "func") else len(member.params)
    kinds = data.draw(st.lists(st.sampled_from(VALUE_KINDS), min_size=n, max_size=n))
    keywords = data.draw(st.booleans()) and data.draw(st.booleans())
    check_call(member, recipe, kinds, keywords)


def test_sweep_covered_the_surface(capsys):
    if not MEMBERS:
        pytest.skip("no class of the module has landed")
    owners = {m.owner for m in MEMBERS}
    assert "Vec3d" in owners
    with capsys.disabled():
        print(f"\nbad-input sweep: {len(MEMBERS)} members of {len(owners)} owners, {CALLS['count']} calls")


@pytest.mark.parametrize("owner", sorted(SAMPLES))
@pytest.mark.parametrize("divisor", [0, 0.0, -0.0, False, IntSub(0), FloatSub(0.0)], ids=repr)
def test_division_by_zero_never_raises_zero_division(owner, divisor):
    for recipe in SAMPLES[owner]:
        try:
            recipe.make() / divisor
        except TypeError:
            pass  # the class has no division
