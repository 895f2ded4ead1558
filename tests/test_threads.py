"""The worker pool under threads, forks and interpreter exit. Every scenario runs
in a fresh interpreter so that a hang or a crash fails the test instead of the
test run, and so that the pool's size can be set through the environment."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

CRASH_MARKERS = ("terminate called", "Fatal Python error", "Segmentation fault", "Aborted",
                 "WARNING: ThreadSanitizer")

# Shared by the scripts below: a store whose points carry a tenant that can be
# told from the id alone, so unguarded results can be checked too.
PRELUDE = """
    import itertools, os, random, sys, threading, time, warnings
    import tarnwick

    DIM = 8

    def tenant_of(point_id):
        return None if point_id % 3 == 0 else "ab"[point_id % 2]

    def payload_of(point_id):
        tenant = tenant_of(point_id)
        return None if tenant is None else {"tenant_id": tenant}

    def vector(rng, dim=DIM):
        return [rng.uniform(-1.0, 1.0) for _ in range(dim)]

    def filled_store(count, seed=3, dim=DIM):
        store = tarnwick.VectorStorage()
        rng = random.Random(seed)
        for point_id in range(count):
            store.upsert(point_id, vector(rng, dim), payload_of(point_id))
        return store

    def worker_threads():
        names = []
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        return names.count("tarnwick-worker")
"""


def run_script(body, workers=2, timeout=180, args=()):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(workers)
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    for marker in CRASH_MARKERS:
        assert marker not in done.stderr, done.stderr
    return done


# Writers upsert (new ids and replacements, crossing the 500 points from which
# the graph answers; now and then a save and load of the whole store) under a
# sequence counter that is odd while a write is in progress. Checkers run a
# batch and then the same queries one by one through search; when the counter
# did not move in between, nothing was written, so the batch must equal the
# searches exactly (every other round holds the writers off instead, so that
# checks are made however slow the build). Free readers run batches and
# searches with no coordination at all and check what holds in any state.
STRESS_SCRIPT = """
    sys.setswitchinterval(1e-5)
    store = filled_store(450)
    write_sequence = [0]
    writers_lock = threading.Lock()
    stop = threading.Event()
    counts = {"checked": 0, "checked_guarded": 0, "overtaken": 0, "upserts": 0, "loads": 0,
              "free": 0}
    failures = []
    METRICS = ["cosine", "dot", "l2"]
    TENANT_CHOICES = [None, "a", "b"]
    LIMIT = 12

    class SlowFloat:
        # Gives the interpreter lock away while a batch's arguments are converted.
        def __init__(self, value):
            self.value = value
        def __float__(self):
            time.sleep(0)
            return self.value

    def thread(body):
        def run():
            try:
                body()
            except BaseException as error:
                failures.append(repr(error))
                stop.set()
        return threading.Thread(target=run)

    def check_ranked(result, metric, tenant):
        ids = [point_id for point_id, _ in result]
        scores = [score for _, score in result]
        assert len(result) <= LIMIT and len(set(ids)) == len(ids), result
        assert scores == sorted(scores, reverse=metric != "l2"), result
        if tenant is not None:
            assert all(tenant_of(point_id) == tenant for point_id in ids), result

    def writer(seed):
        rng = random.Random(seed)
        snapshot = os.path.join(sys.argv[3], f"store-{seed}.bin")
        while not stop.is_set():
            point_id = rng.randrange(800)
            new_vector = vector(rng)
            with writers_lock:
                write_sequence[0] += 1
                store.upsert(point_id, new_vector, payload_of(point_id))
                if rng.random() < 0.02:  # now and then the whole content is replaced
                    store.save(snapshot)
                    store.load(snapshot)
                    counts["loads"] += 1
                write_sequence[0] += 1
                counts["upserts"] += 1
            time.sleep(0.0005)

    def checker(seed):
        # Odd rounds are optimistic and count only when no write overtook them;
        # even rounds hold the writers off, so that checks keep coming however
        # slowly this build runs.
        rng = random.Random(seed)
        for round_number in itertools.count():
            if stop.is_set():
                return
            batch = [vector(rng) for _ in range(rng.randrange(0, 24))]
            metric, tenant = rng.choice(METRICS), rng.choice(TENANT_CHOICES)
            if round_number % 2 == 0:
                with writers_lock:
                    got = store.batch_search(batch, LIMIT, metric, tenant)
                    expected = [store.search(q, LIMIT, metric, tenant) for q in batch]
                assert got == expected, (metric, tenant)
                counts["checked_guarded"] += 1
                continue
            before = write_sequence[0]
            got = store.batch_search(batch, LIMIT, metric, tenant)
            expected = [store.search(q, LIMIT, metric, tenant) for q in batch]
            if before % 2 == 1 or write_sequence[0] != before:
                counts["overtaken"] += 1
                continue
            assert got == expected, (metric, tenant)
            counts["checked"] += 1

    def free_reader(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            batch = [[SlowFloat(x) for x in vector(rng)] for _ in range(rng.randrange(1, 16))]
            metric, tenant = rng.choice(METRICS), rng.choice(TENANT_CHOICES)
            got = store.batch_search(batch, LIMIT, metric, tenant)
            assert len(got) == len(batch)
            for result in got:
                check_ranked(result, metric, tenant)
            check_ranked(store.search(vector(rng), LIMIT, metric, tenant), metric, tenant)
            counts["free"] += 1

    # Runs until the targets are met, or for at most a minute on slow
    # (instrumented) builds, which must still reach a tenth of them.
    CHECKS, FREE_ROUNDS = int(sys.argv[1]), int(sys.argv[2])
    threads_run = [thread(lambda s=s: writer(s)) for s in (1, 2)]
    threads_run += [thread(lambda s=s: checker(s)) for s in (3, 4)]
    threads_run += [thread(lambda s=s: free_reader(s)) for s in (5, 6)]
    for t in threads_run:
        t.start()
    deadline = time.monotonic() + 60
    while not stop.is_set() and time.monotonic() < deadline:
        checks = counts["checked"] + counts["checked_guarded"]
        if checks >= CHECKS and counts["free"] >= FREE_ROUNDS:
            break
        time.sleep(0.01)
    stop.set()
    for t in threads_run:
        t.join(60)
    if any(t.is_alive() for t in threads_run):
        print("threads still running after the stop", counts, flush=True)
        os._exit(3)
    assert not failures, failures
    checks = counts["checked"] + counts["checked_guarded"]
    assert checks >= CHECKS // 10 and counts["free"] >= FREE_ROUNDS // 10, counts
    assert counts["checked"] > 0 and counts["overtaken"] > 0, counts
    assert counts["upserts"] > 0 and counts["loads"] > 0, counts
    print(counts)
"""


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_batches_against_concurrent_search_and_upsert(workers, tmp_path):
    done = run_script(STRESS_SCRIPT, workers=workers, args=[1000, 200, tmp_path])
    assert done.returncode == 0, done.stdout + done.stderr


# Writers fill the store through batch_upsert (large enough batches to link on
# the workers) and batch_delete while readers run batches, searches and gets
# with no coordination; a model of the content, kept under the writers' lock,
# must match the store at the end.
MANAGE_SCRIPT = """
    import struct
    sys.setswitchinterval(1e-5)
    store = tarnwick.VectorStorage()
    model = {}
    writers_lock = threading.Lock()
    stop = threading.Event()
    failures = []
    counts = {"batches": 0, "deletes": 0, "reads": 0}

    def as_f32(values):
        return [struct.unpack("f", struct.pack("f", x))[0] for x in values]

    def run(body, seed):
        try:
            body(random.Random(seed))
        except BaseException as error:
            failures.append(repr(error))
            stop.set()

    def writer(rng):
        while not stop.is_set():
            ids = [rng.randrange(4000) for _ in range(rng.randrange(1, 1500))]
            vectors = [vector(rng) for _ in ids]
            with writers_lock:
                store.batch_upsert(ids, vectors, [payload_of(i) for i in ids],
                                   progress=lambda done, total: time.sleep(0))
                model.update(zip(ids, map(as_f32, vectors)))
                gone = [rng.randrange(4000) for _ in range(rng.randrange(1, 300))]
                removed = store.batch_delete(gone)
                assert removed == len({i for i in gone if i in model}), removed
                for i in gone:
                    model.pop(i, None)
            counts["batches"] += 1
            counts["deletes"] += 1

    def reader(rng):
        while not stop.is_set():
            batch = [vector(rng) for _ in range(rng.randrange(1, 12))]
            tenant = rng.choice([None, "a", "b"])
            for result in store.batch_search(batch, 10, rng.choice(["cosine", "dot", "l2"]), tenant):
                assert len(result) <= 10 and len({i for i, _ in result}) == len(result)
                assert tenant is None or all(tenant_of(i) == tenant for i, _ in result)
            point = store.get(rng.randrange(4000))
            assert point is None or (len(point[0]) == DIM and len(point) == 2)
            counts["reads"] += 1

    threads_run = [threading.Thread(target=run, args=(writer, 1))]
    threads_run += [threading.Thread(target=run, args=(reader, s)) for s in (2, 3)]
    for t in threads_run:
        t.start()
    deadline = time.monotonic() + 60
    while not stop.is_set() and time.monotonic() < deadline and counts["batches"] < int(sys.argv[1]):
        time.sleep(0.01)
    stop.set()
    for t in threads_run:
        t.join(120)
    assert not any(t.is_alive() for t in threads_run)
    assert not failures, failures
    assert counts["batches"] > 0 and counts["reads"] > 0, counts
    assert len(store) == len(model)
    assert all(store.get(i) == (v, payload_of(i)) for i, v in model.items())
    print(counts)
"""


@pytest.mark.parametrize("workers", [1, 2])
def test_batch_upsert_and_delete_against_concurrent_readers(workers):
    done = run_script(MANAGE_SCRIPT, workers=workers, timeout=300, args=[12])
    assert done.returncode == 0, done.stdout + done.stderr


# Threads that release the interpreter lock (query, batch_query, batch_upsert,
# batch_delete) and threads that keep it (upsert, search, save, load) on one
# store for a few seconds. Every payload names its own point, so each answer
# can be checked as one the store could give; at the end every stored point
# must be found by its own vector among the points its payload names.
MIXED_SCRIPT = """
    import collections
    seconds, path = float(sys.argv[1]), sys.argv[2]
    IDS = 1500

    def tagged(point_id):
        payload = {"pid": point_id, "g": point_id % 5}
        tenant = tenant_of(point_id)
        if tenant is not None:
            payload["tenant_id"] = tenant
        return payload

    store = tarnwick.VectorStorage()
    seed_rng = random.Random(1)
    store.batch_upsert(list(range(IDS)), [vector(seed_rng) for _ in range(IDS)],
                       [tagged(i) for i in range(IDS)])
    stop = threading.Event()
    failures = []
    counts = collections.Counter()

    def run(body, seed):
        try:
            rng = random.Random(seed)
            while not stop.is_set():
                body(rng)
                counts[body.__name__] += 1
        except BaseException as error:
            failures.append(repr(error))
            stop.set()

    def check(result, g, tenant, metric):
        assert len(result) <= 10 and len({r[0] for r in result}) == len(result)
        got = [r[1] for r in result]
        assert got == sorted(got, reverse=metric != "l2"), got
        for point_id, _, payload in result:
            assert payload["pid"] == point_id and payload["g"] == g, (point_id, payload)
            assert tenant is None or tenant_of(point_id) == tenant

    def querier(rng):
        g, tenant = rng.randrange(5), rng.choice([None, "a", "b"])
        metric = rng.choice(["cosine", "dot", "l2"])
        options = dict(where={"g": g}, tenant_id=tenant, with_payload=True,
                       early_stop=rng.random() < 0.3)
        check(store.query(vector(rng), 10, metric, **options), g, tenant, metric)
        for result in store.batch_query([vector(rng) for _ in range(rng.randrange(1, 6))],
                                        10, metric, **options):
            check(result, g, tenant, metric)

    def searcher(rng):
        tenant = rng.choice([None, "a", "b"])
        for result in [store.search(vector(rng), 10, "cosine", tenant)] + store.batch_search(
                [vector(rng), vector(rng)], 10, "l2", tenant):
            assert len(result) <= 10
            assert tenant is None or all(tenant_of(i) == tenant for i, _ in result)

    def writer(rng):
        ids = [rng.randrange(IDS) for _ in range(rng.randrange(1, 300))]
        store.batch_upsert(ids, [vector(rng) for _ in ids], [tagged(i) for i in ids])
        store.batch_delete([rng.randrange(IDS) for _ in range(rng.randrange(1, 100))])
        point_id = rng.randrange(IDS)
        store.upsert(point_id, vector(rng), tagged(point_id))

    def keeper(rng):
        store.save(path)
        if rng.random() < 0.5:
            store.load(path)
        time.sleep(0.05)

    bodies = [querier, querier, searcher, writer, keeper]
    threads_run = [threading.Thread(target=run, args=(body, n)) for n, body in enumerate(bodies)]
    for t in threads_run:
        t.start()
    stop.wait(seconds)
    # On a slow or busy machine a body may not have finished once by then:
    # go on until each has, within a generous limit.
    deadline = time.monotonic() + 120
    while not stop.is_set() and time.monotonic() < deadline and not all(counts[b.__name__] for b in bodies):
        time.sleep(0.01)
    stop.set()
    for t in threads_run:
        t.join(120)
    assert not any(t.is_alive() for t in threads_run)
    assert not failures, failures
    assert all(counts[body.__name__] > 0 for body in bodies), counts
    present = [i for i in range(IDS) if i in store]
    assert len(store) == len(present)
    for point_id in range(IDS):
        point = store.get(point_id)
        assert (point is not None) == (point_id in present)
        if point is not None:
            assert point[1] == tagged(point_id)
            assert store.query(point[0], 3, "l2", where={"pid": point_id}) == [(point_id, 0.0)]
    print(dict(counts))
"""


@pytest.mark.parametrize("workers", [1, 2])
def test_query_and_batches_against_every_other_method(workers, tmp_path):
    done = run_script(MIXED_SCRIPT, workers=workers, timeout=300,
                      args=[3, tmp_path / "mixed.snap"])
    assert done.returncode == 0, done.stdout + done.stderr


# The first filters a process reads, on many threads at once: reading one may
# let other threads run (a mapping is tested against collections.abc), and no
# thread may then wait on anything while holding the interpreter lock.
FIRST_FILTERS_SCRIPT = """
    sys.setswitchinterval(1e-6)
    store = filled_store(20, dim=2)
    start = threading.Barrier(8)

    def run():
        start.wait()
        for _ in range(20):
            store.query([1.0, 0.0], 1, where={"tenant_id": "a", "n": {"$in": [1, 2]}})

    threads_run = [threading.Thread(target=run) for _ in range(8)]
    for t in threads_run:
        t.start()
    for t in threads_run:
        t.join()
"""


def test_first_filters_on_many_threads_at_once():
    for _ in range(10):  # each a fresh process
        assert run_script(FIRST_FILTERS_SCRIPT, workers=1, timeout=120).returncode == 0


# Forks after the pool exists. Each child must answer a batch exactly as the
# parent's searches did and start workers of its own; the parent's pool must
# keep working. With "busy", a thread keeps running batches while the main
# thread forks, so a fork can land while a worker is still reporting back.
FORK_SCRIPT = """
    warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
    mode, forks = sys.argv[1], int(sys.argv[2])
    store = filled_store(600)
    rng = random.Random(9)
    batch = [vector(rng) for _ in range(40)]
    expected = [store.search(q, 10, "cosine", "a") for q in batch]
    assert store.batch_search(batch, 10, "cosine", "a") == expected
    pool_size = int(os.environ["RAYON_NUM_THREADS"])
    stop = threading.Event()

    def keep_searching():
        while not stop.is_set():
            assert store.batch_search(batch, 10, "cosine", "a") == expected

    background = threading.Thread(target=keep_searching, daemon=True)
    if mode == "busy":
        background.start()

    def child():
        # Only the forking thread exists here; the first batch starts a new pool.
        ok = worker_threads() == 0
        ok = ok and store.batch_search(batch, 10, "cosine", "a") == expected
        ok = ok and worker_threads() == pool_size
        if mode == "nested":
            grandchild = os.fork()
            if grandchild == 0:
                os._exit(0 if store.batch_search(batch[:5], 10, "cosine", "a") == expected[:5] else 1)
            ok = ok and os.waitstatus_to_exitcode(os.waitpid(grandchild, 0)[1]) == 0
        return ok

    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if child() else 1)
            except BaseException:
                os._exit(2)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    stop.set()
    assert store.batch_search(batch, 10, "cosine", "a") == expected
    print("ok")
