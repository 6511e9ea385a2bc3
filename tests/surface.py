"""The public surface of quorral and quorral.geometry, found by introspection.

Classes that are not usable yet (no way to build an instance) contribute no
members, so the checks built on this module grow as classes land.
"""

import array
import itertools
import operator
import types
from dataclasses import dataclass
from typing import Callable

import quorral

MODULES = (quorral, quorral.geometry)

# The exceptions a call may end with; anything else (and a crash) is a fault.
ALLOWED = (TypeError, ValueError, OverflowError, IndexError, RuntimeError, AttributeError)

# Internal failures that are documented: (class, member) -> messages.
DOCUMENTED_PANICS = {
    ("VecList", "collapse"): {"assertion failed: axis <= 2"},
    ("VecList", "minimum_distance_to"): {
        "assertion failed: stride != 0",
        "called `Option::unwrap()` on a `None` value",
    },
}

BINARY_OPS = {
    "+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv,
    "//": operator.floordiv, "%": operator.mod, "**": operator.pow, "@": operator.matmul,
    "==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
    ">": operator.gt, ">=": operator.ge, "[]": operator.getitem, "in": lambda a, b: b in a,
}
UNARY_OPS = {
    "neg": operator.neg, "pos": operator.pos, "abs": abs, "invert": operator.invert,
    "len": len, "iter": iter, "next": next, "hash": hash, "repr": repr, "str": str, "bool": bool,
}


def params(obj) -> list[str]:
    """Parameter names from a text signature, without $self."""
    sig = getattr(obj, "__text_signature__", None) or "()"
    inner = sig.strip()[1:-1]
    names = [p.strip().split("=")[0] for p in inner.split(",")]
    return [n for n in names if n and n != "$self"]


def module_classes() -> list[type]:
    found = {}
    for module in MODULES:
        for name in getattr(module, "__all__", []):
            obj = getattr(module, name)
            if isinstance(obj, type):
                found[obj.__name__] = obj
    return list(found.values())


def module_functions() -> list[tuple[str, Callable]]:
    out = []
    for module in MODULES:
        for name in getattr(module, "__all__", []):
            obj = getattr(module, name)
            if isinstance(obj, types.BuiltinFunctionType):
                out.append((name, obj))
    return out


def _seed_values(instances: dict[str, list]) -> list:
    seeds = [1.5, -2.0, 0.25, 1]
    vectors = instances.get("Vec3d", [])
    if vectors:  # before the instances, so that containers are built non-empty
        seeds.append([type(vectors[0])(1, 2, 3), type(vectors[0])(-4, 0.5, 2), type(vectors[0])(0, 0, 1)])
    quats = instances.get("Quat", [])
    if quats:
        seeds.append([type(quats[0])(1, 0, 0, 0), type(quats[0])(0.5, 0.5, -0.5, 0.5), type(quats[0])(0, 0, 0.6, 0.8)])
    transforms = instances.get("RigidTransform", [])
    if transforms:
        seeds.append(transforms[:1] * 3)  # as long as the listed vectors
    for objs in instances.values():
        seeds.extend(objs[:1])
    seeds.append([0])  # positions, for gathers by index
    seeds.append([True, False, True])  # a mask as long as the listed vectors
    planes = instances.get("Plane", [])
    if planes:
        seeds.append(planes[:1])
    seeds.append("xyz")  # an Euler sequence
    seeds.append(False)  # a flag
    seeds.append([0.5, 0.25, 0.125])  # three angles
    identity = array.array("d", [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0])
    seeds.append(memoryview(identity).cast("B").cast("d", (1, 3, 3)))  # a batch of matrices
    return seeds


def _combinations(seeds, n):
    """Every n-tuple of seeds, those drawn from the first seeds coming first."""
    if n == 0:
        yield ()
        return
    for top in range(len(seeds)):
        for combo in itertools.product(seeds[: top + 1], repeat=n):
            if any(value is seeds[top] for value in combo):
                yield combo


def _try_args(fn, names, seeds, limit=3000):
    """The first argument combination (from seeds) for which fn succeeds: with every parameter,
    then leaving out trailing ones (optional ones, whose combinations the limit may not reach)."""
    for count in range(len(names), -1, -1):
        varied = tuple(seeds[i % 3] for i in range(count))  # distinct floats first
        for combo in itertools.chain([varied], itertools.islice(_combinations(seeds, count), limit)):
            try:
                result = fn(*combo)
            except BaseException:  # noqa: BLE001 - probing
                continue
            return list(combo), result
    return None


@dataclass
class Sample:
    """A recipe for a fresh instance: fn(*args)."""

    fn: Callable
    args: list

    def make(self):
        return self.fn(*[copy_value(a) for a in self.args])


def copy_value(value):
    if isinstance(value, list):
        return [copy_value(v) for v in value]
    return value


