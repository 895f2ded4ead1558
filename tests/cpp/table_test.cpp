// Checks of the point table that need its internals: the id index against a
// model under random puts and removals, and every change left consistent (and
// unchanged) when an allocation fails at any point inside it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "index/hnsw.h"
#include "table/point_table.h"
#include "check.h"

using namespace tarnwick;

// ---- an allocator that fails on request ----

namespace {
long allocations_left = -1;  // -1: never fail

void* allocate(std::size_t size, std::size_t align) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  void* place = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (size + align - 1) / align * align)
                                                   : std::malloc(size == 0 ? 1 : size);
  if (place == nullptr) throw std::bad_alloc();
  return place;
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t align) { return allocate(size, static_cast<std::size_t>(align)); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocate(size, static_cast<std::size_t>(align)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

std::unique_ptr<Payload> tenant_payload(const std::string& tenant) {
  if (tenant.empty()) return nullptr;
  std::vector<PayloadEntry> entries;
  entries.push_back({"tenant_id", PayloadValue::from_text(tenant)});
  entries.push_back({"n", PayloadValue::from_integer(7)});
  return std::make_unique<Payload>(make_payload(std::move(entries)));
}

// Deletes the point stored under `key`, if any, as the store does.
void delete_key(PointTable& table, uint64_t key) {
  uint32_t slot = find_slot(table, key);
  if (slot == NO_SLOT) return;
  remove_record(table, slot);
  release_slot(table, slot);
}

void append_number(std::string& out, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g,", value);
  out.append(text);
}

// Everything a caller can observe of a table, by key.
std::string digest(const PointTable& table) {
  std::map<uint64_t, std::string> by_key;
  for (uint32_t slot = 0; slot < slot_count(table); ++slot) {
    if (!has_record(table, slot)) continue;
    std::string line;
    append_number(line, static_cast<double>(record_id(table, slot)));
    for (float x : point_vector(table, slot)) append_number(line, x);
    std::string_view tenant;
    if (tenant_of(table.records[slot].payload.get(), tenant)) line.append(tenant);
    if (table.headers[slot].tenant != NO_TENANT) {
      append_number(line, static_cast<double>(tenant_members(table, table.headers[slot].tenant).size()));
    }
    by_key[slot_key(table, slot)] = line;
  }
  std::string all;
  for (const auto& [key, line] : by_key) {
    append_number(all, static_cast<double>(key));
    all.append(line).append(";");
  }
  return all;
}

PointTable sample_table() {
  PointTable table;
  for (uint64_t key = 0; key < 40; ++key) {
    std::vector<float> v(key % 7 == 0 ? 3 : 4, static_cast<float>(key));
    const char* tenants[] = {"", "t1", "t2", "t3"};
    put_point(table, key, key, v, 1.0f, tenant_payload(key % 3 == 0 ? "" : tenants[key % 4]));
  }
  return table;
}

void no_preparation(PointTable&) {}

// Runs `change` on fresh sample tables (`prepare`d first), failing the 1st,
// 2nd, ... allocation inside it until it succeeds; after each failure the
// table must be consistent and unchanged.
template <typename Change, typename Prepare = void (*)(PointTable&)>
void check_failures_leave_table_unchanged(const char* name, Change change,
                                          Prepare prepare = no_preparation) {
  for (long n = 0;; ++n) {
    PointTable table = sample_table();
    prepare(table);
    const std::string before = digest(table);
    bool threw = false;
    allocations_left = n;
    try {
      change(table);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    allocations_left = -1;
    std::string problem = check_table(table);
    if (!problem.empty()) std::printf("%s, failing allocation %ld: %s\n", name, n, problem.c_str());
    CHECK(problem.empty());
    if (!threw) break;
    CHECK(digest(table) == before);
    if (n > 10000) {
      CHECK(false);
      break;
    }
  }
}

void test_allocation_failures() {
  check_failures_leave_table_unchanged("new key, new tenant", [](PointTable& t) {
    std::vector<float> v(4, 2.5f);
    put_point(t, 1000, 1000, v, 1.0f, tenant_payload("fresh"));
  });
  check_failures_leave_table_unchanged("replace: other tenant, other length", [](PointTable& t) {
    std::vector<float> v(9, 2.5f);
    put_point(t, 5, 5, v, 1.0f, tenant_payload("another"));
  });
  check_failures_leave_table_unchanged("replace: into the rows, foreign id", [](PointTable& t) {
    std::vector<float> v(4, 1.5f);
    put_point(t, 7, 99, v, 1.0f, tenant_payload("t1"));
  });
  check_failures_leave_table_unchanged("new key of a known tenant", [](PointTable& t) {
    std::vector<float> v(4, 1.0f);
    put_point(t, 100, 100, v, 1.0f, tenant_payload("t1"));
  });
  check_failures_leave_table_unchanged("replace: new payload keys and values", [](PointTable& t) {
    std::vector<PayloadEntry> entries;
    entries.push_back({"n", PayloadValue::from_float(7.5)});
    entries.push_back({"fresh", PayloadValue::from_text("value")});
    entries.push_back({"odd", PayloadValue::from_float(0.0 / 0.0)});
    std::vector<float> v(4, 1.0f);
    put_point(t, 4, 4, v, 1.0f, std::make_unique<Payload>(make_payload(std::move(entries))));
  });
  check_failures_leave_table_unchanged("replace: the last of its tenant, a new tenant in its code",
                                       [](PointTable& t) {
    std::vector<float> v(4, 3.0f);
    put_point(t, 1001, 1001, v, 1.0f, tenant_payload("next"));  // "single" goes, "next" comes
  }, [](PointTable& t) {
    std::vector<float> v(4, 3.0f);
    put_point(t, 1000, 1000, v, 1.0f, tenant_payload("alone"));
    remove_record(t, find_slot(t, 1000));  // "alone" is forgotten, its code free
    release_slot(t, find_slot(t, 1000));
    put_point(t, 1001, 1001, v, 1.0f, tenant_payload("single"));
  });
  check_failures_leave_table_unchanged("a new payload key in a forgotten key's code",
                                       [](PointTable& t) {
    std::vector<PayloadEntry> entries;
    entries.push_back({"fresh", PayloadValue::from_text("value")});
    entries.push_back({"n", PayloadValue::from_integer(3)});
    std::vector<float> v(4, 1.0f);
    put_point(t, 4, 4, v, 1.0f, std::make_unique<Payload>(make_payload(std::move(entries))));
  }, [](PointTable& t) {
    std::vector<PayloadEntry> entries;
    entries.push_back({"gone", PayloadValue::from_integer(1)});
    std::vector<float> v(4, 1.0f);
    put_point(t, 1000, 1000, v, 1.0f, std::make_unique<Payload>(make_payload(std::move(entries))));
    delete_key(t, 1000);  // "gone" is forgotten, its code free
  });
  check_failures_leave_table_unchanged("a slot without a record, given up", [](PointTable& t) {
    release_slot(t, slot_for_key(t, 5000));
  });
  check_failures_leave_table_unchanged("tenant lists made again", [](PointTable& t) {
    rebuild_tenants(t);
  });
  // A move that fails keeps the table as it was (the move itself reports it).
  check_failures_leave_table_unchanged("the rows moved to another length", [](PointTable& t) {
    if (!settle_row_length(t)) throw std::bad_alloc();
  }, [](PointTable& t) {
    for (uint64_t key = 200; key < 300; ++key) {
      std::vector<float> v(4, static_cast<float>(key));
      put_point(t, key, key, v, 1.0f, nullptr);
    }
  });
}

// `reserved`: room made ahead, as a load or a large batch makes it, which
// sizes the id index to no power of two.
void test_id_index_against_a_model(size_t reserved) {
  std::mt19937_64 rng(5 + reserved);
  PointTable table;
  reserve_points(table, reserved);
  std::map<uint64_t, float> model;
  size_t most_live = 0;
  for (int step = 0; step < 60000; ++step) {
    // Keys from a small range collide in the index often; a few huge ones too.
    uint64_t key = rng() % 3 == 0 ? rng() : rng() % 3000;
    if (rng() % 3 == 0) {
      delete_key(table, key);
      model.erase(key);
    } else {
      float value = static_cast<float>(step);
      std::vector<float> v(rng() % 5 == 0 ? 2 : 3, value);
      put_point(table, key, key, v, 1.0f, tenant_payload(rng() % 2 ? "a" : "b"));
      model[key] = value;
    }
    most_live = std::max(most_live, model.size());
  }
  CHECK(check_table(table).empty());
  CHECK(table.record_count == model.size());
  bool all_found = true;
  for (const auto& [key, value] : model) {
    uint32_t slot = find_slot(table, key);
    all_found = all_found && slot != NO_SLOT && point_vector(table, slot)[0] == value;
  }
  CHECK(all_found);
  CHECK(slot_count(table) == most_live);  // a freed slot is taken before the table grows
}

void test_graph_install_failures() {
  for (long n = 0;; ++n) {
    HnswIndex graph;
    NeighborLists first;
    first[0] = {1, 2};
    install_node(graph, 0, 0, 0, first, 0);
    NeighborLists lists;
    lists[0].assign(100, 0);  // longer than a block: goes to the overflow map
    lists[2] = {0};
    allocations_left = n;
    bool threw = false;
    try {
      install_node(graph, 7000, 5, 4, lists, 3);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    allocations_left = -1;
    if (!threw) {
      CHECK(node_level(graph, 7000) == 3 && layer0_neighbors(graph, 7000).size() == 100);
      CHECK(graph.node_count == 2 && node_id(graph, 7000, 4) == 5);
      break;
    }
    CHECK(!has_node(graph, 7000) && graph.node_count == 1 && graph.upper_layers.empty() &&
          graph.layer0_overflow.empty() && graph.foreign_node_ids.empty());
  }
  // Only the chunks of slots with a node exist.
  HnswIndex graph;
  install_node(graph, 3000000, 1, 1, NeighborLists{}, 0);
  size_t chunks = 0;
  for (const auto& chunk : graph.layer0_chunks) chunks += chunk != nullptr;
  CHECK(chunks == 1);
}

// Metas lie in the codes' paddings when the rows' dimension leaves 16 bytes
// there, else by slot; slots made before the rows' dimension is set (a point
// of length 0 first) must not keep a per-slot meta in the first case, and
// removed, replaced or uncodable points have no code in both.
void test_code_metas_where_the_dimension_puts_them() {
  for (size_t dim : {5, 48, 49, 64, 100, 112, 113, 128, 200}) {
    std::mt19937_64 rng(dim);
    PointTable table;
    put_point(table, 0, 0, std::vector<float>{}, 1.0f, tenant_payload(""));
    for (uint64_t key = 1; key < 300; ++key) {
      std::vector<float> v(key > 1 && rng() % 11 == 0 ? dim + 1 : dim);
      for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 997.0f;
      if (rng() % 13 == 0) v[rng() % v.size()] = 0.0f / 0.0f;
      put_point(table, key, key, v, 1.0f, tenant_payload(""));
      if (rng() % 7 == 0) {
        const uint32_t slot = find_slot(table, rng() % key + 1);
        if (slot != NO_SLOT && has_record(table, slot)) {
          remove_record(table, slot);
          release_slot(table, slot);
        }
      }
    }
    const std::string problem = check_table(table);
    if (!problem.empty()) std::printf("dimension %zu: %s\n", dim, problem.c_str());
    CHECK(problem.empty());
    CHECK(table.codes.meta_in_padding == code_meta_fits_padding(dim));
    CHECK(table.codes.meta.size() == (code_meta_fits_padding(dim) ? 0 : slot_count(table)));
    size_t coded = 0;
    for (uint32_t slot = 0; slot < slot_count(table); ++slot) {
      if (!in_rows(table, slot)) continue;
      coded += has_code(table, slot);
      const float* row = row_of(table.rows, slot);
      const bool finite = std::all_of(row, row + dim, [](float x) { return std::isfinite(x); });
      CHECK(has_code(table, slot) == finite);
    }
    if (coded <= 150) std::printf("dimension %zu: %zu coded\n", dim, coded);
    CHECK(coded > 150);
  }
}

}  // namespace

// Tenants that come and go (one per session, say): a tenant whose last member
// leaves is forgotten and its code taken by the next new one, so the table
// holds no more tenants than it ever had at once, and every list and lookup
// matches a model of which key holds which tenant.
void test_tenants_come_and_go() {
  std::mt19937_64 rng(17);
  PointTable table;
  std::map<uint64_t, std::string> model;  // key -> tenant ("" for none)
  size_t most_live_tenants = 0, next_name = 0;
  std::vector<std::string> gone;
  for (int step = 0; step < 40000; ++step) {
    const uint64_t key = rng() % 200;
    if (rng() % 4 == 0) {
      delete_key(table, key);
      model.erase(key);
    } else {
      // Mostly a fresh tenant, sometimes that of another key, sometimes none.
      std::string tenant;
      if (rng() % 3 != 0) tenant.append("s").append(std::to_string(next_name++));
      if (rng() % 3 == 0 && !model.empty()) tenant = model.begin()->second;
      std::vector<float> v(3, static_cast<float>(step));
      put_point(table, key, key, v, 1.0f, tenant_payload(tenant));
      model[key] = tenant;
    }
    std::map<std::string, size_t> counts;
    for (const auto& [k, tenant] : model) {
      if (!tenant.empty()) ++counts[tenant];
    }
    most_live_tenants = std::max(most_live_tenants, counts.size());
    if (step % 1000 == 0 || step == 39999) {
      CHECK(check_table(table).empty());
      bool lists_match = table.tenants.codes.size() == counts.size();
      for (const auto& [tenant, count] : counts) {
        uint32_t code = find_tenant(table, tenant);
        lists_match = lists_match && code != NO_TENANT && tenant_members(table, code).size() == count;
      }
      CHECK(lists_match);
    }
  }
  CHECK(table.tenants.members.size() <= most_live_tenants);
  CHECK(find_tenant(table, "s0") == NO_TENANT);
}

// Points of two lengths come and go, first mostly of one, then mostly of the
// other, then as many of each: the rows follow the length that comes to
// outnumber theirs, the table stays whole, every vector reads back, and the
// rows do not move back and forth while both lengths stay common.
void test_rows_follow_the_common_length() {
  std::mt19937_64 rng(23);
  PointTable table;
  std::map<uint64_t, std::vector<float>> model;
  size_t moves = 0;
  for (int step = 0; step < 9000; ++step) {
    const int phase = step / 3000;
    const bool rare = rng() % 10 == 0;
    const uint32_t dim = phase == 0 ? (rare ? 5 : 3) : phase == 1 ? (rare ? 3 : 5) : 3 + 2 * (rng() % 2);
    const uint64_t key = rng() % 1500;
    if (rng() % 4 == 0) {
      delete_key(table, key);
      model.erase(key);
    } else {
      std::vector<float> v(dim);
      for (float& x : v) x = static_cast<float>(rng() % 1000) - 500.0f;
      put_point(table, key, key, v, 1.0f, nullptr);
      model[key] = v;
    }
    moves += settle_row_length(table);
    CHECK(!settle_row_length(table));  // settled: nothing left to move
    if (step % 3000 == 2999) {
      CHECK(check_table(table).empty());
      bool all_read_back = record_count(table) == model.size();
      for (const auto& [key, v] : model) {
        std::span<const float> stored = point_vector(table, find_slot(table, key));
        all_read_back = all_read_back && std::equal(stored.begin(), stored.end(), v.begin(), v.end());
      }
      CHECK(all_read_back);
      if (phase < 2) CHECK(table.rows.dim == (phase == 0 ? 3u : 5u));
    }
  }
  CHECK(moves == 1);
}

int main() {
  test_rows_follow_the_common_length();
  test_tenants_come_and_go();
  test_code_metas_where_the_dimension_puts_them();
  test_allocation_failures();
  for (size_t reserved : {0, 1, 37, 1001, 2999}) test_id_index_against_a_model(reserved);
  test_graph_install_failures();
  return tarnwick_test::finish_checks();
}
