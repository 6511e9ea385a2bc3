"""pickle and copy of every class, the VecList buffer export and VecList.from_buffer."""

import copy
import inspect
import io
import multiprocessing
import pickle
import pickletools
import struct
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import examples
import quorral
from quorral import (AngleDegrees, AngleRadians, Mat3, Quat, QuatList, RigidTransform, RigidTransformList, Vec3d,
                     VecList, geometry)

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF4_0000_DEAD_BEEF))[0]  # signalling, with a payload
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8_0000_0000_0001))[0]
INF = float("inf")


def words(*values: float) -> tuple[int, ...]:
    return struct.unpack(f"<{len(values)}Q", struct.pack(f"<{len(values)}d", *values))


def vec_words(v: Vec3d) -> tuple[int, ...]:
    return words(v.x, v.y, v.z)


def state(obj) -> tuple:
    """The exact bits an object holds, for every picklable class."""
    if isinstance(obj, Vec3d):
        return vec_words(obj)
    if isinstance(obj, Quat):
        return words(obj.w, obj.i, obj.j, obj.k)
    if isinstance(obj, (AngleRadians, AngleDegrees)):
        return words(obj.angle)
    if isinstance(obj, geometry.Plane):
        return vec_words(obj.normal) + words(obj.distance)
    if isinstance(obj, geometry.Circle):
        return vec_words(obj.center) + words(obj.radius) + vec_words(obj.normal)
    if isinstance(obj, VecList):
        return tuple(w for v in obj for w in vec_words(v))
    if isinstance(obj, QuatList):
        return tuple(w for q in obj for w in words(q.w, q.i, q.j, q.k))
    if isinstance(obj, Mat3):
        return words(*(x for row in obj.to_array() for x in row))
    if isinstance(obj, RigidTransform):
        return state(obj.rotation) + state(obj.translation)
    if isinstance(obj, RigidTransformList):
        return tuple(w for x in obj for w in state(x))
    raise AssertionError(type(obj))


def odd_plane():
    plane = geometry.Plane(Vec3d(0, 0, 1), 2.5)
    plane.normal = Vec3d(0, 0, 2)  # not unit: must come back as stored
    plane.distance = -0.0
    return plane


def odd_circle():
    circle = geometry.Circle(Vec3d(1, 2, 3), 2, Vec3d(0, 1, 0))
    circle.normal = Vec3d(0, 3, NAN_PAYLOAD)
    circle.radius = -INF
    return circle


SAMPLES = {
    "Vec3d": lambda: Vec3d(-0.0, INF, NAN_PAYLOAD),
    "Quat": lambda: Quat(NEG_NAN, -0.0, -INF, 5e-324),
    "AngleRadians": lambda: AngleRadians(NAN_PAYLOAD),
    "AngleDegrees": lambda: AngleDegrees(-0.0),
    "Plane": odd_plane,
    "Circle": odd_circle,
    "VecList": lambda: VecList([Vec3d(1, 2, 3), Vec3d(-0.0, NEG_NAN, -INF), Vec3d(0.1, NAN_PAYLOAD, 1e308)]),
    "VecList-empty": VecList.empty,
    "QuatList": lambda: QuatList([Quat(1, 2, 3, 4), Quat(-0.0, NEG_NAN, -INF, 5e-324), Quat(0.1, NAN_PAYLOAD, 1e308, 0)]),
    "QuatList-empty": QuatList.empty,
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", SAMPLES)
def test_pickle_round_trip_keeps_exact_bits(name, protocol):
    obj = SAMPLES[name]()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert type(back) is type(obj)
    assert back is not obj
    assert state(back) == state(obj)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("name", SAMPLES)
def test_copy_keeps_exact_bits(name, copier):
    obj = SAMPLES[name]()
    dup = copier(obj)
    assert type(dup) is type(obj)
    assert dup is not obj
    assert state(dup) == state(obj)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v, 5))])
def test_copied_list_is_independent(copier):
    vl = SAMPLES["VecList"]()
    before = state(vl)
    dup = copier(vl)
    dup.append(Vec3d(7, 8, 9))
    vl.rotate(Quat(0, 1, 0, 0))
    assert len(dup) == 4 and state(dup)[:9] == before
    assert len(vl) == 3


def test_copied_vector_is_independent():
    v = Vec3d(1, 2, 3)
    dup = copy.copy(v)
    dup.x = 9
    assert v.x == 1


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.integers(0, 2**64 - 1), min_size=3, max_size=3), st.sampled_from(PROTOCOLS))
def test_any_bits_survive_pickle(bits, protocol):
    v = Vec3d(*struct.unpack("<3d", struct.pack("<3Q", *bits)))
    assert vec_words(pickle.loads(pickle.dumps(v, protocol))) == tuple(bits)
    vl = VecList([v, v])
    assert state(pickle.loads(pickle.dumps(vl, protocol))) == tuple(bits) * 2


