"""What the tests of log followers share: a follower in a process of its own
answering commands, a writer started in a directory, and the graph a snapshot
holds."""
import select
import signal
import subprocess
import sys
from pathlib import Path

import tarnwick
from log_format import HEADER, LINKS, LINKS_FOLLOW, crc32c, masked, records
from snapshot_format import read_snapshot
from test_log_kill import state_of

VectorStorage = tarnwick.VectorStorage
IDS = 160
DIM = 8
ANSWER_SECONDS = 60  # bounds a hung child; answers come in milliseconds

# The follower: loads the snapshot, follows the log, and answers one command a line.
FOLLOWER = """
import sys, tarnwick
directory, poll = sys.argv[1], sys.argv[2]
store = tarnwick.VectorStorage()
store.load(directory + "/snapshot")
store.follow_log(directory + "/log", poll=None if poll == "none" else float(poll))
print("ready", flush=True)
for line in sys.stdin:
    command, _, argument = line.strip().partition(" ")
    try:
        if command == "save":
            store.save(argument)
            print("ok", flush=True)
        elif command == "catch_up":
            print("ok", store.catch_up(), flush=True)
        elif command == "upsert":
            store.upsert(1, [1.0] * 8, None)
            print("ok", flush=True)
    except Exception as error:
        print("error", type(error).__name__, str(error).replace("\\n", " "), flush=True)
"""


class Child:
    """A Python process running `script` with `arguments`, one command a line
    on its standard input, one answer a line on its standard output."""

    def __init__(self, script, *arguments, env=None):
        self.process = subprocess.Popen([sys.executable, "-c", script, *map(str, arguments)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)

    def line(self, timeout=ANSWER_SECONDS):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        assert ready, "the child did not answer"
        return self.process.stdout.readline().strip()

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def ask(self, command):
        self.send(command)
        return self.line()

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.kill()
        self.process.wait(timeout=ANSWER_SECONDS)
        self.process.stdin.close()
        self.process.stdout.close()


class Follower(Child):
    def __init__(self, directory, poll="0.002"):
        super().__init__(FOLLOWER, directory, poll)
        self.directory = Path(directory)
        self.seen = 0  # the earliest writer state its last answer can be

    def state(self, universe=IDS):
        """The follower's whole content, saved by it at one moment and read back."""
        path = self.directory / f"follower-{self.process.pid}.snapshot"
        assert self.ask(f"save {path}") == "ok"
        store = VectorStorage()
        store.load(str(path))
        return state_of(store, universe)

    def graph(self):
        path = self.directory / f"follower-{self.process.pid}.graph"
        assert self.ask(f"save {path}") == "ok"
        return graph_of(path)

    def check(self, states, universe=IDS):
        """Its content is one of the writer's states, none before the one it showed last."""
        got = self.state(universe)
        later = [i for i in range(self.seen, len(states)) if states[i] == got]
        assert later, f"a state the writer never had (or an earlier one than {self.seen})"
        self.seen = later[0]
        return got


def graph_of(path):
    """The graph a snapshot file holds, by key: entry point, top level, and
    each node's lists as sets. Every node is reached from the entry point."""
    content = read_snapshot(Path(path).read_bytes())
    nodes = {key: tuple(frozenset(layer) for layer in lists) for key, (_, lists) in content["nodes"].items()}
    reached, todo = set(), [content["entry_point"]] if nodes else []
    while todo:
        key = todo.pop()
        if key not in reached:
            reached.add(key)
            todo.extend(nodes[key][0])
    assert reached == set(nodes), f"{len(set(nodes) - reached)} nodes unreachable"
    return content["entry_point"], content["max_level"], nodes


def without_lists(path):
    """Rewrites a log as a writer that logs no lists would have written it."""
    data = path.read_bytes()
    header = bytearray(data[:HEADER])
    header[12] &= ~LINKS_FOLLOW & 0xFF
    header[36:40] = masked(crc32c(bytes(header[:36]))).to_bytes(4, "little")
    kept, start_at = [bytes(header)], HEADER
    for end, kind in records(data):
        if kind != LINKS:
            kept.append(data[start_at:end])
        start_at = end
    path.write_bytes(b"".join(kept))


def writer_graph(writer, directory):
    """The writer's graph (its log closed first: a save would checkpoint it)."""
    writer.close_log()
    writer.save(str(directory / "writer.graph"))
    return graph_of(directory / "writer.graph")


def start(directory, sync="always"):
    """A writer with a snapshot and a fresh log in `directory`."""
    writer = VectorStorage()
    writer.save(str(directory / "snapshot"))
    writer.open_log(str(directory / "log"), sync=sync)
    return writer
