"""Snapshots: the byte format, the decoder's messages, save and load with their
errors, the atomic replacement of the target, and round trips."""
import errno
import os
import pathlib
import stat
import struct
import subprocess
import sys
import textwrap

import pytest

import tarnwick
from snapshot_format import (
    END, FLOAT, INTEGER, KEYWORD, NEW_STORE, ONE_POINT, OPTION, TEXT, U64_MAX, UTF8, VARIANT,
    VARINT, node_entry, point_entry, read_snapshot, snapshot, text, varint,
)

CREATE = "Failed to create snapshot file: "
ENCODE = "Postcard binary serialization pipeline failure: "
WRITE = "Failed to write serialized bytes to disk: "
OPEN = "Failed to open snapshot file: "
READ = "Failed to read snapshot file bytes: "
DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def saved_bytes(store, tmp_path, name="out.bin"):
    path = tmp_path / name
    store.save(str(path))
    return path.read_bytes()


def load_bytes(store, tmp_path, data, name="in.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    store.load(str(path))


def decode_failure(tmp_path, data):
    """The OSError text of loading data into a filled store, which must stay as it was."""
    store = tarnwick.VectorStorage()
    store.upsert(7, [1.0, 2.0], {"tenant_id": "t"})
    before = saved_bytes(store, tmp_path, "before.bin")
    with pytest.raises(OSError) as caught:
        load_bytes(store, tmp_path, data)
    assert caught.value.args == (str(caught.value),)
    assert saved_bytes(store, tmp_path, "after.bin") == before
    return str(caught.value)


def first_upsert_file(saved, points, key):
    """The file of a store whose only upsert stored `points` under `key`: the
    upsert also made the graph's first node, with no links, as its entry point
    at a randomly drawn level, read back from the saved bytes."""
    level = read_snapshot(saved)["max_level"]
    assert 0 <= level <= 15
    return snapshot(points, nodes=[node_entry(key)], entry_point=key, max_level=level)


def leftovers(directory, keep):
    return sorted(set(os.listdir(directory)) - set(keep))


# A file touching every item kind: payload values of all variants, a node with
# neighbours on several layers, an entry point, key != id, a dangling id.
RICH = snapshot(
    points=[
        point_entry(1, [1.0, -0.0], [("tenant_id", KEYWORD, "a"), ("n", INTEGER, -300),
                                     ("x", FLOAT, 2.5), ("long", TEXT, "é" * 40)]),
        point_entry(300, [], None, record_id=301),
        point_entry(2, [0.5], []),
    ],
    nodes=[node_entry(1, [[300, 2, 99], [2]]), node_entry(300, [[1]], node_id=7)],
    entry_point=1, max_level=1,
)


class TestByteExamples:
    def test_new_store_is_seven_bytes(self, store, tmp_path):
        assert saved_bytes(store, tmp_path) == NEW_STORE

    def test_one_point_file_loads_and_saves_unchanged(self, store, tmp_path):
        assert len(ONE_POINT) == 48
        load_bytes(store, tmp_path, ONE_POINT)
        assert store.search([1.0], 5, "cosine", tenant_id="a") == [(5, 1.0)]
        assert saved_bytes(store, tmp_path) == ONE_POINT

    @pytest.mark.parametrize("value, form", [
        (0, "00"), (127, "7F"), (128, "80 01"), (300, "AC 02"),
        (2**63, "80 80 80 80 80 80 80 80 80 01"),
        (U64_MAX, "FF FF FF FF FF FF FF FF FF 01"),
    ])
    def test_varint_forms_of_ids(self, store, tmp_path, value, form):
        store.upsert(value, [], None)
        v = bytes.fromhex(form)
        saved = saved_bytes(store, tmp_path)
        assert saved == first_upsert_file(saved, [v + v + b"\x00\x00"], value)

    @pytest.mark.parametrize("value, form", [
        (0, "00"), (-1, "01"), (1, "02"), (-2, "03"), (2, "04"),
        (2**63 - 1, "FE FF FF FF FF FF FF FF FF 01"),
        (-2**63, "FF FF FF FF FF FF FF FF FF 01"),
    ])
    def test_zigzag_forms_of_integers(self, store, tmp_path, value, form):
        store.upsert(1, [], {"k": value})
        entry = bytes.fromhex("01 01 00 01 01 01 6B 02") + bytes.fromhex(form)
        saved = saved_bytes(store, tmp_path)
        assert saved == first_upsert_file(saved, [entry], 1)

    @pytest.mark.parametrize("payload, tail", [
        (None, "00"),
        ({}, "01 00"),
        ({"k": 1.5}, "01 01 01 6B 03 00 00 00 00 00 00 F8 3F"),
        ({"k": "x" * 64}, "01 01 01 6B 00 40" + " 78" * 64),
        ({"k": "x" * 65}, "01 01 01 6B 01 41" + " 78" * 65),
    ])
    def test_payload_forms(self, store, tmp_path, payload, tail):
        store.upsert(1, [], payload)
        saved = saved_bytes(store, tmp_path)
        assert saved == first_upsert_file(saved, [bytes.fromhex("01 01 00" + tail)], 1)

    def test_floats_are_copied_bit_for_bit(self, store, tmp_path):
        patterns = [0x80000000, 0x7F800000, 0xFF800000, 0x7FC00001, 0xFFC00002, 0x00000001]
        vector = list(struct.unpack("<6f", struct.pack("<6I", *patterns)))
        store.upsert(9, vector, {"f": float("-inf"), "z": -0.0})
        data = saved_bytes(store, tmp_path)
        points = read_snapshot(data)["points"]
        assert points[9][1] == tuple(patterns)
        assert points[9][2] == {"f": (FLOAT, 0xFFF0000000000000), "z": (FLOAT, 1 << 63)}
        reloaded = tarnwick.VectorStorage()
        load_bytes(reloaded, tmp_path, data)
        assert saved_bytes(reloaded, tmp_path, "again.bin") == data

    def test_signalling_nans_survive_a_load(self, store, tmp_path):
        # Python floats cannot carry them through upsert, but a file can.
        nan_bits = 0x7FF4000000000123
        data = snapshot([point_entry(1, [0xFFBFFFFF, 0x7F800001], [("f", FLOAT, nan_bits)])])
        load_bytes(store, tmp_path, data)
        assert saved_bytes(store, tmp_path) == data


class TestDecoderAcceptance:
    def test_trailing_bytes_are_ignored(self, store, tmp_path):
        store.upsert(1, [1.0], None)
        load_bytes(store, tmp_path, NEW_STORE + b"\xff\x02garbage")
        assert store.search([1.0], 5, "dot") == []
        assert saved_bytes(store, tmp_path) == NEW_STORE

    def test_longer_varint_forms_are_accepted(self, store, tmp_path):
        # Point count, key, id, dimension and variant index all in padded forms.
        data = (bytes.fromhex("81 00") + bytes.fromhex("85 80 00") + bytes.fromhex("80" * 9 + "00")
                + bytes.fromhex("80 00") + b"\x01\x01" + text("k") + bytes.fromhex("80 80 80 80 00")
                + text("v") + NEW_STORE[1:])
        load_bytes(store, tmp_path, data)
        assert saved_bytes(store, tmp_path) == snapshot([point_entry(5, [], [("k", KEYWORD, "v")], record_id=0)])

    def test_nine_ff_then_01_is_the_largest_id(self, store, tmp_path):
        data = snapshot([b"\x01" + bytes([0xFF] * 9 + [0x01]) + b"\x01\x00\x00\x80\x3f\x00"])
        load_bytes(store, tmp_path, data)
        assert store.search([1.0], 1, "dot") == [(U64_MAX, 1.0)]

    def test_repeated_keys_later_wins(self, store, tmp_path):
        data = snapshot(
            points=[point_entry(3, [1.0], [("a", INTEGER, 1), ("a", INTEGER, 2)]),
                    point_entry(4, [2.0]),
                    point_entry(3, [5.0, 6.0], [("b", KEYWORD, "x"), ("a", KEYWORD, "y"), ("b", FLOAT, 1.0)])],
            nodes=[node_entry(3, [[4]]), node_entry(3, [[], [4]], node_id=8)])
        load_bytes(store, tmp_path, data)
        state = read_snapshot(saved_bytes(store, tmp_path))
        assert state == read_snapshot(data)
        assert len(state["points"]) == 2 and state["points"][3][1] == floats_file([5.0, 6.0])
        assert state["nodes"] == {3: (8, ((), (4,)) + ((),) * 14)}

    @pytest.mark.parametrize("repeats", [
        [(10, 4)],                          # within the first batch of a large table
        [(9_000, 4), (9_001, 7_000)],       # after batches of the slots were handed out
        [(5_000, 3), (9_000, 6_000)],       # one moves to another length, then one more
    ])
    def test_repeated_keys_of_a_large_file_keep_norms_and_codes_of_the_later_vector(
            self, tmp_path, repeats):
        # (position in the file, key repeated there); each later vector must be
        # found by itself with the score a store of that point alone gives it.
        import random
        rng = random.Random(len(repeats))
        vectors = {key: [rng.uniform(-1, 1) for _ in range(4)] for key in range(9_000)}
        entries = [point_entry(key, vector) for key, vector in vectors.items()]
        for position, key in repeats:
            vectors[key] = [rng.uniform(-1, 1) for _ in range(3 if position == 5_000 else 4)]
            entries.insert(position, point_entry(key, vectors[key]))
        store = tarnwick.VectorStorage()
        load_bytes(store, tmp_path, snapshot(points=entries))
        for key in [key for _, key in repeats] + [0, 4_095, 4_096, 8_999]:
            alone = tarnwick.VectorStorage()
            alone.upsert(key, vectors[key], None)
            assert store.search(vectors[key], 1, "cosine") == alone.search(vectors[key], 1, "cosine")

    def test_inconsistent_state_is_installed_as_it_is(self, store, tmp_path):
        data = snapshot(
            points=[point_entry(1, [1.0, 0.0], record_id=11), point_entry(2, [1.0])],
            nodes=[node_entry(50, [[1, 2, 1, 77] * 10], node_id=51)],
            m=0, ef_construction=U64_MAX, ef_search=0, entry_point=12345, max_level=99)
        load_bytes(store, tmp_path, data)
        assert store.search([1.0, 0.0], 5, "dot") == [(11, 1.0)]
        assert read_snapshot(saved_bytes(store, tmp_path)) == read_snapshot(data)


def floats_file(vector):
    """The component patterns of vector, as read_snapshot reports them."""
    return read_snapshot(snapshot([point_entry(0, vector)]))["points"][0][1]


class TestDecoderErrors:
    def test_empty_file(self, tmp_path):
        assert decode_failure(tmp_path, b"") == DECODE + END

    @pytest.mark.parametrize("name, data", [("one point", ONE_POINT), ("rich", RICH)])
    def test_every_proper_prefix_ends_early(self, tmp_path, name, data):
        store = tarnwick.VectorStorage()
        path = tmp_path / "prefix.bin"
        for length in range(len(data)):
            path.write_bytes(data[:length])
            with pytest.raises(OSError) as caught:
                store.load(str(path))
            assert str(caught.value) == DECODE + END, length
        path.write_bytes(data)
        store.load(str(path))

    @pytest.mark.parametrize("data, message", [
        # nine FF then 02 in place of an id
        (b"\x01\x05" + b"\xff" * 9 + b"\x02", VARINT),
        (b"\x01" + b"\x80" * 9 + b"\x81", VARINT),
        (b"\xff" * 11, VARINT),
        # variant index: fifth byte above 0F, or with the continuation bit
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x80\x80\x80\x80\x10", VARINT),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\xff\xff\xff\xff\x8f", VARINT),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x80\x80\x80\x80\x0f", VARIANT),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x04" + text("v"), VARIANT),
        # option bytes
        (ONE_POINT[:8] + b"\x02" + ONE_POINT[9:], OPTION),
        (NEW_STORE[:4] + b"\x02" + NEW_STORE[5:], OPTION),
        (NEW_STORE[:4] + b"\xff", OPTION),
        # UTF-8 in keys and in values
        (b"\x01\x01\x01\x00\x01\x01" + text(b"\xc0\x80") + b"\x02\x00" + NEW_STORE[1:], UTF8),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x00" + text(b"\xed\xa0\x80"), UTF8),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x01" + text(b"\xf4\x90\x80\x80"), UTF8),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x00" + text(b"ok\x80"), UTF8),
        (b"\x01\x01\x01\x00\x01\x01" + text("k") + b"\x00" + text(b"abcdefgh\xe2\x82"), UTF8),
        (b"\x01\x01\x01\x00\x01\x01" + text(b"\xf8\x88\x80\x80\x80") + b"\x02\x00", UTF8),
        # a text longer than the rest of the input fails on length before UTF-8
        (b"\x01\x01\x01\x00\x01\x01\x0a\xff\xff", END),
        # a vector count beyond the input
        (b"\x01\x01\x01\x05" + b"\x00" * 19, END),
    ])
    def test_messages(self, tmp_path, data, message):
        assert decode_failure(tmp_path, data) == DECODE + message
        with pytest.raises(Exception) as caught:
            read_snapshot(data)
        assert str(caught.value) == message  # the model agrees