def unpickle_state(data: bytes) -> tuple:
    return state(pickle.loads(data))


@pytest.mark.thread_unsafe(reason="starts a process pool")
def test_unpickling_in_a_spawned_process():
    jobs = [(name, p, pickle.dumps(make(), p)) for name, make in SAMPLES.items() for p in PROTOCOLS]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:
        results = pool.map_async(unpickle_state, [data for _, _, data in jobs]).get(timeout=120)
    for (name, protocol, _), got in zip(jobs, results):
        assert got == state(SAMPLES[name]()), (name, protocol)


def test_names_pickle_finds():
    assert quorral._reconstruct.__module__ == "quorral"
    assert "_reconstruct" not in quorral.__all__
    assert quorral.__all__ == ["AngleDegrees", "AngleRadians", "Quat", "VecList", "Vec3d", "geometry", "QuatList", "Mat3",
                               "RigidTransform", "RigidTransformList", "KDTree"]
    assert geometry.__all__ == ["Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane"]
    assert "quorral.geometry" not in sys.modules
    for cls in (Vec3d, Quat, AngleRadians, AngleDegrees, VecList, QuatList, geometry.Plane, geometry.Circle, Mat3,
                RigidTransform, RigidTransformList, quorral.KDTree):
        assert cls.__module__ == "builtins"


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", SAMPLES)
def test_stream_names_only_the_reconstructor(name, protocol):
    data = pickle.dumps(SAMPLES[name](), protocol)
    strings = [arg for op, arg, _ in pickletools.genops(data) if isinstance(arg, str)]
    globals_ = {arg.replace(" ", ".") for op, arg, _ in pickletools.genops(data) if op.name == "GLOBAL"}
    if protocol >= 4:  # STACK_GLOBAL takes the two strings pushed before it
        assert strings[:2] == ["quorral", "_reconstruct"]
    else:
        # besides the reconstructor, only pickle's own spellings of bytes
        assert globals_ <= {"quorral._reconstruct", "_codecs.encode", "__builtin__.bytes"}
        assert "quorral._reconstruct" in globals_


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_list_pickles_as_one_block(protocol):
    vl = VecList([Vec3d(i, i, i) for i in range(1000)])
    data = pickle.dumps(vl, protocol)
    one = pickle.dumps(VecList([Vec3d(1, 2, 3)]), protocol)
    assert len(list(pickletools.genops(data))) == len(list(pickletools.genops(one)))
    if protocol >= 3:  # bytes as they are, not as latin-1 text
        assert len(data) < 24 * 1000 + 100


def non_contiguous(data: bytes) -> memoryview:
    """The same bytes, every other one of a buffer twice the size."""
    spread = bytearray(2 * len(data))
    spread[::2] = data
    return memoryview(spread)[::2]


@pytest.mark.parametrize(
    "carrier",
    [lambda b: b, lambda b: bytearray(b.raw()), lambda b: non_contiguous(bytes(b.raw()))],
    ids=["pickle-buffer", "bytearray", "non-contiguous"],
)
def test_protocol_5_carries_the_list_out_of_band(carrier):
    vl = SAMPLES["VecList"]()
    before = state(vl)
    buffers = []
    data = pickle.dumps(vl, 5, buffer_callback=buffers.append)
    assert len(data) < 100 and len(buffers) == 1
    assert bytes(buffers[0].raw()) == bytes(memoryview(vl))
    vl.append(Vec3d(0, 0, 0))  # the buffer is a copy: the list is free at once
    back = pickle.loads(data, buffers=[carrier(buffers[0])])
    assert state(back) == before


def test_kept_pickles_leave_the_list_free():
    vl = SAMPLES["VecList"]()
    stream = io.BytesIO()
    pickler = pickle.Pickler(stream, 5)  # its memo keeps each reduce tuple
    pickler.dump(vl)
    vl.append(Vec3d(7, 8, 9))
    kept = vl.__reduce_ex__(5)
    vl.append(Vec3d(7, 8, 9))
    pickler.dump(vl)
    stream.seek(0)
    unpickler = pickle.Unpickler(stream)
    first, second = unpickler.load(), unpickler.load()
    assert len(first) == 3 and second is first  # the memo answers the second dump
    assert state(kept[0](*kept[1])) == state(vl)[:12]
    vl.rotate(Quat(0, 1, 0, 0))


def test_iterator_does_not_pickle():
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(iter(VecList.empty()))


class Refusing:
    def __buffer__(self, flags):
        raise BufferError("no export")


