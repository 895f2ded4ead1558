"""Hostile but valid snapshot files, and the failure paths of save and load.

Each trigger runs in a child interpreter under a wall-clock bound, and under an
address-space limit where memory is the point, so a hang or a blow-up fails its
test instead of stalling the run or the machine. The bounds are generous: every
case needs well under a tenth of its bound on a quiet machine, while the faults
they guard against take many times the bound. Sanitizer builds get four times
as long; tests with an address-space limit are marked slow and left out of
them, since the sanitizers' shadow memory cannot live under such a limit."""
import errno
import fcntl
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import tarnwick
from conftest import run_cpp_test
from hostile_files import (
    huge_dimension_head, huge_dimension_tail, huge_parameters, ids_without_points,
    long_neighbour_list, many_tenants, tenant_switches,
)
from snapshot_format import END, NEW_STORE, ONE_POINT, read_snapshot

ROOT = Path(__file__).resolve().parent.parent
CREATE = "Failed to create snapshot file: "
READ = "Failed to read snapshot file bytes: "
DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "
DIRECTORY_SYNC = ("Snapshot file replaced, but its directory could not be synced, so the "
                  "replacement may not survive a crash: ")

SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))
SLOWDOWN = 4 if SANITIZED else 1

# Prepended to every child's script: the module, the tests' helpers and limit_memory.
PRELUDE = textwrap.dedent(f"""
    import os, resource, sys
    sys.path.insert(0, {str(ROOT / "tests")!r})
    import tarnwick

    def limit_memory(mib):
        '''Lets the process map at most `mib` MiB more than it maps now.'''
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (mib << 20), resource.RLIM_INFINITY))
""")


def run_child(body, seconds, *args, env=None):
    """Runs `body` after the prelude in a child interpreter with `args` in
    sys.argv[1:]. Fails unless it exits with status 0 within `seconds` (times
    SLOWDOWN); returns what it printed."""
    bound = seconds * SLOWDOWN
    try:
        result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body), *map(str, args)],
                                capture_output=True, text=True, timeout=bound,
                                env=None if env is None else {**os.environ, **env})
    except subprocess.TimeoutExpired:
        pytest.fail(f"did not finish within {bound} s")
    assert result.returncode == 0, f"exit status {result.returncode}: {result.stderr[-3000:]}"
    return result.stdout.strip()


def os_text(code):
    return f"{os.strerror(code)} (os error {code})"


