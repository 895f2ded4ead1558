"""Well-formed snapshot files that attack the loader: each builder makes one
kind, sized by its arguments, so the tests can use the full size and the fuzzer's
seed corpus a small one."""
from snapshot_format import KEYWORD, NEW_STORE, node_entry, point_entry, snapshot, text, varint

# Points of dimension 0 without payload: key, id, count 0, payload tag 0.
def _bare_points(keys):
    return [varint(k) + varint(k) + b"\x00\x00" for k in keys]


def long_neighbour_list(n):
    """n points of dimension 0 and one node, the entry point, whose layer-0 list
    names all of them: the first insertion links to it and must shrink that list."""
    return snapshot(_bare_points(range(n)), [node_entry(0, [list(range(n))])], entry_point=0)


def tenant_switches(tenant_points, repeats):
    """`tenant_points` points of tenant "a" after key 0, then key 0 again and
    again, in and out of the tenant."""
    # point_entry(k, [], [("tenant_id", KEYWORD, "a")]), spelt out: a million of
    # them are built much faster so.
    a = b"\x01" + varint(1) + text("tenant_id") + bytes([KEYWORD]) + text("a")
    zero_in, zero_out = b"\x00\x00\x00" + a, b"\x00\x00\x00\x00"
    points = [zero_in] + [varint(k) * 2 + b"\x00" + a for k in range(1, tenant_points + 1)]
    points += [zero_out if i % 2 == 0 else zero_in for i in range(repeats)]
    return snapshot(points)


def huge_parameters(value=2**62):
    """A store without points whose m, ef_construction and ef_search are all `value`."""
    return snapshot([], m=value, ef_construction=value, ef_search=value)


def ids_without_points(n, first=16384):
    """One point whose node's layer-0 list names n ids that have no point."""
    return snapshot([point_entry(1, [1.0])], [node_entry(1, [list(range(first, first + n))])],
                    entry_point=1)


def many_tenants(n):
    """n points of dimension 1, each of a tenant of its own."""
    return snapshot([point_entry(k, [1.0], [("tenant_id", KEYWORD, f"t{k}")]) for k in range(n)])


def huge_dimension_head(dim=2**32):
    """The bytes before the components of a file whose one point claims `dim`
    components; huge_dimension_tail() goes after the 4 * dim component bytes."""
    return varint(1) + varint(1) + varint(1) + varint(dim)


def huge_dimension_tail():
    return b"\x00" + NEW_STORE[1:]