@pytest.mark.parametrize(
    "args, error, message",
    [
        (("Nope", b""), ValueError, "no picklable class named 'Nope'"),
        (("\ud800", b""), ValueError, "no picklable class named '\ud800'"),
        (("VecListIterator", b""), ValueError, "no picklable class named 'VecListIterator'"),
        (("Vec3d", b"\0" * 23), ValueError, "Vec3d state must be 24 bytes, got 23"),
        (("Vec3d", b"\0" * 48), ValueError, "Vec3d state must be 24 bytes, got 48"),
        (("Circle", b""), ValueError, "Circle state must be 56 bytes, got 0"),
        (("VecList", b"\0" * 25), ValueError, "VecList state must be a multiple of 24 bytes, got 25"),
        (("QuatList", b"\0" * 24), ValueError, "QuatList state must be a multiple of 32 bytes, got 24"),
        (("QuatListIterator", b""), ValueError, "no picklable class named 'QuatListIterator'"),
        ((1, b""), TypeError, "argument 'tag': 'int' object is not an instance of 'str'"),
        (("Vec3d", 5), TypeError, "argument 'data': a bytes-like object is required, not 'int'"),
        (("Vec3d", "x" * 24), TypeError, "argument 'data': a bytes-like object is required, not 'str'"),
        (("Vec3d", memoryview(bytes(24))[::2]), ValueError, "Vec3d state must be 24 bytes, got 12"),
        (("VecList", memoryview(bytes(50))[::2]), ValueError, "VecList state must be a multiple of 24 bytes, got 25"),
        (("Vec3d", Refusing()), TypeError, "argument 'data': no export"),
    ],
)
def test_reconstructor_refuses_malformed_input(args, error, message):
    with pytest.raises(error) as info:
        quorral._reconstruct(*args)
    assert str(info.value) == message


@settings(max_examples=examples(60), deadline=None)
@given(st.binary(max_size=24 * 12), st.integers(1, 5), st.integers(0, 4))
def test_reconstructor_reads_strided_data_as_its_bytes(data, step, start):
    strided = memoryview(data)[start::step]
    compact = bytes(strided)
    try:
        expected = state(quorral._reconstruct("VecList", compact))
    except ValueError as error:
        with pytest.raises(ValueError, match=f"^{error}$"):
            quorral._reconstruct("VecList", strided)
    else:
        assert state(quorral._reconstruct("VecList", strided)) == expected


def test_hostile_stream_fails_cleanly():
    crafted = b"cquorral\n_reconstruct\n(VVec3d\nC\x03abctR."
    with pytest.raises(ValueError, match="^Vec3d state must be 24 bytes, got 3$"):
        pickle.loads(crafted)


def test_reconstructor_reads_any_bytes_like_data():
    raw = struct.pack("<3d", 1, 2, 3)
    strided = memoryview(struct.pack("<6d", 1, 9, 2, 9, 3, 9)).cast("d")[::2]
    for data in (raw, bytearray(raw), memoryview(raw), memoryview(raw).cast("d"), non_contiguous(raw), strided):
        assert vec_words(quorral._reconstruct("Vec3d", data)) == words(1, 2, 3)
    assert len(quorral._reconstruct("VecList", raw * 4)) == 4
    assert len(quorral._reconstruct("QuatList", raw * 4)) == 3
    assert state(quorral._reconstruct("VecList", non_contiguous(raw * 4))) == words(1, 2, 3) * 4


# --- buffer export -----------------------------------------------------------


def test_memoryview_is_the_lists_storage():
    vl = SAMPLES["VecList"]()
    with memoryview(vl) as m:
        assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 2, (3, 3), (24, 8))
        assert m.readonly and m.c_contiguous and m.nbytes == 72
        assert m.obj is vl
        assert words(*(c for row in m.tolist() for c in row)) == state(vl)


def test_quat_list_exports_rows_of_four():
    ql = SAMPLES["QuatList"]()
    with memoryview(ql) as m:
        assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 2, (3, 4), (32, 8))
        assert m.readonly and m.c_contiguous and m.nbytes == 96 and m.obj is ql
        assert words(*(c for row in m.tolist() for c in row)) == state(ql)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            ql.append(Quat(1, 0, 0, 0))
    ql.append(Quat(1, 0, 0, 0))


@pytest.mark.parametrize("cls, shape", [(VecList, (0, 3)), (QuatList, (0, 4))])
def test_empty_list_exports_shape_0_n(cls, shape):
    with memoryview(cls.empty()) as m:
        assert m.shape == shape and m.strides == (8 * shape[1], 8) and m.nbytes == 0 and m.tolist() == []


def test_plain_byte_request():
    vl = SAMPLES["VecList"]()
    with vl.__buffer__(inspect.BufferFlags.SIMPLE) as m:
        assert (m.format, m.ndim, m.shape) == ("B", 1, (72,))
        assert m.tobytes() == struct.pack("<9d", *(c for v in vl for c in v.to_array()))
    assert bytes(vl) == bytes(memoryview(vl))


