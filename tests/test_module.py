import importlib.metadata
import re
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

import quorral
from conftest import bits
from quorral import Quat, Vec3d, VecList, geometry


SPEC_NAMES = ["AngleDegrees", "AngleRadians", "Quat", "VecList", "Vec3d", "geometry"]
# Classes added beyond the six, appended by the same rule after them.
EXTENSION_NAMES = ["QuatList", "Mat3", "RigidTransform", "RigidTransformList", "KDTree"]


def test_all_lists_classes_in_registration_order():
    assert quorral.__all__ == SPEC_NAMES + EXTENSION_NAMES
    assert quorral.__all__[: len(SPEC_NAMES)] == SPEC_NAMES
    assert not hasattr(quorral, "VecListIterator")
    assert not hasattr(quorral, "QuatListIterator")
    assert not hasattr(quorral, "RigidTransformListIterator")
    assert quorral.__doc__ == ""


def test_version_is_the_installed_distribution_version_outside_all():
    assert quorral.__version__ == importlib.metadata.version("quorral")
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", quorral.__version__)
    assert "__version__" not in quorral.__all__


def test_types_are_final_builtins_heap_types():
    assert Vec3d.__module__ == "builtins"
    assert Vec3d.__qualname__ == "Vec3d"
    assert Vec3d.__doc__ == ""
    assert Vec3d.__text_signature__ == "(x, y, z)"
    with pytest.raises(TypeError):
        type("Sub", (Vec3d,), {})
    with pytest.raises(AttributeError):
        Vec3d(1, 2, 3).w = 1.0
    Vec3d.extra = 5  # not immutable: class attributes can be reassigned
    del Vec3d.extra


def test_method_docstrings_are_text_signatures_only():
    assert Vec3d.dot.__doc__ is None
    assert Vec3d.dot.__text_signature__ == "($self, other)"
    assert Vec3d.new_from_to.__text_signature__ == "(from, to)"
    assert Vec3d.zero.__text_signature__ == "()"


def test_submodule_is_attached_but_not_importable_by_path():
    assert quorral.geometry.__name__ == "quorral.geometry"
    assert "quorral.geometry" not in sys.modules
    from quorral import geometry

    assert geometry is quorral.geometry
    with pytest.raises(ImportError):
        __import__("quorral.geometry")


@pytest.mark.thread_unsafe(reason="replaces the module in sys.modules")
def test_reimport_reuses_types_and_submodule():
    vec_type, geometry = quorral.Vec3d, quorral.geometry
    saved = sys.modules.pop("quorral")
    try:
        import quorral as again

        assert again is not saved
        assert again.Vec3d is vec_type
        assert again.geometry is geometry
        assert again.__all__ == saved.__all__
    finally:
        sys.modules["quorral"] = saved


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_gil_stays_disabled_on_free_threaded_build():
    code = "import sys, quorral; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()
    free_threaded = bool(__import__("sysconfig").get_config_var("Py_GIL_DISABLED"))
    assert out == ("False" if free_threaded else "True")


