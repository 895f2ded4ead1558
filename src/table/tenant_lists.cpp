#include "table/tenant_lists.h"

#include <algorithm>
#include <string>
#include <utility>

#include "table/payload_index.h"

namespace tarnwick {

uint32_t intern_tenant(TenantTable& tenants, std::string_view text) {
  auto it = tenants.codes.find(text);
  if (it != tenants.codes.end()) return it->second;
  if (!tenants.free_codes.empty()) {
    const uint32_t code = tenants.free_codes.back();
    tenants.codes.emplace(std::string(text), code);  // a throw leaves the code free
    tenants.free_codes.pop_back();
    return code;
  }
  uint32_t code = static_cast<uint32_t>(tenants.members.size());
  if (tenants.free_codes.capacity() < tenants.members.size() + 1) {
    tenants.free_codes.reserve(std::max<size_t>(16, 2 * (tenants.members.size() + 1)));
  }
  // The member list first: if the code cannot be added, dropping the list
  // leaves both as they were.
  tenants.members.emplace_back();
  try {
    tenants.codes.emplace(std::string(text), code);
  } catch (...) {
    tenants.members.pop_back();
    throw;
  }
  return code;
}

uint32_t leave_tenant(PointTable& table, uint32_t slot) {
  uint32_t tenant = table.headers[slot].tenant;
  if (tenant == NO_TENANT) return NO_TENANT;
  std::vector<uint32_t>& members = table.tenants.members[tenant];
  uint32_t position = table.headers[slot].tenant_position;
  uint32_t last = members.back();
  members[position] = last;
  table.headers[last].tenant_position = position;
  members.pop_back();
  table.headers[slot].tenant = NO_TENANT;
  return tenant;
}

// Forgets a tenant whose last member left (named by `payload`, the payload
// that left it): its text, code and list go, and the code serves the next new
// tenant. A store whose tenants come and go (a tenant per session) kept every
// text it had ever seen, about 175 bytes each. Never allocates.
void forget_tenant_if_empty(PointTable& table, uint32_t tenant, const Payload* payload) noexcept {
  TenantTable& tenants = table.tenants;
  if (tenant == NO_TENANT || !tenants.members[tenant].empty()) return;
  // A copied table may lack the room: its tenant is then kept, as before.
  if (tenants.free_codes.size() == tenants.free_codes.capacity()) return;
  std::string_view text;
  if (!tenant_of(payload, text)) return;
  auto it = tenants.codes.find(text);
  if (it == tenants.codes.end() || it->second != tenant) return;
  tenants.codes.erase(it);
  std::vector<uint32_t>().swap(tenants.members[tenant]);
  tenants.free_codes.push_back(tenant);
}

void join_tenant(PointTable& table, uint32_t slot, uint32_t tenant) {
  std::vector<uint32_t>& members = table.tenants.members[tenant];
  table.headers[slot].tenant_position = static_cast<uint32_t>(members.size());
  members.push_back(slot);
  table.headers[slot].tenant = tenant;
}

TenantRebuild plan_tenant_rebuild(const PointTable& table) {
  TenantRebuild rebuild;
  rebuild.payloads.assign(table.headers.size(), nullptr);
  for (uint32_t slot = 0; slot < table.headers.size(); ++slot) {
    if (has_record(table, slot)) rebuild.payloads[slot] = table.records[slot].payload.get();
  }
  return rebuild;
}

void make_tenant_lists(TenantRebuild& rebuild) {
  const size_t slots = rebuild.payloads.size();
  rebuild.codes.assign(slots, NO_TENANT);
  rebuild.positions.assign(slots, 0);
  // Counted first, so that every list is allocated once at its final size.
  std::vector<uint32_t> sizes;
  for (uint32_t slot = 0; slot < slots; ++slot) {
    std::string_view text;
    if (!tenant_of(rebuild.payloads[slot], text)) continue;
    uint32_t code = intern_tenant(rebuild.tenants, text);
    if (code == sizes.size()) sizes.push_back(0);
    ++sizes[code];
    rebuild.codes[slot] = code;
  }
  for (size_t code = 0; code < sizes.size(); ++code) rebuild.tenants.members[code].reserve(sizes[code]);
  rebuild.tenants.free_codes.reserve(rebuild.tenants.members.size());
  for (uint32_t slot = 0; slot < slots; ++slot) {
    if (rebuild.codes[slot] == NO_TENANT) continue;
    std::vector<uint32_t>& members = rebuild.tenants.members[rebuild.codes[slot]];
    rebuild.positions[slot] = static_cast<uint32_t>(members.size());
    members.push_back(slot);  // within the reserved size
  }
  rebuild.payload_index = build_payload_index(rebuild.payloads);
}

void install_tenant_lists(PointTable& table, TenantRebuild& rebuild) noexcept {
  // Slots added after the plan hold no record, and so no tenant.
  for (uint32_t slot = 0; slot < table.headers.size(); ++slot) {
    const uint32_t code = slot < rebuild.codes.size() ? rebuild.codes[slot] : NO_TENANT;
    table.headers[slot].tenant = code;
    if (code != NO_TENANT) table.headers[slot].tenant_position = rebuild.positions[slot];
  }
  table.tenants = std::move(rebuild.tenants);
  table.payload_index = std::move(rebuild.payload_index);
}

void rebuild_tenants(PointTable& table) {
  TenantRebuild rebuild = plan_tenant_rebuild(table);
  make_tenant_lists(rebuild);
  install_tenant_lists(table, rebuild);
}

uint32_t find_tenant(const PointTable& table, std::string_view tenant) {
  auto it = table.tenants.codes.find(tenant);
  return it == table.tenants.codes.end() ? NO_TENANT : it->second;
}

}  // namespace tarnwick
