"""One writer, several readers, one store folder, no server in between.

A writer process keeps a LangChain store in a folder with a write-ahead log
(save_local(..., log=True)), adds a note every few milliseconds and checkpoints
now and then. A small HTTP server answers searches on 127.0.0.1 from three
worker processes listening on one port (the kernel spreads connections over
them); each worker holds its own follower of the folder
(load_local(..., follow=True)). The client below asks
the server while the writer writes: every answer names the worker that gave it
and how many notes it held, which grows as the writer's changes arrive. Then
everything stops by itself.

Run:  python examples/several_processes.py
"""
import http.server
import json
import multiprocessing
import os
import socket
import tempfile
import time
import urllib.parse
import urllib.request
import zlib

from langchain_core.embeddings import Embeddings

from langchain_tarnwick import TarnwickVectorStore

WORKERS = 3
TOPICS = ["storage", "networking", "compilers", "databases", "graphics", "audio"]


class WordEmbeddings(Embeddings):
    """Each word adds one to a coordinate its hash picks: texts sharing words are near."""

    def embed_documents(self, texts):
        return [self.embed_query(text) for text in texts]

    def embed_query(self, text):
        vector = [0.0] * 256
        for word in text.lower().split():
            vector[zlib.crc32(word.encode()) % 256] += 1.0
        return vector


EMBEDDINGS = WordEmbeddings()


def writer(folder, ready, stop):
    """Adds a note every 5 ms; a checkpoint every 100 notes folds the log into the snapshot."""
    store = TarnwickVectorStore.from_texts([f"note 0 about {TOPICS[0]}"], EMBEDDINGS, ids=["note-0"])
    store.save_local(folder, log=True)
    ready.set()
    count = 1
    while not stop.is_set():
        topic = TOPICS[count % len(TOPICS)]
        store.add_texts([f"note {count} about {topic}"], metadatas=[{"topic": topic}], ids=[f"note-{count}"])
        count += 1
        if count % 100 == 0:
            store.save_local(folder)
        time.sleep(0.005)


class Handler(http.server.BaseHTTPRequestHandler):
    store: TarnwickVectorStore  # the worker's follower, set before it serves

    def do_GET(self):
        query = urllib.parse.parse_qs(urllib.parse.urlparse(self.path).query).get("q", [""])[0]
        hits = self.store.similarity_search(query, k=3)
        body = json.dumps({"worker": os.getpid(), "notes": len(self.store.storage),
                           "hits": [hit.page_content for hit in hits]}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: object) -> None:
        pass  # the client below prints what it needs


def listen(port):
    """A loopback socket on `port` that other processes may listen on too."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    listener.bind(("127.0.0.1", port))
    return listener


def worker(folder, port, ready):
    """Serves searches from its own follower of the folder."""
    Handler.store = TarnwickVectorStore.load_local(folder, EMBEDDINGS, follow=True, poll=0.01)
    server = http.server.HTTPServer(("127.0.0.1", port), Handler, bind_and_activate=False)
    server.socket = listen(port)
    server.socket.listen()
    ready.release()
    server.serve_forever()


def main():
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory() as folder:
        ready, stop = context.Event(), context.Event()
        writing = context.Process(target=writer, args=(folder, ready, stop))
        writing.start()
        ready.wait(timeout=60)
        placeholder = listen(0)  # holds a free loopback port until the workers listen on it
        port = placeholder.getsockname()[1]
        started = context.Semaphore(0)
        workers = [context.Process(target=worker, args=(folder, port, started), daemon=True)
                   for _ in range(WORKERS)]
        for process in workers:
            process.start()
        for _ in workers:
            started.acquire(timeout=60)
        placeholder.close()
        try:
            print(f"serving on http://127.0.0.1:{port}/?q=... from {WORKERS} worker processes")
            for i in range(12):
                topic = TOPICS[i % len(TOPICS)]
                url = f"http://127.0.0.1:{port}/?q=" + urllib.parse.quote(f"about {topic}")
                with urllib.request.urlopen(url, timeout=30) as response:
                    answer = json.load(response)
                print(f"worker {answer['worker']}: {answer['notes']:4} notes; "
                      f"'about {topic}' -> {answer['hits'][0]}")
                time.sleep(0.15)
        finally:
            stop.set()
            writing.join(timeout=60)
            for process in workers:
                process.terminate()
                process.join(timeout=60)
        print("writer and workers stopped")


if __name__ == "__main__":
    main()
