// Docstrings of the VectorStorage class and its methods. Each begins with its
// text signature, so the interpreter exposes __text_signature__.
#pragma once

namespace tarnwick::docs {

inline constexpr char MODULE[] =
    "Extension module that maps high-performance native subroutines directly onto the Python runtime.";

inline constexpr char VECTOR_STORAGE[] =
    "VectorStorage()\n"
    "--\n"
    "\n"
    "High-performance vector storage and search engine exposed directly to Python runtimes.\n"
    "\n"
    "This struct functions as a safe, concurrent architectural encapsulation wrapper managing an isolated\n"
    "memory partition segment layer. It supports lock-free multi-threaded query streams and sequential persistence pipelines.";

inline constexpr char UPSERT[] =
    "upsert($self, point_id, vector, payload)\n"
    "--\n"
    "\n"
    "Universally inserts or updates a coordinate entity embedding paired with dynamic structured metadata payloads.\n"
    "\n"
    "This atomic interface orchestrates memory lock updates across spatial configurations. It converts\n"
    "incoming structured attributes via localized parsers and triggers automatic HNSW graph re-weaving updates.\n"
    "\n"
    "# Parameters\n"
    "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its transactional registry key.\n"
    "* `vector` - A Python float list containing the raw coordinate tracking geometry parameters.\n"
    "* `payload` - An optional Python dictionary containing polymorphic data filters.\n"
    "\n"
    "# Errors\n"
    "Returns an operational initialization exception if underlying dictionary types fail transformation.";

inline constexpr char SEARCH[] =
    "search($self, query_vector, limit, metric, tenant_id=None)\n"
    "--\n"
    "\n"
    "Searches the high-dimensional vector space to extract top-K nearest neighbors matching target query configurations.\n"
    "\n"
    "This framework evaluates cluster density bounds at runtime to seamlessly route lookups via exact linear\n"
    "KNN sweeps or optimized logarithmic HNSW structural mesh traversal loops. It enforces single-stage\n"
    "pre-filtering if an optional tenant constraint is provided.\n"
    "\n"
    "# Parameters\n"
    "* `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.\n"
    "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory slots.\n"
    "* `metric` - Configuration string matching supported parameters: `'cosine'`, `'dot_product'`, or `'euclidean'`.\n"
    "* `tenant_id` - An optional string key used to isolate workspace partitions under active multi-tenancy rules.\n"
    "\n"
    "# Returns\n"
    "A structured Python list containing tuple records formatted as: `(Point ID, Proximity Similarity Score)`.\n"
    "\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens.";

inline constexpr char BATCH_SEARCH[] =
    "batch_search($self, query_vectors, limit, metric, tenant_id=None)\n"
    "--\n"
    "\n"
    "Executes concurrent high-dimensional batch vector lookups across available hardware processing units.\n"
    "\n"
    "This engine utilizes a thread-safe parallel processing map (Rayon) to bypass Python runtime loop\n"
    "overheads. It drives multi-tenant graph filtering routines simultaneously across the matrix block workspace.\n"
    "\n"
    "# Parameters\n"
    "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to process concurrently.\n"
    "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete query sequence.\n"
    "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or `'euclidean'`.\n"
    "* `tenant_id` - An optional string token used to restrict queries to specific isolated tenancy environments.\n"
    "\n"
    "# Returns\n"
    "A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, Score), ...], ...]`.\n"
    "\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown structural metric token.";

inline constexpr char SAVE[] =
    "save($self, path)\n"
    "--\n"
    "\n"
    "Commits the running transactional database state snapshot directly onto localized physical storage tracks.\n"
    "\n"
    "# Parameters\n"
    "* `path` - The string location defining where to construct the output binary serialization snapshot asset.\n"
    "\n"
    "# Errors\n"
    "Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows.";

inline constexpr char LOAD[] =
    "load($self, path)\n"
    "--\n"
    "\n"
    "Loads and completely rehydrates a pre-existing storage binary checkpoint file back into active memory pools.\n"
    "\n"
    "# Parameters\n"
    "* `path` - Target system path targeting the binary database record file to extract.\n"
    "\n"
    "# Errors\n"
    "Throws a standard `IOError` if input buffers contain broken byte signatures or version mismatches.";

inline constexpr char BATCH_UPSERT[] =
    "batch_upsert($self, point_ids, vectors, payloads=None, *, progress=None)\n"
    "--\n"
    "\n"
    "Inserts or replaces many points in one call, linking them into the graph on the worker pool.\n"
    "\n"
    "The store ends in the state that calling `upsert` for each (id, vector, payload) in order would\n"
    "give: a later entry for an id replaces an earlier one whole. Everything is converted and checked\n"
    "before the store changes. The points are stored in chunks; between chunks the store is consistent,\n"
    "`progress` is called and signals are handled. An exception raised there (a KeyboardInterrupt from\n"
    "Ctrl-C, or one raised by `progress`) stops the call: the points of the chunks already stored stay,\n"
    "each whole, and the rest are not stored.\n"
    "\n"
    "# Parameters\n"
    "* `point_ids` - A sequence of unsigned 64-bit ids, or a 1-D integer array.\n"
    "* `vectors` - A sequence of float vectors, or a 2-D array.\n"
    "* `payloads` - None, or a sequence of the same length whose items are None or a dict.\n"
    "* `progress` - None, or a callable called as `progress(done, total)` after each chunk.\n"
    "\n"
    "# Errors\n"
    "Raises `ValueError` when the lengths differ, and for a bad item what `upsert` raises for it, with\n"
    "a note naming the argument and the item's index; the store is then unchanged.";

inline constexpr char DELETE[] =
    "delete($self, point_id)\n"
    "--\n"
    "\n"
    "Removes the point stored under `point_id`, with its payload and graph node.\n"
    "\n"
    "The graph is reconnected around the removed node and its memory is reused by later insertions.\n"
    "\n"
    "# Returns\n"
    "True when a point was stored under the id, False otherwise.";

inline constexpr char BATCH_DELETE[] =
    "batch_delete($self, point_ids)\n"
    "--\n"
    "\n"
    "Removes the points stored under any of `point_ids` in one call.\n"
    "\n"
    "Every id is converted before anything changes; repeated ids count once.\n"
    "\n"
    "# Returns\n"
    "The number of ids that held a point.";

inline constexpr char GET[] =
    "get($self, point_id)\n"
    "--\n"
    "\n"
    "Returns the point stored under `point_id` as `(vector, payload)`, or None when there is none.\n"
    "\n"
    "The vector is a list of the stored 32-bit floats; the payload is a dict (text values as `str`,\n"
    "integers as `int`, floats as `float`) or None.";

inline constexpr char QUERY[] =
    "query($self, query_vector, limit=10, metric='cosine', *, where=None, tenant_id=None, ef=None, early_stop=None, with_payload=False)\n"
    "--\n"
    "\n"
    "Returns the best `limit` points for the vector among those meeting a payload condition.\n"
    "\n"
    "Points that cannot be compared with the vector (of another length; under cosine, zero vectors,\n"
    "or every point for a zero vector) are never returned: the one way in which, without `where`,\n"
    "`ef` and the fast walk, it differs from `search`, which answers the same otherwise. With `where`,\n"
    "the points meeting it are scanned exactly when few do, and otherwise reached by a walk of the\n"
    "graph that passes through the others; either way, and with the fast walk, the answer holds\n"
    "min(`limit`, matching points that can be compared with the vector) points, each scored exactly\n"
    "as the exact scan scores it.\n"
    "The interpreter lock is released while the store answers, so other threads run meanwhile.\n"
    "\n"
    "# Parameters\n"
    "* `query_vector` - A float vector, as `search` accepts it (a sequence or a 1-D buffer).\n"
    "* `limit` - How many points to return at most.\n"
    "* `metric` - `'cosine'`, `'dot_product'` (`'dot'`) or `'euclidean'` (`'l2'`).\n"
    "* `where` - None, or a dict (or other mapping) of conditions on payload values: `{\"year\": 2024}`,\n"
    "  `{\"year\": {\"$gte\": 2020}}`, with `$eq`, `$ne`, `$gt`, `$gte`, `$lt`, `$lte`, `$in`, `$nin`,\n"
    "  `$exists`, `$and`, `$or` and `$not`.\n"
    "* `tenant_id` - None, or a tenant whose points alone are returned; combines with `where`.\n"
    "* `ef` - None, or the beam of graph walks for this call, an int from 1 to 4096.\n"
    "* `early_stop` - True for the fast walk: it navigates by the points' compact codes, stops once\n"
    "  the best point left to expand is farther than the worst one kept, and scores the nearest few\n"
    "  exactly. Deterministic and exactly scored; results may differ from `search`'s. False for the\n"
    "  walk `search` takes; None (or left out) for the store's `early_stop` setting.\n"
    "* `with_payload` - Whether each result carries the point's payload.\n"
    "\n"
    "# Returns\n"
    "A list of `(id, score)` tuples, best first; with `with_payload`, `(id, score, payload)` tuples\n"
    "whose payload is a dict or None.\n"
    "\n"
    "# Errors\n"
    "Raises `ValueError` for an unknown metric, an `ef` out of range and a malformed `where` (its\n"
    "message names the place inside the filter), `TypeError` for arguments of the wrong type; every\n"
    "argument is checked before the store is read.";

inline constexpr char BATCH_QUERY[] =
    "batch_query($self, query_vectors, limit=10, metric='cosine', *, where=None, tenant_id=None, ef=None, early_stop=None, with_payload=False)\n"
    "--\n"
    "\n"
    "Answers many vectors as `query` answers each, on the worker pool.\n"
    "\n"
    "Every query is answered from the same state of the store, with the same options. The\n"
    "interpreter lock is released while the store answers.\n"
    "\n"
    "# Parameters\n"
    "* `query_vectors` - A sequence of float vectors, or a 2-D array, as `batch_search` accepts it.\n"
    "* The rest as for `query`.\n"
    "\n"
    "# Returns\n"
    "A list holding one result list per query, in the order of the queries.\n"
    "\n"
    "# Errors\n"
    "As for `query`.";
inline constexpr char OPEN_LOG[] =
    "open_log($self, path, *, sync='always')\n"
    "--\n"
    "\n"
    "Opens a write-ahead log at `path`, so that changes made after the last `save` survive a crash.\n"
    "\n"
    "While the log is open, every `upsert`, `batch_upsert` (one record per stored chunk), `delete`,\n"
    "`batch_delete` and `ef_search` change is appended to it before it applies. A missing file is created\n"
    "(permissions 0600); an existing log is replayed onto the store's current content, in order, and then\n"
    "appended to. To recover after a crash, `load` the last snapshot saved while the log was open, then\n"
    "open the log. `save` with a log open starts the log afresh once the snapshot is in place, and so does\n"
    "`load`. A process forked from this one does not write to the log.\n"
    "\n"
    "# Parameters\n"
    "* `path` - The log file (a str or an `os.PathLike`): a regular file, or a name for a new one.\n"
    "* `sync` - 'always' syncs each change to disk before it returns; 'batch' syncs on a background thread\n"
    "  at most every 50 ms (a crash of the machine may lose the last of them); 'none' leaves it to the\n"
    "  operating system.\n"
    "\n"
    "# Errors\n"
    "Raises `OSError` when the file cannot be opened or created, is no regular file, is held open by another\n"
    "store, is not a log, or holds a damaged record before its end (the message names its offset); the store\n"
    "is then unchanged. A record cut short at the end by a crash is dropped with a `RuntimeWarning` naming\n"
    "how many bytes. Raises `ValueError` when a log is already open. While a log is open, the changing\n"
    "methods raise `OSError` when it cannot be written, and the store is then unchanged by that call.";

inline constexpr char CLOSE_LOG[] =
    "close_log($self)\n"
    "--\n"
    "\n"
    "Closes the open write-ahead log, syncing what it has not synced yet; nothing happens when none is open.\n"
    "\n"
    "# Errors\n"
    "Raises `OSError` when a sync of the log failed; the log is closed all the same.";

inline constexpr char FOLLOW_LOG[] =
    "follow_log($self, path, *, poll=0.05, priority='low')\n"
    "--\n"
    "\n"
    "Follows the write-ahead log another process writes, so that this store stays current with it.\n"
    "\n"
    "`load` the writer's snapshot first. The store then applies each whole record the writer appends to\n"
    "the log at `path`, in order, and never writes to the log or the snapshot: its answers always come\n"
    "from a state the writer had between two records, and that state only moves forward, but for a change\n"
    "the writer refused: when its sync fails it cuts the record off again, and a store that applied it\n"
    "meanwhile loads the snapshot and the log afresh, without it. A record the writer has not finished is\n"
    "not applied. When the writer's `save` starts the log afresh, the store reads the old log to its end\n"
    "and goes on with the new one; when it missed one, it loads the snapshot that the new log names\n"
    "together with it. While it follows, the store refuses `upsert`,\n"
    "`batch_upsert`, `delete`, `batch_delete`, `ef_search` changes, `load` and `open_log` with\n"
    "`ValueError`; searches and queries run as on any store and never wait for the log to be read.\n"
    "What the log holds is applied before this returns. The interpreter lock is released meanwhile.\n"
    "\n"
    "# Parameters\n"
    "* `path` - The writer's log file (a str or an `os.PathLike`).\n"
    "* `poll` - Seconds between looks for new records by a thread of the store (above 0, at most 3600);\n"
    "  None for no thread: `catch_up` alone applies records then.\n"
    "* `priority` - How the thread applies records. The writer logs the graph's lists each change made,\n"
    "  and the thread installs them, a small part of the writer's work, at the process's priority. A\n"
    "  change it must link itself (from a log written without lists) it links at 'low' priority (on Linux\n"
    "  niceness 19 from then on, on its own thread, in small steps), taking only the processor time the\n"
    "  writer and this store's searches leave, or at 'normal' priority (on the worker pool), keeping up at\n"
    "  the writer's expense. `catch_up` applies at its caller's priority, on the worker pool.\n"
    "\n"
    "# Errors\n"
    "Raises `ValueError` for a `priority` other than 'low' or 'normal', or when the store has a log open,\n"
    "follows one already, or loaded no snapshot, and\n"
    "`OSError` when the log cannot be read, is no log, holds a damaged record before its end (the message\n"
    "names its offset), or does not continue the loaded snapshot and no snapshot it continues is in its\n"
    "place; the store then follows nothing.";

inline constexpr char CATCH_UP[] =
    "catch_up($self)\n"
    "--\n"
    "\n"
    "Applies what the followed log holds beyond what was applied, and returns how many records it applied.\n"
    "\n"
    "The interpreter lock is released meanwhile; the store's thread, if it has one, does the same work\n"
    "every `poll` seconds.\n"
    "\n"
    "# Errors\n"
    "Raises `ValueError` when the store follows no log, and `OSError` when the log is gone from its path,\n"
    "was replaced by a file that is no log, holds a damaged record before its end (the message names its\n"
    "offset), or a snapshot the new log continues is not in place. The store then keeps the state of the\n"
    "last record it applied, answers from it, and tries again at the next catch-up.";

inline constexpr char STOP_FOLLOWING[] =
    "stop_following($self)\n"
    "--\n"
    "\n"
    "Stops following the log: the store keeps its content and takes changes again (once a catch_up under\n"
    "way on another thread has ended); nothing happens when it follows none.";

inline constexpr char EF_SEARCH[] =
    "The beam width of graph searches (at least `limit`): larger gives higher recall, smaller is faster.\n"
    "An int from 1 to 4096; saved in snapshots.";

inline constexpr char EARLY_STOP[] =
    "The walk `query` and `batch_query` take when a call leaves `early_stop` out or None: True for\n"
    "the fast walk, False (the default) for the walk `search` takes. A bool; a setting of this object\n"
    "only, neither logged nor saved in snapshots, and kept across `load`.";

inline constexpr char CHANGE_COUNT[] =
    "How many changes this store has taken since it was made: upserts, deletes, loads, a log replayed over\n"
    "it and the records of a followed log, refused ones included. It moves whenever the content may have\n"
    "changed, and a change counted here is already visible; read-only.";

inline constexpr char M[] = "The link budget per node and layer (twice this at layer 0); read-only.";

inline constexpr char EF_CONSTRUCTION[] = "The beam width of graph insertion; read-only.";

inline constexpr char FOLLOWED_LOG[] =
    "The path of the log this store follows (`follow_log`), or None when it follows none; read-only.";

inline constexpr char LOG_PATH[] = "The path of the open write-ahead log, or None when none is open; read-only.";

}  // namespace tarnwick::docs