def find_samples() -> dict[str, list[Sample]]:
    """Per class name, recipes for instances: the constructor and static factories."""
    classes = module_classes()
    samples: dict[str, list[Sample]] = {}
    instances: dict[str, list] = {}
    complete: set[str] = set()  # classes whose constructor has been tried successfully
    for _ in range(3):  # classes whose constructor needs instances of others
        for cls in classes:
            name = cls.__name__
            if name in complete:
                continue
            recipes = []
            if cls.__text_signature__:
                found = _try_args(cls, params(cls), _seed_values(instances))
                if found:
                    recipes.append(Sample(cls, found[0]))
            if recipes or not cls.__text_signature__:
                complete.add(name)
            for attr, member in cls.__dict__.items():
                if isinstance(member, staticmethod) or type(member).__name__ == "staticmethod":
                    fn = getattr(cls, attr)
                    if params(fn):
                        continue
                    try:
                        if type(fn()) is cls:
                            recipes.append(Sample(fn, []))
                    except BaseException:  # noqa: BLE001 - probing
                        pass
            if recipes:
                samples[name] = recipes
                instances[name] = [r.make() for r in recipes]
    for container in ("VecList", "QuatList", "RigidTransformList"):  # the iterators have no constructor; they come from iter()
        for recipe in list(samples.get(container, [])):
            try:
                it = iter(recipe.make())
            except BaseException:  # noqa: BLE001
                continue
            samples.setdefault(type(it).__name__, []).append(Sample(lambda r=recipe: iter(r.make()), []))
    return samples


@dataclass
class Member:
    """One callable entry of the surface; call(receiver, args) runs it."""

    owner: str  # class name or module name
    name: str
    kind: str  # ctor, static, method, get, set, del, binop, rbinop, unop, func
    params: list
    call: Callable

    @property
    def label(self):
        return f"{self.owner}.{self.name}:{self.kind}"


def members(samples: dict[str, list[Sample]]) -> list[Member]:
    out = []
    by_name = {cls.__name__: cls for cls in module_classes()}
    for owner, recipes in samples.items():
        cls = by_name.get(owner) or type(recipes[0].make())
        if owner in by_name and cls.__text_signature__:
            out.append(Member(owner, "__new__", "ctor", params(cls), lambda r, a, cls=cls: cls(*a)))
        for attr, member in sorted(cls.__dict__.items()):
            if attr.startswith("__"):
                continue
            kind = type(member).__name__
            if kind == "staticmethod" or isinstance(member, staticmethod):
                fn = getattr(cls, attr)
                out.append(Member(owner, attr, "static", params(fn), lambda r, a, fn=fn: fn(*a)))
            elif kind == "method_descriptor":
                out.append(Member(owner, attr, "method", params(member),
                                  lambda r, a, attr=attr: getattr(r, attr)(*a)))
            elif kind == "getset_descriptor":
                out.append(Member(owner, attr, "get", [], lambda r, a, attr=attr: getattr(r, attr)))
                setter = "set" if _writable(recipes[0].make(), attr) else "set-readonly"
                out.append(Member(owner, attr, setter, ["value"], lambda r, a, attr=attr: setattr(r, attr, *a)))
                out.append(Member(owner, attr, "del", [], lambda r, a, attr=attr: delattr(r, attr)))
        for sym, op in BINARY_OPS.items():
            out.append(Member(owner, sym, "binop", ["other"], lambda r, a, op=op: op(r, *a)))
            if sym not in ("[]", "in"):  # those reflected would test the other operand's type
                out.append(Member(owner, sym, "rbinop", ["other"], lambda r, a, op=op: op(*a, r)))
        for sym, op in UNARY_OPS.items():
            out.append(Member(owner, sym, "unop", [], lambda r, a, op=op: op(r)))
    for name, fn in module_functions():
        out.append(Member(fn.__module__ or "module", name, "func", params(fn), lambda r, a, fn=fn: fn(*a)))
    return out


def _writable(instance, attr) -> bool:
    try:
        setattr(instance, attr, getattr(instance, attr))
    except AttributeError:
        return False
    except BaseException:  # noqa: BLE001 - a setter that refuses its own value is still a setter
        pass
    return True


def needs_receiver(member: Member) -> bool:
    return member.kind not in ("ctor", "static", "func")


def panic_type():
    """The internal-failure class, or None when nothing can provoke it yet."""
    try:
        quorral.VecList([]).collapse(3)
    except BaseException as e:  # noqa: BLE001
        if type(e).__name__ == "PanicException":
            return type(e)
    return None


def state(obj):
    """A comparable snapshot of an instance's value."""
    parts = [repr(obj)]
    for attr in ("to_array",):
        fn = getattr(obj, attr, None)
        if callable(fn):
            parts.append(repr(fn()))
    return tuple(parts)


def seeds_for(samples):
    instances = {name: [r.make() for r in recipes] for name, recipes in samples.items()}
    return _seed_values(instances)


def valid_args(member: Member, receiver_factory, seeds):
    """Arguments with which the member succeeds on a fresh receiver, or None."""
    def attempt(*args):
        receiver = receiver_factory() if receiver_factory else None
        return member.call(receiver, list(args))
    found = _try_args(attempt, member.params, seeds)
    return found[0] if found else None
