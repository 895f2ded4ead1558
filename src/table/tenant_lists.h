// Tenant member lists: each tenant text has a code and the slots holding a
// record of it. The point table keeps them in step with its records as a
// point joins or leaves; a tenant whose last point leaves is forgotten, and
// its code serves the next new tenant. The functions that make every list
// anew from the payloads (rebuild_tenants and its steps) and find_tenant are
// declared in point_table.h, with the table's other operations.
#pragma once

#include <cstdint>
#include <string_view>

#include "table/payload.h"
#include "table/point_table.h"

namespace tarnwick {

// The code of a tenant text: its own, a freed one, or a new one with an empty
// member list. May throw; nothing has changed then.
uint32_t intern_tenant(TenantTable& tenants, std::string_view text);

// Takes the slot out of its tenant's member list; returns the tenant's code
// (NO_TENANT for none). Never allocates.
uint32_t leave_tenant(PointTable& table, uint32_t slot);

// Forgets a tenant whose last member left (named by `payload`, the payload
// that left it). Never allocates.
void forget_tenant_if_empty(PointTable& table, uint32_t tenant, const Payload* payload) noexcept;

// Joins a tenant whose member list has room for one more. Never allocates.
void join_tenant(PointTable& table, uint32_t slot, uint32_t tenant);

}  // namespace tarnwick
