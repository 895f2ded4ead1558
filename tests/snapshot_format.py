"""A plain-Python model of the snapshot file: builders for hand-made files and a
reader that turns a file into a canonical, order-free value, so two files can
be compared for equal content whatever order their entries are in."""
import struct

END = "Hit the end of buffer, expected more data"
VARINT = "Found a varint that didn't terminate. Is the usize too big for this platform?"
OPTION = "Found an Option discriminant that wasn't 0 or 1"
UTF8 = "Tried to parse invalid utf-8"
VARIANT = "Serde Deserialization Error"

KEYWORD, TEXT, INTEGER, FLOAT = range(4)
U64_MAX = 2**64 - 1


# ---- Building files ----

def varint(value):
    assert 0 <= value <= U64_MAX
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def zigzag(value):
    return ((value << 1) ^ (value >> 63)) & U64_MAX


def text(value):
    raw = value.encode() if isinstance(value, str) else value
    return varint(len(raw)) + raw


def floats(values):
    """Components given as floats or as raw 32-bit patterns (ints)."""
    return b"".join(
        struct.pack("<I", v) if isinstance(v, int) else struct.pack("<f", v) for v in values
    )


def payload_value(kind, value):
    if kind in (KEYWORD, TEXT):
        return bytes([kind]) + text(value)
    if kind == INTEGER:
        return b"\x02" + varint(zigzag(value))
    if isinstance(value, int):  # a raw bit pattern
        return b"\x03" + struct.pack("<Q", value)
    return b"\x03" + struct.pack("<d", value)


def point_entry(key, vector=(), payload=None, record_id=None):
    """payload: None, or a list of (key, kind, value) in file order."""
    out = varint(key) + varint(key if record_id is None else record_id)
    out += varint(len(vector)) + floats(vector)
    if payload is None:
        return out + b"\x00"
    out += b"\x01" + varint(len(payload))
    for name, kind, value in payload:
        out += text(name) + payload_value(kind, value)
    return out


def node_entry(key, lists=(), node_id=None):
    lists = list(lists) + [[]] * (16 - len(lists))
    assert len(lists) == 16
    out = varint(key) + varint(key if node_id is None else node_id)
    for ids in lists:
        out += varint(len(ids)) + b"".join(varint(i) for i in ids)
    return out


def snapshot(points=(), nodes=(), m=16, ef_construction=64, ef_search=32, entry_point=None,
             max_level=0):
    """points and nodes: already encoded entries, in file order."""
    out = varint(len(points)) + b"".join(points)
    out += varint(m) + varint(ef_construction) + varint(ef_search)
    out += b"\x00" if entry_point is None else b"\x01" + varint(entry_point)
    return out + varint(max_level) + varint(len(nodes)) + b"".join(nodes)


# ---- Reading files ----

class DecodeError(Exception):
    pass


class _Cursor:
    def __init__(self, data):
        self.data = bytes(data)
        self.at = 0

    def take(self, n):
        if n > len(self.data) - self.at:
            raise DecodeError(END)
        chunk = self.data[self.at:self.at + n]
        self.at += n
        return chunk

    def varint(self, width=64):
        limit_bytes, last_max = (10, 0x01) if width == 64 else (5, 0x0F)
        value = 0
        for i in range(limit_bytes):
            byte = self.take(1)[0]
            if i == limit_bytes - 1 and byte > last_max:
                raise DecodeError(VARINT)
            value |= (byte & 0x7F) << (7 * i)
            if byte < 0x80:
                return value
        raise AssertionError("unreachable")

    def option(self):
        tag = self.take(1)[0]
        if tag > 1:
            raise DecodeError(OPTION)
        return tag == 1

    def text(self):
        raw = self.take(self.varint())
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            raise DecodeError(UTF8) from None


def read_snapshot(data):
    """Returns the canonical content of a file: a dict with "points" (key ->
    (id, component bit patterns, payload or None)), the parameters and "nodes"
    (key -> (id, 16 tuples of ids)); payloads map key -> (kind, value), floats
    as bit patterns. Later entries of a repeated key win. Raises DecodeError
    with the exact message of the first problem."""
    c = _Cursor(data)
    points = {}
    for _ in range(c.varint()):
        key, record_id, dim = c.varint(), c.varint(), c.varint()
        vector = struct.unpack(f"<{dim}I", c.take(4 * dim))
        payload = None
        if c.option():
            payload = {}
            for _ in range(c.varint()):
                name = c.text()
                kind = c.varint(width=32)
                if kind > 3:
                    raise DecodeError(VARIANT)
                if kind in (KEYWORD, TEXT):
                    payload[name] = (kind, c.text())
                elif kind == INTEGER:
                    raw = c.varint()
                    payload[name] = (kind, (raw >> 1) ^ -(raw & 1))
                else:
                    payload[name] = (kind, struct.unpack("<Q", c.take(8))[0])
        points[key] = (record_id, tuple(vector), payload)
    state = {"points": points, "m": c.varint(), "ef_construction": c.varint(),
             "ef_search": c.varint()}
    state["entry_point"] = c.varint() if c.option() else None
    state["max_level"] = c.varint()
    nodes = {}
    for _ in range(c.varint()):
        key, node_id = c.varint(), c.varint()
        lists = []
        for _ in range(16):
            count = c.varint()
            lists.append(tuple(c.varint() for _ in range(count)))
        nodes[key] = (node_id, tuple(lists))
    state["nodes"] = nodes
    return state


NEW_STORE = bytes.fromhex("00 10 40 20 00 00 00")

# Key and id 5, vector [1.0], payload {"tenant_id": Keyword "a"}, entry point 5,
# max_level 0 and one node 5 with sixteen empty lists.
ONE_POINT = bytes.fromhex(
    "01 05 05 01 00 00 80 3F 01 01 09 74 65 6E 61 6E 74 5F 69 64 00 01 61"
    " 10 40 20 01 05 00 01 05 05") + bytes(16)