"""


@pytest.mark.parametrize("mode, forks", [("idle", 3), ("busy", 25), ("nested", 2)])
def test_fork_after_the_pool_exists(mode, forks):
    done = run_script(FORK_SCRIPT, timeout=60, args=[mode, forks])
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr


MULTIPROCESSING_SCRIPT = """
    import multiprocessing
    warnings.simplefilter("ignore", DeprecationWarning)

    store = filled_store(300)
    rng = random.Random(4)
    batch = [vector(rng) for _ in range(30)]

    def answer(shift):
        return store.batch_search([[x + shift for x in q] for q in batch], 5, "l2")

    if __name__ == "__main__":
        answer(0.0)  # the parent's pool exists before the children are forked
        with multiprocessing.get_context("fork").Pool(2) as processes:
            got = processes.map(answer, [0.0, 0.5, 1.0])
        assert got == [answer(s) for s in (0.0, 0.5, 1.0)]
        print("ok")
"""


def test_multiprocessing_fork_children_use_batches():
    done = run_script(MULTIPROCESSING_SCRIPT, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr


# Exits of the interpreter around batches; each must end with the expected
# status, no crash report and no hang.
EXIT_SCRIPT = """
    mode = sys.argv[1]
    store = filled_store(3000, dim=32)
    rng = random.Random(2)
    batch = [vector(rng, 32) for _ in range(300)]
    first_done = threading.Event()

    def keep_searching():
        while True:
            store.batch_search(batch, 10, "cosine")
            first_done.set()

    def some_batches():
        for _ in range(5):
            store.batch_search(batch, 10, "l2")
        print("batches done", flush=True)

    if mode == "after":
        store.batch_search(batch, 10, "dot")
    elif mode in ("daemon", "daemon-sys-exit", "daemon-exception"):
        threading.Thread(target=keep_searching, daemon=True).start()
        first_done.wait()
        if mode == "daemon-sys-exit":
            sys.exit(3)
        if mode == "daemon-exception":
            raise RuntimeError("leaving with a batch running")
    elif mode == "non-daemon":
        threading.Thread(target=some_batches).start()
    elif mode == "atexit":
        import atexit
        atexit.register(lambda: print(len(store.batch_search(batch, 3, "dot")), flush=True))
    elif mode == "daemon-converting":
        # The daemon threads give the interpreter lock away inside the
        # conversion of their queries, so one of them is usually ended by the
        # interpreter's exit in the middle of it.
        class SlowFloat:
            def __float__(self):
                time.sleep(0)
                return 0.5

        def keep_converting():
            while True:
                store.batch_search([[SlowFloat()] * 32 for _ in range(20)], 3, "l2")
                first_done.set()

        for _ in range(2):
            threading.Thread(target=keep_converting, daemon=True).start()
        first_done.wait()
        time.sleep(0.02)
    elif mode == "store-dropped":
        threading.Thread(target=keep_searching, daemon=True).start()
        first_done.wait()
        other = filled_store(10)
        other.batch_search(batch[:4], 1, "dot")
        del other