# Every place that holds a count or a length, as (prefix before the count,
# bytes after it). A forged count there must end at the end of the input.
COUNT_SITES = {
    "points": (b"", b"\x05\x05\x00\x00"),
    "vector": (b"\x01\x05\x05", b"\x00\x00\x80\x3f" * 3),
    "payload": (b"\x01\x05\x05\x00\x01", text("k") + b"\x02\x00"),
    "payload key": (b"\x01\x05\x05\x00\x01\x01", b"abc"),
    "text value": (b"\x01\x05\x05\x00\x01\x01" + text("k") + b"\x01", b"abc"),
    "nodes": (NEW_STORE[:-1], node_entry(1)),
    "neighbours": (NEW_STORE[:-1] + b"\x01\x05\x05", b"\x01\x02\x03" * 4),
}


class TestForgedCounts:
    @pytest.mark.parametrize("site", sorted(COUNT_SITES))
    @pytest.mark.parametrize("count", [2**31, 2**40, 2**62, U64_MAX])
    def test_fail_at_end_of_input(self, tmp_path, site, count):
        before, after = COUNT_SITES[site]
        assert decode_failure(tmp_path, before + varint(count) + after) == DECODE + END

    @pytest.mark.slow  # address-space limits and kills do not mix with sanitizers
    def test_allocation_stays_within_the_input(self, tmp_path):
        # Under a 64 MiB allowance above what the interpreter already maps, a
        # decoder that trusted any forged count would fail with MemoryError.
        files = []
        for i, (before, after) in enumerate(COUNT_SITES.values()):
            for count in (2**24, 2**27, 2**40):
                path = tmp_path / f"forged{i}_{count}.bin"
                path.write_bytes(before + varint(count) + after)
                files.append(str(path))
        script = textwrap.dedent(f"""
            import resource, tarnwick
            store = tarnwick.VectorStorage()
            with open("/proc/self/statm") as f:
                mapped = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
            for path in {files!r}:
                try:
                    store.load(path)
                except OSError as e:
                    assert str(e).endswith({END!r}), (path, e)
                else:
                    raise AssertionError(path)
            print("ok")
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"


class TestSaveErrors:
    def test_missing_directory(self, store, tmp_path):
        with pytest.raises(OSError) as caught:
            store.save(str(tmp_path / "missing" / "snap.bin"))
        assert str(caught.value) == CREATE + os_text(errno.ENOENT)
        assert caught.value.args == (str(caught.value),)

    def test_path_names_a_directory(self, store, tmp_path):
        (tmp_path / "dir").mkdir()
        os.symlink("dir", tmp_path / "link")
        for path in (tmp_path / "dir", tmp_path / "link", str(tmp_path / "dir") + "/"):
            with pytest.raises(OSError) as caught:
                store.save(str(path))
            assert str(caught.value) == CREATE + os_text(errno.EISDIR)
        assert os.listdir(tmp_path / "dir") == []

    def test_parent_is_a_file(self, store, tmp_path):
        (tmp_path / "file").write_bytes(b"keep")
        with pytest.raises(OSError) as caught:
            store.save(str(tmp_path / "file" / "snap.bin"))
        assert str(caught.value) == CREATE + os_text(errno.ENOTDIR)

    def test_symbolic_link_loop(self, store, tmp_path):
        os.symlink("b", tmp_path / "a")
        os.symlink("a", tmp_path / "b")
        with pytest.raises(OSError) as caught:
            store.save(str(tmp_path / "a"))
        assert str(caught.value) == CREATE + os_text(errno.ELOOP)
        assert leftovers(tmp_path, ["a", "b"]) == []

    def test_read_only_target_is_not_replaced(self):
        # Replacing by rename needs only a writable directory; the save must
        # still refuse a file it could not have written.
        import shutil
        import tempfile
        directory = tempfile.mkdtemp(dir="/tmp")
        try:
            os.chmod(directory, 0o777)
            target = os.path.join(directory, "snap.bin")
            with open(target, "wb") as f:
                f.write(b"old")
            os.chmod(target, 0o444)
            script = textwrap.dedent(f"""
                import os, tarnwick
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                try:
                    tarnwick.VectorStorage().save({target!r})
                except OSError as e:
                    print(e)
            """)
            result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
            if "ModuleNotFoundError" in result.stderr or "PermissionError" in result.stderr:
                pytest.skip("the unprivileged user cannot reach the module")
            assert result.returncode == 0, result.stderr
            assert result.stdout.strip() == CREATE + os_text(errno.EACCES)
            with open(target, "rb") as f:
                assert f.read() == b"old"
            assert os.listdir(directory) == ["snap.bin"]
        finally:
            shutil.rmtree(directory)

    def test_nul_in_path_is_refused_before_the_system(self, store, tmp_path):
        with pytest.raises(OSError) as caught:
            store.save(str(tmp_path / "a\0b"))
        assert str(caught.value) == CREATE + "file name contained an unexpected NUL byte"
        assert os.listdir(tmp_path) == []

    def test_write_failure_keeps_the_old_file(self, tmp_path):
        # A file size limit makes the write fail with EFBIG after the old
        # snapshot was written under no limit.
        target = tmp_path / "snap.bin"
        script = textwrap.dedent(f"""
            import resource, signal, tarnwick
            store = tarnwick.VectorStorage()
            store.upsert(1, [1.0], None)
            store.save({str(target)!r})
            for i in range(2, 2000):
                store.upsert(i, [float(i)] * 8, {{"n": i}})
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
            try:
                store.save({str(target)!r})
            except OSError as e:
                print(e)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == WRITE + os_text(errno.EFBIG)
        saved = target.read_bytes()
        assert saved == first_upsert_file(saved, [point_entry(1, [1.0])], 1)
        assert leftovers(tmp_path, ["snap.bin"]) == []

    @pytest.mark.slow  # address-space limits and kills do not mix with sanitizers
    def test_encoding_failure(self, tmp_path):
        # The encoded copy of a 32 MiB store cannot be allocated under a limit
        # 16 MiB above what the process maps.
        target = tmp_path / "snap.bin"
        target.write_bytes(NEW_STORE)
        seed = tmp_path / "seed.bin"
        row = struct.pack("<4096f", *([0.5] * 4096))
        seed.write_bytes(snapshot([varint(i) + varint(i) + varint(4096) + row + b"\x00" for i in range(2048)]))
        script = textwrap.dedent(f"""
            import resource, tarnwick
            store = tarnwick.VectorStorage()
            store.load({str(seed)!r})
            with open("/proc/self/statm") as f:
                mapped = int(f.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (mapped + (16 << 20), resource.RLIM_INFINITY))
            try:
                store.save({str(target)!r})
            except OSError as e:
                print(e)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == ENCODE + "memory allocation failed"
        assert target.read_bytes() == NEW_STORE
        assert leftovers(tmp_path, ["snap.bin", "seed.bin"]) == []

    @pytest.mark.parametrize("call, message", [
        (lambda s: s.save("a", "b"), "VectorStorage.save() takes 1 positional arguments but 2 were given"),
        (lambda s: s.load(), "VectorStorage.load() missing 1 required positional argument: 'path'"),
        (lambda s: s.save("a", path="b"), "VectorStorage.save() got multiple values for argument 'path'"),
    ])
    def test_binding_errors(self, store, call, message):
        with pytest.raises(TypeError) as caught:
            call(store)
        assert str(caught.value) == message

    def test_path_by_keyword(self, store, tmp_path):
        store.save(path=str(tmp_path / "k.bin"))
        store.load(path=str(tmp_path / "k.bin"))
        assert (tmp_path / "k.bin").read_bytes() == NEW_STORE

    def test_path_must_be_str(self, store, tmp_path):
        with pytest.raises(TypeError, match="'PosixPath' object is not an instance of 'str'"):
            store.save(tmp_path / "x.bin")
        with pytest.raises(TypeError):
            store.load(tmp_path / "x.bin")
        assert os.listdir(tmp_path) == []


class TestLoadErrors:
    @pytest.fixture
    def filled(self, store):
        store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
        store.upsert(2, [0.0, 1.0], None)
        return store

    def check_unchanged(self, store):
        assert store.search([1.0, 0.0], 5, "dot") == [(1, 1.0), (2, 0.0)]

    def test_missing_file(self, filled, tmp_path):
        with pytest.raises(OSError) as caught:
            filled.load(str(tmp_path / "missing.bin"))
        assert str(caught.value) == OPEN + os_text(errno.ENOENT)
        self.check_unchanged(filled)

    def test_nul_in_path(self, filled, tmp_path):
        with pytest.raises(OSError) as caught:
            filled.load(str(tmp_path) + "/a\0b")
        assert str(caught.value) == OPEN + "file name contained an unexpected NUL byte"
        self.check_unchanged(filled)

    def test_reading_a_directory(self, filled, tmp_path):
        with pytest.raises(OSError) as caught:
            filled.load(str(tmp_path))
        assert str(caught.value) == READ + os_text(errno.EISDIR)
        self.check_unchanged(filled)

    def test_corrupt_file(self, filled, tmp_path):
        with pytest.raises(OSError) as caught:
            load_bytes(filled, tmp_path, RICH[:-1])
        assert str(caught.value) == DECODE + END
        self.check_unchanged(filled)

    def test_new_store_file_empties_a_store(self, filled, tmp_path):
        load_bytes(filled, tmp_path, NEW_STORE)
        assert filled.search([1.0, 0.0], 5, "dot") == []
        assert saved_bytes(filled, tmp_path) == NEW_STORE

    def test_stream_of_unknown_size(self, filled):
        # A pipe has no size; its content arrives in pieces and still loads.
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # pragma: no cover - child
            os.close(read_end)
            data = snapshot([point_entry(i, [float(i)] * 100) for i in range(300)])
            os.write(write_end, data)
            os._exit(0)
        os.close(write_end)
        try:
            filled.load(f"/proc/self/fd/{read_end}")
        finally:
            os.close(read_end)
            os.waitpid(pid, 0)
        assert filled.search([1.0] * 100, 1, "dot")[0][0] == 299


class TestAtomicSave:
    def test_replaces_a_larger_file_exactly(self, store, tmp_path):
        target = tmp_path / "snap.bin"
        target.write_bytes(b"x" * 100_000)
        store.save(str(target))
        assert target.read_bytes() == NEW_STORE
        assert leftovers(tmp_path, ["snap.bin"]) == []

    def test_new_file_gets_default_permissions(self, store, tmp_path):
        umask = os.umask(0o027)
        try:
            store.save(str(tmp_path / "new.bin"))
        finally:
            os.umask(umask)
        assert stat.S_IMODE(os.stat(tmp_path / "new.bin").st_mode) == 0o640

    @pytest.mark.parametrize("mode", [0o600, 0o644, 0o640, 0o444, 0o4755])
    def test_existing_permission_bits_are_kept(self, store, tmp_path, mode):
        target = tmp_path / "snap.bin"
        target.write_bytes(b"old")
        os.chmod(target, mode)
        store.upsert(1, [1.0], None)
        store.save(str(target))
        assert stat.S_IMODE(os.stat(target).st_mode) == mode
        assert read_snapshot(target.read_bytes())["points"].keys() == {1}

    def test_symbolic_link_keeps_pointing_at_the_replaced_file(self, store, tmp_path):
        (tmp_path / "data").mkdir()
        real = tmp_path / "data" / "real.bin"
        real.write_bytes(b"old")
        os.chmod(real, 0o600)
        os.symlink("data/real.bin", tmp_path / "hop")      # relative
        os.symlink(tmp_path / "hop", tmp_path / "link")    # absolute, to another link
        store.upsert(4, [2.0], None)
        store.save(str(tmp_path / "link"))
        assert os.readlink(tmp_path / "link") == str(tmp_path / "hop")
        assert os.readlink(tmp_path / "hop") == "data/real.bin"
        saved = real.read_bytes()
        assert saved == first_upsert_file(saved, [point_entry(4, [2.0])], 4)
        assert stat.S_IMODE(os.stat(real).st_mode) == 0o600
        assert leftovers(tmp_path, ["data", "hop", "link"]) == []
        assert os.listdir(tmp_path / "data") == ["real.bin"]

    def test_dangling_symbolic_link_creates_its_target(self, store, tmp_path):
        os.symlink("made.bin", tmp_path / "link")
        store.save(str(tmp_path / "link"))
        assert os.path.islink(tmp_path / "link")
        assert (tmp_path / "made.bin").read_bytes() == NEW_STORE

    def test_relative_path_and_special_file(self, store, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        store.save("rel.bin")
        assert (tmp_path / "rel.bin").read_bytes() == NEW_STORE
        store.save("/dev/null")  # a device is written, never replaced
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)

    @pytest.mark.slow  # address-space limits and kills do not mix with sanitizers
    def test_crash_during_save_leaves_a_loadable_file(self, tmp_path):
        # A child saves a ~20 MB store over one path again and again; it is
        # killed at random moments. The file must always load, and only the
        # temporary file of the save in progress may remain.
        import random
        import signal
        import time
        target = tmp_path / "snap.bin"
        seed = tmp_path / "seed.bin"
        row = struct.pack("<128f", *([0.25] * 128))
        entries = [varint(i) + varint(i) + varint(128) + row + b"\x01\x01" + text("tenant_id") + b"\x00" + text("t")
                   for i in range(40000)]
        seed.write_bytes(snapshot(entries))
        script = textwrap.dedent(f"""
            import tarnwick
            store = tarnwick.VectorStorage()
            store.load({str(seed)!r})
            store.save({str(target)!r})
            print("ready", flush=True)
            while True:
                store.save({str(target)!r})
        """)
        chance = random.Random(5)
        checker = tarnwick.VectorStorage()
        for _ in range(6):
            child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
            assert child.stdout.readline().strip() == "ready"
            time.sleep(chance.uniform(0.0, 0.6))
            child.send_signal(signal.SIGKILL)
            child.wait()
            child.stdout.close()
            checker.load(str(target))
            assert len(checker.search([0.25] * 128, 3, "dot")) == 3
            stray = leftovers(tmp_path, ["snap.bin", "seed.bin"])
            assert len(stray) <= 1, stray
            assert all(name.startswith(".snap.bin.tmp-") for name in stray)
            for name in stray:
                os.unlink(tmp_path / name)


class TestLoadedStateIsUsable:
    def test_search_upsert_and_save_after_load(self, store, tmp_path):
        load_bytes(store, tmp_path, RICH)
        # key 300 holds record id 301; the node-only id 99 is no point.
        assert store.search([], 5, "l2") == [(301, 0.0)]
        store.upsert(99, [3.0], None)
        store.upsert(301, [], {"tenant_id": "a"})
        assert store.search([1.0], 5, "dot", tenant_id=None) == [(99, 3.0), (2, 0.5)]
        assert sorted(store.search([], 5, "l2")) == [(301, 0.0), (301, 0.0)]
        state = read_snapshot(saved_bytes(store, tmp_path))
        expected = read_snapshot(RICH)
        expected["points"][99] = (99, floats_file([3.0]), None)
        expected["points"][301] = (301, (), {"tenant_id": (KEYWORD, "a")})
        # The upserts linked keys 99 and 301 into the loaded graph: loaded lists
        # only grew at their ends, and the entry point moved only if a new node
        # was drawn above the loaded max_level.
        nodes, loaded_nodes = state.pop("nodes"), expected.pop("nodes")
        entry_point, max_level = state.pop("entry_point"), state.pop("max_level")
        del expected["entry_point"], expected["max_level"]
        assert state == expected
        assert nodes.keys() == loaded_nodes.keys() | {99, 301}
        for key, (node_id, lists) in loaded_nodes.items():
            assert nodes[key][0] == node_id
            assert all(new[:len(old)] == old for old, new in zip(lists, nodes[key][1]))
        assert (entry_point, max_level) == (1, 1) or (entry_point in (99, 301) and 1 < max_level <= 15)

    def test_tenant_lists_rebuilt(self, store, tmp_path):
        load_bytes(store, tmp_path, RICH)
        assert store.search([1.0, 0.0], 5, "dot", tenant_id="a") == [(1, 1.0)]
        assert store.search([1.0, 0.0], 5, "dot", tenant_id="b") == []

    def test_same_results_after_round_trip(self, store, tmp_path, rng):
        vectors = rng.standard_normal((300, 12)).astype("float32")
        for i, v in enumerate(vectors):
            store.upsert(i * 7919, v.tolist(), {"tenant_id": f"t{i % 3}", "i": i})
        other = tarnwick.VectorStorage()
        load_bytes(other, tmp_path, saved_bytes(store, tmp_path))
        for q in rng.standard_normal((5, 12)).astype("float32").tolist():
            for metric in ("cosine", "dot", "l2"):
                for tenant in (None, "t1"):
                    assert other.search(q, 20, metric, tenant) == store.search(q, 20, metric, tenant)


class TestHandMadeGraphs:
    def test_long_neighbour_lists_survive(self, store, tmp_path):
        # Longer than the pre-size cap of a list and than any link budget.
        long_list = list(range(300_000))
        data = snapshot([point_entry(1, [1.0])], [node_entry(1, [long_list, [1] * 40])],
                        entry_point=1, m=4)
        load_bytes(store, tmp_path, data)
        again = saved_bytes(store, tmp_path)
        assert len(again) == len(data)
        assert read_snapshot(again) == read_snapshot(data)
