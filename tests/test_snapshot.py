"""Snapshots: the byte format, the decoder's acceptance and messages, forged
counts and hand-made graphs. Saving and loading files, their errors, the
atomic replacement of the target and round trips: test_snapshot_files.py."""
import struct
import subprocess
import sys
import textwrap

import pytest

import tarnwick
from snapshot_format import (
    END, FLOAT, INTEGER, KEYWORD, NEW_STORE, ONE_POINT, OPTION, U64_MAX, UTF8, VARIANT, VARINT, node_entry,
    point_entry, read_snapshot, snapshot, text, varint,
)
from snapshot_helpers import DECODE, RICH, decode_failure, first_upsert_file, floats_file, load_bytes, saved_bytes


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
