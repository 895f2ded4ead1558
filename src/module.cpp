// The tarnwick module and its one class, VectorStorage: type creation, the
// method table and each method's binding onto the store.
#include "py_ref.h"

#include <memory>
#include <new>
#include <tuple>
#include <utility>

#include "binding.h"
#include "vector_storage_object.h"
#include "fast_method.h"
#include "method_arguments.h"
#include "docstrings.h"
#include "filter_reader.h"
#include "index/metrics.h"
#include "persist/log_follower.h"
#include "persist/snapshot_file.h"
#include "persist/write_ahead_log.h"
#include "storage/search.h"
#include "storage/store.h"
#include "util/free_memory.h"

namespace tarnwick {

namespace {

constexpr const char* UPSERT_PARAMS[] = {"point_id", "vector", "payload"};
constexpr const char* SEARCH_PARAMS[] = {"query_vector", "limit", "metric", "tenant_id"};
constexpr const char* BATCH_SEARCH_PARAMS[] = {"query_vectors", "limit", "metric", "tenant_id"};
constexpr const char* PATH_PARAMS[] = {"path"};
constexpr const char* BATCH_UPSERT_PARAMS[] = {"point_ids", "vectors", "payloads", "progress"};
constexpr const char* POINT_ID_PARAMS[] = {"point_id"};
constexpr const char* POINT_IDS_PARAMS[] = {"point_ids"};
constexpr const char* QUERY_PARAMS[] = {"query_vector", "limit", "metric", "where", "tenant_id",
                                        "ef", "early_stop", "with_payload"};
constexpr const char* BATCH_QUERY_PARAMS[] = {"query_vectors", "limit", "metric", "where",
                                              "tenant_id", "ef", "early_stop", "with_payload"};
constexpr const char* OPEN_LOG_PARAMS[] = {"path", "sync"};
constexpr const char* FOLLOW_LOG_PARAMS[] = {"path", "poll", "priority"};

constexpr MethodSpec UPSERT_SPEC{"VectorStorage.upsert()", UPSERT_PARAMS, 3, 3};
constexpr MethodSpec SEARCH_SPEC{"VectorStorage.search()", SEARCH_PARAMS, 4, 3};
constexpr MethodSpec BATCH_SEARCH_SPEC{"VectorStorage.batch_search()", BATCH_SEARCH_PARAMS, 4, 3};
constexpr MethodSpec SAVE_SPEC{"VectorStorage.save()", PATH_PARAMS, 1, 1};
constexpr MethodSpec LOAD_SPEC{"VectorStorage.load()", PATH_PARAMS, 1, 1};
constexpr MethodSpec NEW_SPEC{"VectorStorage.__new__()", nullptr, 0, 0};
constexpr MethodSpec BATCH_UPSERT_SPEC{"VectorStorage.batch_upsert()", BATCH_UPSERT_PARAMS, 4, 2, 3};
constexpr MethodSpec DELETE_SPEC{"VectorStorage.delete()", POINT_ID_PARAMS, 1, 1};
constexpr MethodSpec BATCH_DELETE_SPEC{"VectorStorage.batch_delete()", POINT_IDS_PARAMS, 1, 1};
constexpr MethodSpec GET_SPEC{"VectorStorage.get()", POINT_ID_PARAMS, 1, 1};
constexpr MethodSpec QUERY_SPEC{"VectorStorage.query()", QUERY_PARAMS, 8, 1, 3};
constexpr MethodSpec BATCH_QUERY_SPEC{"VectorStorage.batch_query()", BATCH_QUERY_PARAMS, 8, 1, 3};
constexpr MethodSpec OPEN_LOG_SPEC{"VectorStorage.open_log()", OPEN_LOG_PARAMS, 2, 1, 1};
constexpr MethodSpec CLOSE_LOG_SPEC{"VectorStorage.close_log()", nullptr, 0, 0};
constexpr MethodSpec FOLLOW_LOG_SPEC{"VectorStorage.follow_log()", FOLLOW_LOG_PARAMS, 3, 1, 1};
constexpr MethodSpec CATCH_UP_SPEC{"VectorStorage.catch_up()", nullptr, 0, 0};
constexpr MethodSpec STOP_FOLLOWING_SPEC{"VectorStorage.stop_following()", nullptr, 0, 0};

// Points stored per step of batch_upsert; between steps the caller handles
// signals and reports progress.
constexpr size_t BATCH_UPSERT_CHUNK = 4096;
// A batch_upsert of at least this many components (16 MiB of them) gives the
// memory it freed back to the system when it ends.
constexpr size_t RELEASE_AFTER_FLOATS = size_t{1} << 22;

constexpr char SEARCH_METRIC_ERROR[] =
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2').";
// batch_search words its refusal differently, though it accepts the same names.
constexpr char BATCH_SEARCH_METRIC_ERROR[] =
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'.";


// ---- The methods: each an _impl on converted arguments, in the order of its spec ----

std::optional<std::string_view> as_view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

PyObject* upsert_impl(PyObject* self, uint64_t& point_id, std::vector<float>& vector,
                      std::unique_ptr<Payload>& payload) {
  return none_or_raise(upsert(store_of(self), point_id, vector, std::move(payload)));
}

PyObject* search_impl(PyObject* self, std::vector<float>& query, uint64_t& limit,
                      std::string& metric_name, std::optional<std::string>& tenant) {
  std::optional<Metric> metric = parse_metric(metric_name);
  if (!metric) {
    PyErr_SetString(PyExc_ValueError, SEARCH_METRIC_ERROR);
    return nullptr;
  }
  std::vector<ScoredPoint> results = search_points(store_of(self), query, limit, *metric, as_view(tenant));
  return build_result_list(results);
}

// Returns a new list holding one result list per query, or null with an exception set.
PyObject* build_batch_result_list(std::span<const std::vector<ScoredPoint>> results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* inner = build_result_list(results[i]);
    if (inner == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), inner);
  }
  return list.release();
}

// The converted queries are released before the result objects are built. The
// calling thread keeps the interpreter lock while the workers answer; they
// touch nothing of Python's.
PyObject* batch_search_impl(PyObject* self, VectorList& queries, uint64_t& limit,
                            std::string& metric_name, std::optional<std::string>& tenant) {
  std::optional<Metric> metric = parse_metric(metric_name);
  if (!metric) {
    PyErr_SetString(PyExc_ValueError, BATCH_SEARCH_METRIC_ERROR);
    return nullptr;
  }
  std::vector<std::vector<ScoredPoint>> results;
  {
    std::vector<std::span<const float>> query_spans(queries.size());
    for (size_t i = 0; i < queries.size(); ++i) query_spans[i] = queries[i];
    results = batch_search_points(store_of(self), query_spans, limit, *metric, as_view(tenant));
    queries = VectorList();
  }
  return build_batch_result_list(results);
}

PyObject* save_impl(PyObject* self, std::string& path) {
  return none_or_raise(save_snapshot_and_log(store_of(self), path));
}

PyObject* load_impl(PyObject* self, std::string& path) {
  return none_or_raise(load_snapshot_and_log(store_of(self), path));
}

bool check_same_length(const char* name, size_t count, size_t ids) {
  if (count == ids) return true;
  PyErr_Format(PyExc_ValueError, "point_ids has %zu items but %s has %zu", ids, name, count);
  return false;
}

PyObject* batch_upsert_impl(PyObject* self, std::vector<uint64_t>& point_ids,
                            NumberedVectorList& vector_list,
                            std::optional<std::vector<std::unique_ptr<Payload>>>& payload_list,
                            Callback& progress) {
  const VectorList& vectors = vector_list.list;
  if (!check_same_length("vectors", vectors.size(), point_ids.size())) return nullptr;
  if (payload_list && !check_same_length("payloads", payload_list->size(), point_ids.size())) {
    return nullptr;
  }
  const size_t total = point_ids.size();
  std::vector<std::unique_ptr<Payload>>& payloads = payload_list ? *payload_list : payload_list.emplace();
  std::vector<std::span<const float>> rows(total);
  for (size_t i = 0; i < total; ++i) rows[i] = vectors[i];
  if (payloads.empty()) payloads.resize(total);
  if (total > BATCH_UPSERT_CHUNK) {
    Store& store = store_of(self);
    without_interpreter_lock([&] { make_room_for_points(store, point_ids); });
  }
  for (size_t done = 0; done < total;) {
    size_t count = std::min(BATCH_UPSERT_CHUNK, total - done);
    Store& store = store_of(self);
    Status stored = without_interpreter_lock([&] {
      return upsert_batch(store, std::span(point_ids).subspan(done, count),
                          std::span<const std::span<const float>>(rows).subspan(done, count),
                          std::span(payloads).subspan(done, count));
    });
    if (!raise_status(stored)) return nullptr;
    done += count;
    // The store is consistent and unlocked here: Python code may run.
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (progress.callable != nullptr) {
      PyRef outcome = PyRef::steal(PyObject_CallFunction(progress.callable, "nn",
                                                         static_cast<Py_ssize_t>(done),
                                                         static_cast<Py_ssize_t>(total)));
      if (!outcome) return nullptr;
    }
  }
  if (vector_list.list.values.size() >= RELEASE_AFTER_FLOATS) {
    // The converted input goes now, and with it what the steps left in the
    // allocator's free lists goes back to the system.
    vector_list.list = VectorList();
    std::vector<std::span<const float>>().swap(rows);
    std::vector<uint64_t>().swap(point_ids);
    std::vector<std::unique_ptr<Payload>>().swap(payloads);
    without_interpreter_lock([] { release_free_memory(); });
  }
  Py_RETURN_NONE;
}

// The options of a query, converted; the metric is checked here.
bool make_query_request(const Store& store, MetricName& metric_name, QueryLimit& limit,
                        WhereArgument& where, std::optional<std::string>& tenant,
                        BeamOverride& ef, OptionalFlag& early_stop, Flag& with_payload,
                        QueryRequest& request) {
  std::optional<Metric> metric = parse_metric(metric_name.text);
  if (!metric) {
    PyErr_SetString(PyExc_ValueError, SEARCH_METRIC_ERROR);
    return false;
  }
  request.limit = limit.value;
  request.metric = *metric;
  request.tenant = as_view(tenant);
  request.where = where_filter(where);
  request.ef = ef.value;
  request.early_stop = early_stop.value.value_or(store.fast_queries.load());
  request.with_payload = with_payload.value;
  return true;
}

PyObject* build_query_result(const QueryAnswer& answer, bool with_payload, PayloadKeyCache& keys) {
  if (with_payload) return build_payload_result_list(answer.points, answer.payloads, keys);
  return build_result_list(answer.points);
}

// The interpreter lock is released while the store answers; the answer is
// copied out, and the store's locks released, before it is taken back.
PyObject* query_impl(PyObject* self, std::vector<float>& query, QueryLimit& limit,
                     MetricName& metric_name, WhereArgument& where,
                     std::optional<std::string>& tenant, BeamOverride& ef,
                     OptionalFlag& early_stop, Flag& with_payload) {
  const Store& store = store_of(self);
  QueryRequest request;
  if (!make_query_request(store, metric_name, limit, where, tenant, ef, early_stop, with_payload,
                          request)) {
    return nullptr;
  }
  QueryAnswer answer =
      without_interpreter_lock([&] { return query_points(store, query, request); });
  return build_query_result(answer, request.with_payload, payload_keys_of(self));
}

PyObject* batch_query_impl(PyObject* self, VectorList& queries, QueryLimit& limit,
                           MetricName& metric_name, WhereArgument& where,
                           std::optional<std::string>& tenant, BeamOverride& ef,
                           OptionalFlag& early_stop, Flag& with_payload) {
  const Store& store = store_of(self);
  QueryRequest request;
  if (!make_query_request(store, metric_name, limit, where, tenant, ef, early_stop, with_payload,
                          request)) {
    return nullptr;
  }
  std::vector<QueryAnswer> answers = without_interpreter_lock([&] {
    std::vector<std::span<const float>> query_spans(queries.size());
    for (size_t i = 0; i < queries.size(); ++i) query_spans[i] = queries[i];
    return batch_query_points(store, query_spans, request);
  });
  queries = VectorList();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(answers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < answers.size(); ++i) {
    PyObject* inner = build_query_result(answers[i], request.with_payload, payload_keys_of(self));
    if (inner == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), inner);
  }
  return list.release();
}

PyObject* delete_impl(PyObject* self, uint64_t& point_id) {
  size_t existed = 0;
  if (!raise_status(delete_points(store_of(self), std::span(&point_id, 1), existed, ChangeKind::Delete))) {
    return nullptr;
  }
  return PyBool_FromLong(existed > 0);
}

PyObject* batch_delete_impl(PyObject* self, std::vector<uint64_t>& point_ids) {
  Store& store = store_of(self);
  size_t existed = 0;
  const Status deleted = without_interpreter_lock(
      [&] { return delete_points(store, point_ids, existed, ChangeKind::DeleteBatch); });
  if (!raise_status(deleted)) return nullptr;
  return PyLong_FromSize_t(existed);
}

PyObject* get_impl(PyObject* self, uint64_t& point_id) {
  PointCopy point;
  if (!get_point(store_of(self), point_id, point)) Py_RETURN_NONE;
  PyRef vector = PyRef::steal(build_float_list(point.vector));
  if (!vector) return nullptr;
  PyRef payload = point.payload ? PyRef::steal(build_payload_dict(*point.payload, payload_keys_of(self)))
                                : PyRef::borrow(Py_None);
  if (!payload) return nullptr;
  return PyTuple_Pack(2, vector.get(), payload.get());
}

PyObject* open_log_impl(PyObject* self, FilePath& path, SyncChoice& sync) {
  Store& store = store_of(self);
  return none_or_raise(without_interpreter_lock([&] { return open_log(store, path.text, sync.mode); }));
}

PyObject* close_log_impl(PyObject* self) {
  Store& store = store_of(self);
  return none_or_raise(without_interpreter_lock([&] { return close_log(store); }));
}

// The follower is started and its first catch-up made without the
// interpreter lock; it is put in place once it follows.
PyObject* follow_log_impl(PyObject* self, FilePath& path, PollInterval& poll, FollowPriority& priority) {
  Store& store = store_of(self);
  std::unique_ptr<LogFollower> started;
  const Status status = without_interpreter_lock(
      [&] { return start_following(store, path.text, poll.interval, priority.priority, started); });
  if (!raise_status(status)) return nullptr;
  follower_of(self) = std::move(started);
  Py_RETURN_NONE;
}

PyObject* catch_up_impl(PyObject* self) {
  std::shared_ptr<LogFollower> follower = follower_of(self);
  if (!follower) {
    PyErr_SetString(PyExc_ValueError, "this store follows no log: follow_log() first");
    return nullptr;
  }
  size_t applied = 0;
  // The reference is dropped without the interpreter lock: when stop_following
  // ran meanwhile, dropping it stops the follower's thread.
  const Status status = without_interpreter_lock([&] {
    Status caught_up = catch_up(*follower, applied);
    follower.reset();
    return caught_up;
  });
  if (!raise_status(status)) return nullptr;
  return PyLong_FromSize_t(applied);
}

// Returns once the store takes changes again: a catch-up under way on another
// thread, which holds the follower too, is waited for.
PyObject* stop_following_impl(PyObject* self) {
  std::shared_ptr<LogFollower> follower = std::move(follower_of(self));
  if (follower) {
    without_interpreter_lock([&] {
      stop_following(*follower);
      follower.reset();
    });
  }
  Py_RETURN_NONE;
}


