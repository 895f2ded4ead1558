"""Stops and kills during ShardedVectorStorage.save on a local Ray with 2 shards:
the driver stopped at every step of the save (each call or return made by the
add-on's own code, the shards finishing what they were sent) and shards killed
at random moments of it leave a directory that loads to the state before the
save or after it, every point whole."""
import fcntl
import json
import random
import shutil
import sys
import threading
import time
from pathlib import Path

import pytest

ray = pytest.importorskip("ray", reason="the ray extra is not installed (scripts/setup.sh ray)")

import tarnwick_ray  # noqa: E402
import tarnwick_files  # noqa: E402
from tarnwick_ray import ShardedVectorStorage, ShardUnavailableError  # noqa: E402
from tarnwick_ray.sharded import RemoteShard  # noqa: E402

# The add-on's own code and the file writing it shares with the other add-on.
ADDON_CODE = (str(Path(tarnwick_ray.__file__).parent), str(Path(tarnwick_files.__file__).parent))
DIM = 4
BASE_IDS = list(range(200))
DELETED, ADDED = BASE_IDS[:20], list(range(1000, 1020))
WATCHED = DELETED + ADDED + BASE_IDS[-10:]  # the points a load is checked on
# Each kill costs a new shard process (about a second, started ahead).
RANDOM_ROUNDS = 50


def vector_of(point_id):
    return [float(point_id), 1.0, -0.5, float(point_id % 7)]


BEFORE = {i: vector_of(i) for i in BASE_IDS}
AFTER = {i: vector_of(i) for i in BASE_IDS[20:] + ADDED}


class Stopped(BaseException):
    pass


def stop_hook(at, counter):
    """A profile function that counts the calls the add-on's own code makes and
    raises Stopped at the at-th of them, before it (never when at < 0). Between
    two calls the add-on's code changes no file, so these are all the states a
    stop of the driver can leave."""
    def hook(frame, event, arg):
        caller = frame if event == "c_call" else frame.f_back if event == "call" else None
        if caller is not None and caller.f_code.co_filename.startswith(ADDON_CODE):
            counter[0] += 1
            if counter[0] == at:
                raise Stopped
    return hook


@pytest.fixture(scope="module")
def stores():
    ray.init(num_cpus=2, include_dashboard=False, object_store_memory=200 * 2**20,
             log_to_driver=False)
    yield ShardedVectorStorage(2), ShardedVectorStorage(2)
    ray.shutdown()


def close_logs(store):
    store._gather([actor.call.remote("close_log") for actor in store.actors])


def base_folder(root, log):
    """A directory saved with BEFORE's points (and logs when log is True)."""
    base = root / f"base-{log}"
    if not base.exists():
        store = ShardedVectorStorage(2)
        store.batch_upsert(BASE_IDS, [vector_of(i) for i in BASE_IDS])
        store.save(base, log=log)
        close_logs(store)
        for actor in store.actors:
            ray.kill(actor)
    return base


def change_and_save(saver, base, work, at=-1):
    """Loads a copy of base into saver, deletes and adds points, and saves into
    the copy, stopped at the at-th step (never when at < 0); the shards finish
    what they were sent. Returns the steps counted."""
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(base, work)
    saver.load(work)
    saver.batch_delete(DELETED)
    saver.batch_upsert(ADDED, [vector_of(i) for i in ADDED])
    counter = [0]
    sys.setprofile(stop_hook(at, counter))
    try:
        saver.save(work)
    except Stopped:
        pass
    finally:
        sys.setprofile(None)
    saver._gather([actor.settings.remote() for actor in saver.actors])  # done with the save
    return counter[0]


def loaded_state(reader, work):
    """What work loads to: the watched points (id -> vector) and the point count."""
    reader.load(work)
    refs = [reader.actors[reader.shard_of(i)].call.remote("get", i) for i in WATCHED]
    state = {i: got[0] for i, got in zip(WATCHED, ray.get(refs)) if got is not None}
    count = len(reader)
    close_logs(reader)
    return state, count


