"""Snapshot files: save and load with their errors, the atomic replacement
of the target, and stores loaded from files (round trips, searches)."""
import errno
import os
import stat
import struct
import subprocess
import sys
import textwrap

import pytest

import tarnwick
from snapshot_format import END, KEYWORD, NEW_STORE, point_entry, read_snapshot, snapshot, text, varint
from snapshot_helpers import (CREATE, DECODE, ENCODE, OPEN, READ, RICH, WRITE, first_upsert_file, floats_file, leftovers,
                              load_bytes, os_text, saved_bytes)


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
