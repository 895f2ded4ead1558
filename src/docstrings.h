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

}  // namespace tarnwick::docs