def test_panic_exception_derives_from_base_exception(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert "BaseException" in panic_type.__doc__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: VecList.empty().collapse(3), "assertion failed: axis <= 2"),
        (lambda: VecList.empty().minimum_distance_to(Vec3d.zero(), 1), "called `Option::unwrap()` on a `None` value"),
    ],
)
def test_internal_failure_diagnostic_names_the_source_within_the_project(capfd, panic_type, call, message):
    capfd.readouterr()
    with pytest.raises(panic_type, match=f"^{re.escape(message)}$"):
        call()
    err = capfd.readouterr().err
    assert re.fullmatch(rf"quorral: internal failure at module/src/vec_list/batch\.cpp:\d+: {re.escape(message)}\n", err), err


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Vec3d(1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
        (lambda: Vec3d(1), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
        (lambda: Vec3d(), "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        (lambda: Vec3d(1, 2, 3, 4), "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Vec3d(1, 2, x=3), "Vec3d.__new__() got multiple values for argument 'x'"),
        (lambda: Vec3d(1, 2, 3, w=1), "Vec3d.__new__() got an unexpected keyword argument 'w'"),
        (lambda: Vec3d.zero().dot(), "Vec3d.dot() missing 1 required positional argument: 'other'"),
        (lambda: Vec3d.zero().dot(1, 2), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
        (lambda: Vec3d.new_from_to(Vec3d.zero()), "Vec3d.new_from_to() missing 1 required positional argument: 'to'"),
        (lambda: Vec3d.zero().dot(other=1), "argument 'other': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Vec3d.zero().dot(None), "argument 'other': 'None' is not an instance of 'Vec3d'"),
        (lambda: Vec3d.zero().project_onto_line(Vec3d.zero(), (1, 2, 3)),
         "argument 'line_q': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda: Vec3d("a", 1, 1), "argument 'x': must be real number, not str"),
        (lambda: Vec3d(1, None, 1), "argument 'y': must be real number, not NoneType"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


@pytest.mark.parametrize("keyword", ["\ud800", "\udcff", "a\udfffb", "unknown"])
@pytest.mark.parametrize(
    "call, full_name",
    [
        (lambda kw: Vec3d(1, 2, **kw), "Vec3d.__new__()"),
        (lambda kw: Vec3d(1, 2, 3).dot(**kw), "Vec3d.dot()"),
        (lambda kw: Vec3d.new_from_to(Vec3d.zero(), **kw), "Vec3d.new_from_to()"),
        (lambda kw: Quat(1, 2, 3, **kw), "Quat.__new__()"),
        (lambda kw: Quat.from_axis_angle(Vec3d.k(), **kw), "Quat.from_axis_angle()"),
        (lambda kw: VecList.empty().minimum_distance_to(Vec3d.zero(), **kw), "VecList.minimum_distance_to()"),
        (lambda kw: geometry.circle_circle(**kw), "circle_circle()"),
    ],
)
def test_unexpected_keyword_of_any_text(call, full_name, keyword):
    # A name UTF-8 cannot encode is reported like any other, as the str it is.
    with pytest.raises(TypeError) as info:
        call({keyword: 3})
    assert type(info.value) is TypeError
    assert str(info.value) == f"{full_name} got an unexpected keyword argument '{keyword}'"
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_binding_checks_arity_before_conversion():
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        Vec3d("bad", 2, 3, 4)
    with pytest.raises(TypeError, match="unexpected keyword argument 'q'"):
        Vec3d("bad", 2, 3, q=1)


def test_conversions_are_checked_in_declaration_order():
    with pytest.raises(TypeError, match="^argument 'x'"):
        Vec3d("bad", "worse", "worst")
    with pytest.raises(TypeError, match="^argument 'a'"):
        Vec3d.zero().distance_to_line(1, 2)
    with pytest.raises(TypeError, match="^argument 'b'"):
        Vec3d.zero().distance_to_line(Vec3d.zero(), 2)


def test_keywords_in_any_order():
    v = Vec3d(z=3, x=1, y=2)
    assert (v.x, v.y, v.z) == (1.0, 2.0, 3.0)
    assert Vec3d.new_from_to(to=Vec3d(1, 1, 1), **{"from": Vec3d(0, 1, 2)}).to_array() == [1.0, 0.0, -1.0]


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSub(float):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "arg, expected",
    [(True, 1.0), (False, 0.0), (7, 7.0), (Floaty(2.5), 2.5), (FloatSub(1.25), 1.25), (IntSub(3), 3.0),
     (-0.0, -0.0), (float("inf"), float("inf"))],
)
def test_float_rule_accepts_numbers(arg, expected):
    assert Vec3d(arg, 0, 0).x.hex() == float(expected).hex()


def test_float_conversion_errors():
    class RaisesValue:
        def __float__(self):
            raise ValueError("no float here")

    class RaisesType:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("bad float") from inner

    with pytest.raises(ValueError, match="^no float here$"):
        Vec3d(RaisesValue(), 0, 0)
    with pytest.raises(OverflowError):
        Vec3d(10**400, 0, 0)
    with pytest.raises(TypeError) as info:
        Vec3d(0, RaisesType(), 0)
    assert str(info.value) == "argument 'y': bad float"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(TypeError, match="^argument 'z': "):
        Vec3d(0, 0, Floaty("not a float"))


@pytest.mark.thread_unsafe(reason="runs subprocesses")
def test_hash_is_the_same_in_every_process():
    code = "import quorral; print(hash(quorral.Vec3d(1, 2, 3)), hash(quorral.Vec3d(0.1, -7, 1e300)))"
    outs = {
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                       env={"PYTHONHASHSEED": seed}).stdout
        for seed in ("0", "1", "12345")
    }
    assert len(outs) == 1
    assert outs.pop().split()[0] == "3511550596308926913"


# --- assignment to instance attributes ----------------------------------------------------------
# Settable properties are found by their interned names ahead of the generic lookup; every outcome
# must be the one object.__setattr__ (always the generic lookup) gives.

def _settable():
    circle = lambda: geometry.Circle(Vec3d(1, 2, 3), 2.0, Vec3d(0, 0, 1))  # noqa: E731
    return [
        *((lambda: Vec3d(1, 2, 3), name, 0.5) for name in "xyz"),
        *((lambda: Quat(1, 2, 3, 4), name, -0.25) for name in "wijk"),
        (lambda: quorral.AngleRadians(0.5), "angle", 2.0),
        (lambda: quorral.AngleDegrees(10), "angle", -3.5),
        (geometry.Plane.xy, "distance", 4.0),
        (geometry.Plane.xy, "normal", Vec3d(0, 0.6, 0.8)),
        (circle, "center", Vec3d(-1, 0, 0.5)),
        (circle, "radius", 7),
        (circle, "normal", Vec3d(0, 1, 0)),
    ]


SETTABLE = _settable()


def _state(obj):
    """Every readable property's value, floats as bits."""
    out = {}
    for name, member in vars(type(obj)).items():
        if type(member).__name__ == "getset_descriptor":
            value = getattr(obj, name)
            out[name] = bits(value) if isinstance(value, float) else repr(value)
    return out


def _outcome(f):
    try:
        f()
    except BaseException as e:  # noqa: BLE001 - the outcome is compared
        return type(e), str(e)
    return None


@pytest.mark.parametrize("make, name, value", SETTABLE)
def test_property_assignment_matches_the_generic_lookup(make, name, value):
    fast, generic = make(), make()
    setattr(fast, name, value)
    object.__setattr__(generic, name, value)
    assert _state(fast) == _state(generic)
    assert _state(fast) != _state(make())
    copy = make()
    setattr(copy, (name + " ")[:-1], value)  # an equal str, not the interned one (unless one character)
    assert _state(copy) == _state(fast)
    class Name(str):
        pass

    copy = make()
    setattr(copy, Name(name), value)
    assert _state(copy) == _state(fast)


@pytest.mark.parametrize(
    "make, name, value",
    [
        (lambda: Vec3d(1, 2, 3), "w", 1.0),
        (lambda: Vec3d(1, 2, 3), "x", "s"),
        (lambda: Vec3d(1, 2, 3), "x", None),
        (lambda: Vec3d(1, 2, 3), 1, 2.0),
        (lambda: Vec3d(1, 2, 3), b"x", 2.0),
        (lambda: Vec3d(1, 2, 3), "dot", 2.0),
        (lambda: Vec3d(1, 2, 3), "__class__", Quat),
        (lambda: Vec3d(1, 2, 3), "__doc__", "text"),
        (lambda: Quat(1, 2, 3, 4), "x", 1.0),
        (lambda: Quat(1, 2, 3, 4), "k", Vec3d(1, 2, 3)),
        (lambda: quorral.AngleRadians(0.5), "angle", "1"),
        (lambda: geometry.Circle(Vec3d(1, 2, 3), 2.0, Vec3d(0, 0, 1)), "area", 1.0),
        (lambda: geometry.Circle(Vec3d(1, 2, 3), 2.0, Vec3d(0, 0, 1)), "center", 1.0),
        (geometry.Plane.xy, "normal", (0.0, 0.0, 1.0)),
    ],
)
def test_refused_assignments_match_the_generic_lookup(make, name, value):
    got, want = make(), make()
    outcome = _outcome(lambda: setattr(got, name, value))
    assert outcome is not None
    assert outcome == _outcome(lambda: object.__setattr__(want, name, value))
    assert _state(got) == _state(make())


@pytest.mark.parametrize("make, name, value", SETTABLE[:1] + SETTABLE[3:4] + SETTABLE[-3:])
def test_deletion_matches_the_generic_lookup(make, name, value):
    obj = make()
    for target in (name, "missing"):
        outcome = _outcome(lambda: delattr(obj, target))
        assert outcome is not None
        assert outcome == _outcome(lambda: object.__delattr__(obj, target))
    assert _state(obj) == _state(make())


@pytest.mark.thread_unsafe(reason="replaces a class attribute")
def test_assignment_follows_a_replaced_class_attribute():
    descriptor = vars(Vec3d)["y"]
    v = Vec3d(1, 2, 3)
    seen = []
    try:
        Vec3d.y = property(lambda self: -1.0, lambda self, value: seen.append(value))
        v.y = 5.0
        assert seen == [5.0] and v.y == -1.0
        Vec3d.y = 7.5
        outcome = _outcome(lambda: setattr(v, "y", 1.0))
        assert outcome is not None and outcome[0] is AttributeError
        assert outcome == _outcome(lambda: object.__setattr__(v, "y", 1.0))
        del Vec3d.y
        assert _outcome(lambda: setattr(v, "y", 1.0)) == _outcome(lambda: object.__setattr__(v, "y", 1.0))
    finally:
        Vec3d.y = descriptor
    v.y = 4.0
    v.x = 0.5  # the other fields were never replaced
    assert (v.x, v.y, v.z) == (0.5, 4.0, 3.0)
    assert seen == [5.0]
    assert vars(Vec3d)["y"] is descriptor
    assert "__setattr__" not in vars(Vec3d) and Vec3d.__setattr__ is object.__setattr__


# --- subscript -----------------------------------------------------------------------------------
# A small non-negative exact int skips the position conversion; an int subclass takes it.

class Position(int):
    pass


def _item(seq, key):
    try:
        got = seq[key]
    except BaseException as e:  # noqa: BLE001 - the outcome is compared
        return type(e), str(e)
    return bits(got) if isinstance(got, float) else tuple(bits(c) for c in (got.x, got.y, got.z))


SUBSCRIPTED = [Vec3d(1.5, -0.0, float("nan")), VecList([Vec3d(1, 2, 3), Vec3d(-0.0, 4, 5), Vec3d(6, 7, 8)])]


@pytest.mark.parametrize("seq", SUBSCRIPTED, ids=["Vec3d", "VecList"])
@given(key=st.integers(-(2**70), 2**70) | st.integers(-4, 2**31) | st.sampled_from([0, 1, 2, 3, 2**30, 2**63]))
def test_subscript_by_exact_int_matches_the_converted_position(seq, key):
    assert _item(seq, key) == _item(seq, Position(key))
    assert _item(seq, key) == _item(seq, True if key == 1 else key)
    if 0 <= key <= 2:
        assert _item(seq, key) == _item(list(seq), key)