def expected_states(log):
    # With logs the changes are on disk before the save starts.
    states = [AFTER] if log else [BEFORE, AFTER]
    return [({i: v for i, v in s.items() if i in WATCHED}, len(s)) for s in states]


@pytest.mark.slow
@pytest.mark.parametrize("log", [False, True])
def test_a_stop_at_every_step_of_save(stores, tmp_path_factory, log):
    saver, reader = stores
    root = tmp_path_factory.mktemp("steps")
    base, work = base_folder(root, log), root / "work"
    steps = change_and_save(saver, base, work)
    close_logs(saver)
    assert steps > 10 and loaded_state(reader, work) == expected_states(log)[-1]
    # A whole save leaves only the files its manifest names.
    manifest = json.loads((work / "manifest.json").read_text())
    logs = {name.removesuffix(".tarnwick") + ".log" for name in manifest["files"]} if log else set()
    assert {p.name for p in work.iterdir() if p.name.startswith("shard-")} == \
        set(manifest["files"]) | logs
    seen = set()
    for at in range(1, steps + 1):
        change_and_save(saver, base, work, at)
        close_logs(saver)  # as the driver's end would
        state = loaded_state(reader, work)
        assert state in expected_states(log), at
        seen.add(frozenset(state[0]))
    assert len(seen) == len(expected_states(log))


def test_changes_after_a_failed_save_survive_a_crash(stores, tmp_path):
    """A save that fails after the shards saved (a full disk: here the
    manifest's name taken by a directory) raises, and the changes acknowledged
    after it are logged where the directory's manifest finds them: killed
    shards lose none of them."""
    saver = ShardedVectorStorage(2)
    saver.batch_upsert(BASE_IDS, [vector_of(i) for i in BASE_IDS])
    work = tmp_path / "work"
    saver.save(work, log=True)
    manifest = work / "manifest.json"
    kept = manifest.read_bytes()
    manifest.unlink()
    (manifest / "x").mkdir(parents=True)
    with pytest.raises(OSError):
        saver.save(work)
    shutil.rmtree(manifest)
    manifest.write_bytes(kept)
    saver.batch_delete(DELETED)
    saver.batch_upsert(ADDED, [vector_of(i) for i in ADDED])
    for actor in saver.actors:
        ray.kill(actor, no_restart=True)
    wait_until_unlocked(work)
    assert loaded_state(stores[1], work) == expected_states(True)[0]


def wait_until_unlocked(folder, seconds=120):
    """Waits until no process holds a log in folder (a killed shard's process
    may outlive the kill by a moment)."""
    deadline = time.monotonic() + seconds
    for log in folder.glob("*.log"):
        with open(log, "rb") as file:
            while True:
                try:
                    fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except BlockingIOError:
                    assert time.monotonic() < deadline, f"{log} is still locked"
                    time.sleep(0.02)


def new_shard():
    return RemoteShard.options(max_restarts=0, max_task_retries=0).remote(None)


@pytest.mark.slow
def test_shards_killed_at_random_moments_of_save(stores, tmp_path_factory):
    saver, reader = stores
    root = tmp_path_factory.mktemp("kills")
    rng = random.Random(25)
    work = root / "work"
    span = 0.0
    # Shards started ahead of the rounds that need them, each round starting one.
    spares = [new_shard() for _ in range(6)]
    for round_ in range(RANDOM_ROUNDS + 1):
        log = round_ % 2 == 1
        base = base_folder(root, log)
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(base, work)
        saver.load(work)
        saver.batch_delete(DELETED)
        saver.batch_upsert(ADDED, [vector_of(i) for i in ADDED])
        victim = rng.randrange(2)
        # Round 0 measures a whole save; each later one kills a shard within it.
        timer = threading.Timer(rng.uniform(0, span), ray.kill, [saver.actors[victim]])
        if round_:
            timer.start()
        start = time.monotonic()
        try:
            saver.save(work)
        except ShardUnavailableError:
            pass
        span = span or time.monotonic() - start
        if round_:
            timer.join()
            saver.actors[victim] = spares.pop(0)
            spares.append(new_shard())
        close_logs(saver)
        wait_until_unlocked(work)
        assert loaded_state(reader, work) in expected_states(log), round_
