// Reading a `where` argument: a Python dict (or another Mapping) in the operator style
// ({"year": 2024}, {"year": {"$gte": 2020, "$lt": 2025}}, $and/$or/$not) into
// a plain Filter. Only conversion: it reads no store and takes no lock.
#pragma once

#include "py_ref.h"

#include "table/payload_filter.h"

namespace tarnwick {

// Converts `where` (borrowed; None reads as the empty filter, which matches
// every point) into `out`. Any collections.abc.Mapping stands where a dict
// does; its entries are copied out first. Returns false with ValueError or TypeError set,
// naming the place inside the filter (where["year"]["$gte"], where["$and"][2]):
// an unknown operator, a value of a kind no payload holds, an empty $in, $nin,
// $and, $or or operator dict, a non-bool $exists, a non-str key, nesting
// deeper than FILTER_MAX_DEPTH or more than FILTER_MAX_NODES nodes. An int
// outside int64 raises OverflowError, as it does in a payload; text UTF-8
// cannot encode (a lone surrogate) raises UnicodeEncodeError with a note
// naming its place.
bool read_filter(PyObject* where, Filter& out);

}  // namespace tarnwick