def write(tmp_path, data, name="hostile.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def host_tag():
    """The tag a save on this kernel puts in its temporary file names: FNV-1a
    (32 bits) of the kernel's boot id, never 0."""
    with open("/proc/sys/kernel/random/boot_id", "rb") as f:
        text = f.read(64)
    value = 2166136261
    for byte in text:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return value or 1


def dead_pid():
    """The id of a process that has just ended."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


def temporary_name(target, pid, tag, random_part=0x1234ABCD):
    return f".{target}.tmp-{pid}-{tag:08x}{random_part:08x}"


def age(path, seconds):
    then = time.time() - seconds
    os.utime(path, (then, then), follow_symlinks=False)


@pytest.fixture(scope="module")
def tenant_switch_file(tmp_path_factory):
    # 600,000 points of tenant "a", then key 0 600,000 times in and out of it: 19 MB.
    path = tmp_path_factory.mktemp("hostile") / "switches.bin"
    path.write_bytes(tenant_switches(600_000, 600_000))
    return path


class TestHostileFiles:
    # ---- quadratic time and runaway memory from a valid file -------------------

    def test_shrinking_a_long_neighbour_list(self, tmp_path):
        # One node lists 600,000 points (6.5 MB). The first upsert links to it
        # and shrinks that list: a search per entry takes about 35 s; a linear
        # shrink well under 1 s. Bound: 10 s.
        path = write(tmp_path, long_neighbour_list(600_000))
        run_child("""
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            store.upsert(10**9, [], None)
            store.upsert(10**9 + 1, [], None)
        """, 10, path)

    def test_tenant_switches_while_decoding(self, tenant_switch_file):
        # Moving the tenant's whole member list at each switch is 600,000 x
        # 600,000 steps (about 25 s); building the lists once, about 1 s. Bound: 10 s.
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            print(len(store.search([], 10, "dot", tenant_id="a")))
        """, 10, tenant_switch_file)
        assert out == "10"

    def test_tenant_switches_by_upsert(self, tenant_switch_file):
        # 100,000 upserts move key 0 in and out of a tenant of 600,000 points:
        # about 30 s when each change moves the member list, about 2 s when it
        # costs a constant or a logarithm. Bound: 10 s.
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            a = {"tenant_id": "a"}
            for i in range(100_001):
                store.upsert(0, [], None if i % 2 else a)
            print(0 in [pid for pid, _ in store.search([], 5, "dot", tenant_id="a")])
        """, 10, tenant_switch_file)
        assert out == "True"

    def test_huge_graph_parameters(self, tmp_path):
        # m, ef_construction and ef_search of 2^62 (a 31-byte file). Insertion
        # and search use bounded values, so 4,000 insertions cost what they
        # cost at the bounds (about 4 s here), and the stored values round-trip.
        # At this size time cannot tell bounded values from unbounded ones;
        # the test shows that the store stays usable within 30 s and 128 MiB.
        path = write(tmp_path, huge_parameters())
        saved = tmp_path / "saved.bin"
        run_child("""
            import random
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            limit_memory(128)
            draw = random.Random(3)
            for i in range(4_000):
                store.upsert(i, [draw.random() for _ in range(4)], None)
            for _ in range(100):
                assert len(store.search([draw.random() for _ in range(4)], 5, "l2")) == 5
            store.save(sys.argv[2])
        """, 30, path, saved)
        state = read_snapshot(saved.read_bytes())
        assert (state["m"], state["ef_construction"], state["ef_search"]) == (2**62,) * 3

    def test_many_points_and_ids_without_points_keep_their_norms(self, tmp_path):
        # A file large enough that norms are computed beside the graph's
        # decoding, whose list of ids without points adds slots meanwhile:
        # every norm must still be right, so cosine scores (which divide by
        # it) match a store holding the one point. No entry point, so the
        # store answers by its exact scan. Bound: 30 s.
        from snapshot_format import node_entry, point_entry, snapshot
        count = 20_000
        rng = np.random.default_rng(3)
        vectors = rng.normal(size=(count, 4)).astype(np.float32).tolist()
        data = snapshot([point_entry(k, vectors[k]) for k in range(count)],
                        [node_entry(0, [list(range(count, count + 100_000))])])
        store = tarnwick.VectorStorage()
        start = time.monotonic()
        store.load(str(write(tmp_path, data)))
        assert time.monotonic() - start < 30 * SLOWDOWN
        for k in (0, 1, 8191, 12_345, count - 1):
            query = vectors[(k + 1) % count]
            alone = tarnwick.VectorStorage()
            alone.upsert(k, vectors[k], None)
            got = dict(store.search(query, count, "cosine"))[k]
            assert struct.pack("<d", got) == struct.pack("<d", alone.search(query, 1, "cosine")[0][1])

    @pytest.mark.slow  # address-space limit
    def test_neighbour_list_of_ids_without_points(self, tmp_path):
        # One list names 1,000,000 ids without points (3 MB): graph storage for
        # every slot up to the highest needs about 200 MB more than the point
        # table's own. Bound: 10 s and 160 MiB.
        path = write(tmp_path, ids_without_points(1_000_000))
        out = run_child("""
            limit_memory(160)
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            store.upsert(2_000_000, [1.0], None)
            print(sorted(store.search([1.0], 5, "dot")))
        """, 10, path)
        assert out == "[(1, 1.0), (2000000, 1.0)]"

    @pytest.mark.slow  # address-space limit
    def test_failed_allocation_leaves_tenants_consistent(self, tmp_path):
        # 131,000 points of a tenant each; then points 0..199 move to new
        # tenants, each upsert with only 4 MiB to spare, so that the table of
        # tenants cannot grow past 2^17. Each old tenant keeps a second point,
        # so none is forgotten and each new tenant needs a code of its own. A
        # failed upsert must change nothing: each point keeps its old tenant
        # and vector or has both new ones, and a tenant registered later finds
        # only its own point. Bound: 30 s.
        path = write(tmp_path, many_tenants(131_000))
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            for j in range(200):
                store.upsert(1_000_000 + j, [1.0], {"tenant_id": f"t{j}"})
            page = resource.getpagesize()
            unlimited = (resource.RLIM_INFINITY, resource.RLIM_INFINITY)
            failures = 0
            for j in range(200):
                payload, vector = {"tenant_id": f"u{j}"}, [2.0]
                with open("/proc/self/statm") as f:
                    mapped = int(f.read().split()[0]) * page
                try:
                    resource.setrlimit(resource.RLIMIT_AS, (mapped + (4 << 20), unlimited[1]))
                    store.upsert(j, vector, payload)
                except MemoryError:
                    failures += 1
                resource.setrlimit(resource.RLIMIT_AS, unlimited)
            store.upsert(500_000, [3.0], {"tenant_id": "v"})
            assert store.search([1.0], 5, "dot", tenant_id="v") == [(500_000, 3.0)]
            for j in range(200):
                old = sorted(store.search([1.0], 5, "dot", tenant_id=f"t{j}"))
                new = store.search([1.0], 5, "dot", tenant_id=f"u{j}")
                kept = (1_000_000 + j, 1.0)
                assert [old, new] in ([[(j, 1.0), kept], []], [[kept], [(j, 2.0)]]), (j, old, new)
            print(failures > 0)
        """, 30, path, env={"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_ARENA_MAX": "1"})
        # Large blocks are mapped afresh and there is one heap (the settings
        # above), so a growth cannot come from space another heap of the
        # allocator had set aside before the limit.
        assert out == "True"  # the limit did bite

    # ---- files that are not regular files, and sizes out of range --------------

    def test_load_of_a_fifo_without_writer_reads_nothing(self, tmp_path):
        # Opening a FIFO for reading used to wait for a writer forever. Bound: 10 s.
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.upsert(1, [1.0], None)
            try:
                store.load(sys.argv[1])
            except OSError as e:
                print(e)
            print(store.search([1.0], 5, "dot"))
        """, 10, fifo)
        assert out.splitlines() == [DECODE + END, "[(1, 1.0)]"]

    def test_load_of_a_fifo_reads_what_its_writer_wrote(self, store, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        # The parent's reader end keeps the written bytes in the pipe after the
        # writer has closed, so the load finds them and then the end of input.
        keep = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            writer = os.open(fifo, os.O_WRONLY)
            os.write(writer, ONE_POINT)
            os.close(writer)
            store.load(str(fifo))
        finally:
            os.close(keep)
        assert store.search([1.0], 5, "cosine", tenant_id="a") == [(5, 1.0)]

    @pytest.mark.slow  # address-space limit
    @pytest.mark.parametrize("device", ["/dev/zero", "/dev/null", "/dev/urandom", "/dev/tty"])
    def test_load_of_a_device_is_refused(self, device):
        # /dev/zero has no end: reading it grew the buffer until memory ran
        # out. Devices are refused before they are opened. Bound: 10 s and 64 MiB.
        if not os.path.exists(device):
            pytest.skip(f"{device} does not exist here")
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.upsert(1, [1.0], None)
            limit_memory(64)
            try:
                store.load(sys.argv[1])
            except OSError as e:
                print(e)
            print(store.search([1.0], 5, "dot"))
        """, 10, device)
        assert out.splitlines() == [READ + os_text(errno.ENOTSUP), "[(1, 1.0)]"]

    def test_save_to_a_fifo_without_reader_fails_at_once(self, tmp_path):
        # It used to wait for a reader forever. Bound: 10 s.
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        out = run_child("""
            try:
                tarnwick.VectorStorage().save(sys.argv[1])
            except OSError as e:
                print(e)
        """, 10, fifo)
        assert out == CREATE + os_text(errno.ENXIO)
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)

    def test_save_to_a_fifo_with_a_reader_writes_in_place(self, store, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            store.save(str(fifo))
            assert os.read(reader, 100) == NEW_STORE
        finally:
            os.close(reader)
        assert os.listdir(tmp_path) == ["fifo"]

    @pytest.mark.slow  # address-space limit
    def test_file_dimension_of_2_32(self, tmp_path):
        # A sparse file of 16 GiB whose one point claims 2^32 components: the
        # decoder used to abort(). The whole file is read before decoding, so
        # under a limit the read fails cleanly with MemoryError; the decoder's
        # own refusal is checked by test_inputs_of_2_32_components.
        # Bound: 10 s and 256 MiB.
        path = tmp_path / "huge.bin"
        with open(path, "wb") as f:
            f.write(huge_dimension_head())
            f.seek(4 * 2**32, os.SEEK_CUR)
            f.write(huge_dimension_tail())
        if os.stat(path).st_blocks * 512 > 1 << 20:
            pytest.skip("the file system does not keep files sparse")
        out = run_child("""
            store = tarnwick.VectorStorage()
            store.upsert(1, [1.0], None)
            limit_memory(256)
            try:
                store.load(sys.argv[1])
            except MemoryError:
                print("MemoryError")
            print(store.search([1.0], 5, "dot"))
        """, 10, path)
        assert out.splitlines() == ["MemoryError", "[(1, 1.0)]"]

    def test_inputs_of_2_32_components(self):
        # Decoding a point of 2^32 components fails with the decoder's message,
        # and upsert refuses such a vector (InvalidArgument: ValueError in
        # Python) and leaves the store as it was; both on a 16 GiB reserved
        # mapping of which only the first page is touched. Bound: 60 s.
        run_cpp_test("hostile_test", timeout=60)

    # ---- save: what it leaves and what it reports ------------------------------

    def test_temporaries_of_killed_saves_are_removed(self, tmp_path):
        # Saves killed while writing (SIGXFSZ at a 4 KiB file size limit) leave
        # their temporary files; the next save removes them at once, since
        # their writers are gone and no one holds their locks, so only the last
        # killed save's file is ever left, and a clean save leaves none.
        # Bound: 60 s for the ten children.
        target = tmp_path / "snap.bin"
        target.write_bytes(NEW_STORE)
        killed = """
            import signal
            store = tarnwick.VectorStorage()
            for i in range(2000):
                store.upsert(i, [float(i)] * 8, None)
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
            signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
            store.save(sys.argv[1])
        """
        deadline = time.monotonic() + 60 * SLOWDOWN
        for _ in range(10):
            child = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(killed), str(target)],
                                   capture_output=True, timeout=max(1, deadline - time.monotonic()))
            assert child.returncode == -signal.SIGXFSZ, child.stderr
            stray = sorted(set(os.listdir(tmp_path)) - {"snap.bin"})
            assert len(stray) == 1 and stray[0].startswith(".snap.bin.tmp-"), stray
        tarnwick.VectorStorage().save(str(target))
        assert os.listdir(tmp_path) == ["snap.bin"]
        assert target.read_bytes() == NEW_STORE

    def test_rapid_kills_of_a_saving_service_leave_no_pile(self, tmp_path):
        # A service that saves over and over and is killed (SIGKILL) every
        # second or so, then restarted: each restart's first save removes what
        # the killed ones left, however young, so at most the temporary file of
        # the save the kill interrupted is ever left beside the snapshot, and a
        # clean save leaves none. All ten kills fall within a few seconds, well
        # inside the age a file of a dead writer once had to reach. Bound: 60 s.
        source = tmp_path / "source.bin"
        rng = np.random.default_rng(3)
        store = tarnwick.VectorStorage()
        store.batch_upsert(np.arange(5000, dtype=np.uint64), rng.normal(size=(5000, 64)).astype(np.float32))
        store.save(str(source))
        target = tmp_path / "snap.bin"
        service = """
            store = tarnwick.VectorStorage()
            store.load(sys.argv[1])
            store.save(sys.argv[2])
            print("saved", flush=True)
            while True:
                store.save(sys.argv[2])
        """
        deadline = time.monotonic() + 60 * SLOWDOWN
        left = []
        for delay in rng.uniform(0.05, 0.6, size=10):
            child = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(service), str(source),
                                      str(target)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            try:
                assert child.stdout.readline() == b"saved\n"
                time.sleep(delay)
            finally:
                child.kill()
                child.wait()
                child.stdout.close()
            stray = sorted(set(os.listdir(tmp_path)) - {"snap.bin", "source.bin"})
            assert len(stray) <= 1 and all(name.startswith(".snap.bin.tmp-") for name in stray), stray
            left += stray
            assert time.monotonic() < deadline
        assert left, "no kill fell inside a save: nothing was tested"
        store.save(str(target))
        assert sorted(os.listdir(tmp_path)) == ["snap.bin", "source.bin"]

    def test_which_temporaries_a_save_removes(self, store, tmp_path):
        """Only files of the exact form, of this target and user, that no one
        holds locked and whose writer cannot be running: of this host with its
        process gone (or the caller's own id, inherited), at once; of another
        host, once 15 minutes old."""
        local, foreign, gone = host_tag(), host_tag() ^ 0x5A5A5A5A, dead_pid()
        holder = subprocess.Popen(["sleep", "60"])
        # name, seconds since last change, held locked, removed
        cases = [
            (temporary_name("snap.bin", gone, local), 60, False, True),
            (temporary_name("snap.bin", os.getpid(), local, 2), 60, False, True),
            (temporary_name("snap.bin", gone, local, 3), 0, False, True),
            (temporary_name("snap.bin", os.getpid(), local, 12), 0, False, True),
            (temporary_name("snap.bin", gone, local, 4), 60, True, False),
            (temporary_name("snap.bin", gone, local, 13), 0, True, False),
            (temporary_name("snap.bin", os.getpid(), local, 14), 0, True, False),
            (temporary_name("snap.bin", holder.pid, local), 60, False, False),
            (temporary_name("snap.bin", gone, foreign), 60, False, False),
            (temporary_name("snap.bin", gone, foreign, 5), 16 * 60, False, True),
            (temporary_name("snap.bin", gone, foreign, 6), 16 * 60, True, False),
            (temporary_name("other.bin", gone, local), 60, False, False),
            (temporary_name("snap.bin", gone, local)[:-1], 60, False, False),
            (f".snap.bin.tmp-{gone}-{local:08x}ABCDEF01", 60, False, False),
            (f".snap.bin.tmp-0{gone}-{local:08x}00000007", 60, False, False),
            (f".snap.bin.tmp-{gone}-{local:08x}0000000g", 60, False, False),
            (f".snap.bin.tmp--{local:08x}00000008", 60, False, False),
        ]
        locks = []
        try:
            for name, seconds, locked, _ in cases:
                path = tmp_path / name
                path.write_bytes(b"partial")
                if locked:
                    locks.append(os.open(path, os.O_RDONLY))
                    fcntl.flock(locks[-1], fcntl.LOCK_EX)
                age(path, seconds)
            # A directory and a symbolic link of the right form, and a file of
            # another user, are left alone too.
            odd = [temporary_name("snap.bin", gone, local, 9), temporary_name("snap.bin", gone, local, 10)]
            (tmp_path / odd[0]).mkdir()
            os.symlink("snap.bin", tmp_path / odd[1])
            for name in odd:
                age(tmp_path / name, 60)
            if os.geteuid() == 0:
                other_user = temporary_name("snap.bin", gone, local, 11)
                (tmp_path / other_user).write_bytes(b"partial")
                os.chown(tmp_path / other_user, 65534, 65534)
                age(tmp_path / other_user, 60)
                odd.append(other_user)
            store.save(str(tmp_path / "snap.bin"))
        finally:
            for fd in locks:
                os.close(fd)
            holder.kill()
            holder.wait()
        left = set(os.listdir(tmp_path))
        for name, _, _, removed in cases:
            assert (name not in left) == removed, name
        assert left >= set(odd) | {"snap.bin"}

    def test_directory_sync_failure_is_a_warning(self):
        # The rename succeeds in a directory that may be written but not read,
        # so the directory cannot be opened for its sync: the new file is in
        # place, and save says so with a RuntimeWarning instead of an OSError.
        directory = tempfile.mkdtemp(dir="/tmp")
        try:
            target = os.path.join(directory, "snap.bin")
            with open(target, "wb") as f:
                f.write(b"old")
            os.chmod(target, 0o666)
            os.chmod(directory, 0o333)
            out = run_child("""
                import warnings
                store = tarnwick.VectorStorage()
                if os.geteuid() == 0:
                    os.setgid(65534)
                    os.setuid(65534)
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    print(store.save(sys.argv[1]))
                for warning in caught:
                    print(warning.category.__name__, warning.message)
                store.upsert(1, [1.0], None)
                with warnings.catch_warnings():
                    warnings.simplefilter("error")
                    try:
                        store.save(sys.argv[1])
                    except RuntimeWarning as e:
                        print("raised", e)
            """, 10, target)
            text = DIRECTORY_SYNC + os_text(errno.EACCES)
            assert out.splitlines() == ["None", f"RuntimeWarning {text}", f"raised {text}"]
            os.chmod(directory, 0o700)
            saved = Path(target).read_bytes()
            assert set(read_snapshot(saved)["points"]) == {1}  # the second save's data
            assert os.listdir(directory) == ["snap.bin"]
        finally:
            os.chmod(directory, 0o700)
            shutil.rmtree(directory)

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give files away")
    @pytest.mark.parametrize("owner, group, mode", [
        (65534, 65534, 0o640), (0, 65534, 0o2750), (65534, 0, 0o4700), (1234, 5678, 0o6755),
    ])
    def test_owner_and_group_are_kept(self, store, tmp_path, owner, group, mode):
        target = tmp_path / "snap.bin"
        target.write_bytes(b"old")
        os.chown(target, owner, group)
        os.chmod(target, mode)
        store.save(str(target))
        info = os.stat(target)
        assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (owner, group, mode)
        assert target.read_bytes() == NEW_STORE

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
    def test_owner_that_cannot_be_kept(self):
        # A user who may replace a root-owned file gets it as its own; the
        # set-user and set-group bits go with the owner and group they were for.
        directory = tempfile.mkdtemp(dir="/tmp")
        try:
            os.chmod(directory, 0o777)
            target = os.path.join(directory, "snap.bin")
            with open(target, "wb") as f:
                f.write(b"old")
            os.chmod(target, 0o6766)
            run_child("""
                store = tarnwick.VectorStorage()
                os.setgid(65534)
                os.setuid(65534)
                store.save(sys.argv[1])
            """, 10, target)
            info = os.stat(target)
            assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (65534, 65534, 0o766)
            with open(target, "rb") as f:
                assert f.read() == NEW_STORE
        finally:
            shutil.rmtree(directory)