PyMethodDef VECTOR_STORAGE_METHODS[] = {
    method_entry<UPSERT_SPEC, upsert_impl>("upsert", docs::UPSERT),
    method_entry<SEARCH_SPEC, search_impl>("search", docs::SEARCH),
    method_entry<BATCH_SEARCH_SPEC, batch_search_impl>("batch_search", docs::BATCH_SEARCH),
    method_entry<SAVE_SPEC, save_impl>("save", docs::SAVE),
    method_entry<LOAD_SPEC, load_impl>("load", docs::LOAD),
    method_entry<BATCH_UPSERT_SPEC, batch_upsert_impl>("batch_upsert", docs::BATCH_UPSERT),
    method_entry<DELETE_SPEC, delete_impl>("delete", docs::DELETE),
    method_entry<BATCH_DELETE_SPEC, batch_delete_impl>("batch_delete", docs::BATCH_DELETE),
    method_entry<GET_SPEC, get_impl>("get", docs::GET),
    method_entry<QUERY_SPEC, query_impl>("query", docs::QUERY),
    method_entry<BATCH_QUERY_SPEC, batch_query_impl>("batch_query", docs::BATCH_QUERY),
    method_entry<OPEN_LOG_SPEC, open_log_impl>("open_log", docs::OPEN_LOG),
    method_entry<CLOSE_LOG_SPEC, close_log_impl>("close_log", docs::CLOSE_LOG),
    method_entry<FOLLOW_LOG_SPEC, follow_log_impl>("follow_log", docs::FOLLOW_LOG),
    method_entry<CATCH_UP_SPEC, catch_up_impl>("catch_up", docs::CATCH_UP),
    method_entry<STOP_FOLLOWING_SPEC, stop_following_impl>("stop_following", docs::STOP_FOLLOWING),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* vector_storage_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Py_ssize_t given = PyTuple_GET_SIZE(args);
  if (given > 0) {
    PyErr_Format(PyExc_TypeError, "%s takes 0 positional arguments but %zd %s given",
                 NEW_SPEC.full_name, given, given == 1 ? "was" : "were");
    return nullptr;
  }
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    PyDict_Next(kwargs, &position, &key, &value);
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", NEW_SPEC.full_name,
                 key);
    return nullptr;
  }
  std::unique_ptr<Store> store = std::make_unique<Store>();
  PyRef no_arguments = PyRef::steal(PyTuple_New(0));
  if (!no_arguments) return nullptr;
  PyObject* self = PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr);
  if (self == nullptr) return nullptr;  // the store is dropped with its handle
  new (&follower_of(self)) std::shared_ptr<LogFollower>();
  new (&payload_keys_of(self)) PayloadKeyCache();
  reinterpret_cast<VectorStorageObject*>(self)->store = store.release();
  return self;
}

PyObject* vector_storage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry_point<PyObject*>(nullptr,
                                      [&] { return vector_storage_new_impl(type, args, kwargs); });
}

// Dropping a store runs only destructors, which throw nothing. A follower's
// thread, which never takes the interpreter lock, is stopped before the store goes.
void vector_storage_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  follower_of(self).~shared_ptr();
  payload_keys_of(self).~PayloadKeyCache();
  delete reinterpret_cast<VectorStorageObject*>(self)->store;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot VECTOR_STORAGE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(docs::VECTOR_STORAGE)},
    {Py_tp_new, reinterpret_cast<void*>(vector_storage_new)},
    {Py_tp_methods, VECTOR_STORAGE_METHODS},
    {Py_tp_getset, vector_storage_properties()},
    {Py_sq_length, reinterpret_cast<void*>(vector_storage_length)},
    {Py_sq_contains, reinterpret_cast<void*>(vector_storage_contains)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(vector_storage_dealloc)},
    {0, nullptr},
};

PyType_Spec VECTOR_STORAGE_SPEC = {
    "builtins.VectorStorage",
    sizeof(VectorStorageObject),
    0,
    Py_TPFLAGS_DEFAULT,
    VECTOR_STORAGE_SLOTS,
};

// Returns a borrowed reference to the class, created on first use and kept for
// the life of the process.
PyObject* vector_storage_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&VECTOR_STORAGE_SPEC);
  return type;
}

int tarnwick_exec_impl(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_type_mismatch(module, "module");
    return -1;
  }
  if (const std::string& refused = scan_kernels_failure(); !refused.empty()) {
    PyErr_SetString(PyExc_ValueError, refused.c_str());
    return -1;
  }
  PyObject* type = vector_storage_type();
  if (type == nullptr) return -1;
  PyRef name = PyRef::steal(PyUnicode_FromString("VectorStorage"));
  if (!name) return -1;

  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), "list");
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), type);
}

int tarnwick_exec(PyObject* module) {
  return guard_entry_point(-1, [&] { return tarnwick_exec_impl(module); });
}

PyModuleDef_Slot TARNWICK_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tarnwick_exec)},
    {0, nullptr},
};

PyModuleDef TARNWICK_MODULE = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    docs::MODULE,
    0,
    nullptr,
    TARNWICK_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick::TARNWICK_MODULE); }