@pytest.mark.parametrize(
    "flags, message",
    [
        (inspect.BufferFlags.WRITABLE, "{} buffers are read-only"),
        (inspect.BufferFlags.FULL, "{} buffers are read-only"),
        (inspect.BufferFlags.F_CONTIGUOUS, "{} buffers are C-contiguous, not Fortran-contiguous"),
    ],
)
@pytest.mark.parametrize("name, element", [("VecList", lambda: Vec3d(0, 0, 0)), ("QuatList", lambda: Quat(1, 0, 0, 0))])
def test_refused_export_requests(flags, message, name, element):
    vl = SAMPLES[name]()
    with pytest.raises(BufferError) as info:
        vl.__buffer__(flags)
    assert str(info.value) == message.format(name)
    vl.append(element())  # nothing was left entered


MUTATORS = {
    "append": lambda vl: vl.append(Vec3d(1, 1, 1)),
    "extend": lambda vl: vl.extend(VecList([Vec3d(1, 1, 1)])),
    "rotate": lambda vl: vl.rotate(Quat(0, 1, 0, 0)),
}
READS = {
    "len": len,
    "index": lambda vl: vl[0],
    "iter": lambda vl: list(vl),
    "repr": repr,
    "to_array": lambda vl: vl.to_array(),
    "normalize": lambda vl: vl.normalize(),
    "dot": lambda vl: vl.dot(Vec3d(1, 0, 0)),
    "multiply": lambda vl: vl * 2.0,
    "export": lambda vl: memoryview(vl).release(),
    "from_buffer": VecList.from_buffer,
    "pickle": lambda vl: pickle.dumps(vl, 5),
    "copy": copy.copy,
    "extend-other": lambda vl: VecList.empty().extend(vl),
}


@pytest.mark.parametrize("mutator", MUTATORS)
def test_export_is_a_reader_until_released(mutator):
    vl = SAMPLES["VecList"]()
    before = state(vl)
    first, second = memoryview(vl), memoryview(vl)
    with pytest.raises(RuntimeError) as info:
        MUTATORS[mutator](vl)
    assert str(info.value) == "Already borrowed"
    assert state(vl) == before
    first.release()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        MUTATORS[mutator](vl)
    second.release()
    MUTATORS[mutator](vl)
    assert state(vl) != before


@pytest.mark.parametrize("read", READS)
def test_reads_work_during_an_export(read):
    vl = SAMPLES["VecList"]()
    with memoryview(vl):
        READS[read](vl)
    vl.append(Vec3d(0, 0, 0))


def test_view_outlives_the_name():
    vl = VecList([Vec3d(1, 2, 3)])
    m = memoryview(vl)
    del vl
    assert m.tolist() == [[1.0, 2.0, 3.0]]


WRITERS = {
    # many short writes
    "append": (lambda: VecList([Vec3d(1, 2, 3)]), lambda vl: vl.append(Vec3d(4, 5, 6)), 20000),
    # few long ones: a rotation of the whole list on the pool
    "rotate": (
        lambda: VecList([Vec3d(i, -i, 0.5 * i) for i in range(100_000)]),
        lambda vl: vl.rotate(Quat(0.5, 0.5, 0.5, 0.5)),
        40,
    ),
}


@pytest.mark.thread_unsafe(reason="starts its own threads")
@pytest.mark.parametrize("writer_name", WRITERS)
def test_export_during_a_write_on_another_thread(writer_name):
    """Exports and writes from two threads: each call either succeeds or is
    refused at once, and no write lands while a view lives."""
    make, write, rounds = WRITERS[writer_name]
    vl = make()
    barrier = threading.Barrier(2, timeout=30)
    refused = {"write": 0, "export": 0}
    done = threading.Event()

    def writer():
        barrier.wait()
        for _ in range(rounds):
            try:
                write(vl)
            except RuntimeError as error:
                assert str(error) == "Already borrowed"
                refused["write"] += 1
        done.set()

    def exporter():
        barrier.wait()
        while not done.is_set():
            try:
                m = memoryview(vl)
            except RuntimeError as error:
                assert str(error) == "Already mutably borrowed"
                refused["export"] += 1
                continue
            with m:
                first = m.tobytes()
                assert len(vl) == m.shape[0] and m.nbytes == 24 * len(vl)
                assert m.tobytes() == first  # nothing changed under the view

    threads = [threading.Thread(target=writer), threading.Thread(target=exporter)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads)
    if writer_name == "append":
        assert len(vl) == 1 + rounds - refused["write"]
    vl.append(Vec3d(0, 0, 0))  # every export was released