"""


@pytest.mark.parametrize(
    "mode, status, output",
    [
        ("after", 0, ""),
        ("daemon", 0, ""),
        ("daemon-sys-exit", 3, ""),
        ("daemon-exception", 1, ""),
        ("non-daemon", 0, "batches done"),
        ("atexit", 0, "300"),
        ("daemon-converting", 0, ""),
        ("store-dropped", 0, ""),
    ],
)
@pytest.mark.parametrize("workers", [1, 2])
def test_interpreter_exit_around_batches(mode, status, output, workers):
    done = run_script(EXIT_SCRIPT, workers=workers, timeout=120, args=[mode])
    assert done.returncode == status, done.stderr
    assert done.stdout.strip() == output


# Snapshots of 8 MB and more are encoded by a thread of their own while the
# caller writes, and decoded while a thread reads the file: the bytes must be
# exactly those of the whole-file path, both ways, and a file that grows while
# it is read is read again whole.
LARGE_SNAPSHOT_SCRIPT = """
    path, again, small = sys.argv[1], sys.argv[2], sys.argv[3]
    count = 20_000
    store = tarnwick.VectorStorage()
    store.load(path)  # written by the test: points with payloads and a graph
    assert os.path.getsize(path) > 8 << 20
    loaded = tarnwick.VectorStorage()
    loaded.load(path)
    loaded.save(again)
    assert open(path, "rb").read() == open(again, "rb").read()
    assert len(loaded) == count and loaded.get(123) == store.get(123)
    # A store saved below the threshold takes the other path to the same bytes.
    part = tarnwick.VectorStorage()
    part.load(path)
    part.batch_delete(list(range(2_000, count)))
    part.save(small)
    assert os.path.getsize(small) < 8 << 20
    check = tarnwick.VectorStorage()
    check.load(small)
    assert len(check) == 2_000 and check.get(1999) == store.get(1999)
    print("ok")
"""


def test_large_snapshots_stream_both_ways(tmp_path):
    """A file past the streaming threshold, made here rather than by a build
    (which takes minutes under ThreadSanitizer on a busy machine)."""
    from snapshot_format import INTEGER, KEYWORD, node_entry, point_entry, snapshot
    rng = np.random.default_rng(5)
    count, vectors = 20_000, rng.normal(size=(20_000, 128)).astype(np.float32).tolist()
    points = [point_entry(i, vectors[i], [("i", INTEGER, i), ("tenant_id", KEYWORD, f"t{i % 7}")])
              for i in range(count)]
    links = rng.integers(0, count, size=(count, 16)).tolist()
    nodes = [node_entry(i, [sorted(set(links[i]) - {i})]) for i in range(count)]
    (tmp_path / "a.snap").write_bytes(snapshot(points, nodes, entry_point=0))
    done = run_script(LARGE_SNAPSHOT_SCRIPT, timeout=300,
                      args=[tmp_path / "a.snap", tmp_path / "b.snap", tmp_path / "c.snap"])
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr
