"""The bytes of log headers, written independently of the module: a CRC-32C
in Python, the masked checksum the log stores, and headers of both versions."""
import struct

MAGIC = b"\x89TWLOG\r\n"
HEADER = 40
FIRST_HEADER = 16  # version 1
CONTINUES_PREVIOUS = 1
LINKS_FOLLOW = 2
LINKS = 6  # the kind of the record of what a change did to the graph
RECORD_HEADER = 13


def _table():
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
        table.append(crc)
    return table


TABLE = _table()


def crc32c(data, crc=0):
    crc ^= 0xFFFFFFFF
    for byte in data:
        crc = TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def masked(crc):
    return (((crc >> 15) | (crc << 17)) + 0xA282EAD8) & 0xFFFFFFFF


def first_header():
    """A version 1 header, as logs written before headers named snapshots begin."""
    head = MAGIC + struct.pack("<I", 1)
    return head + struct.pack("<I", masked(crc32c(head)))


def parse_header(data):
    """(version, flags, generation, snapshot length, snapshot crc) of a version 2 header."""
    version, flags, generation, length, crc = struct.unpack_from("<IIQQI", data, 8)
    assert struct.unpack_from("<I", data, 36)[0] == masked(crc32c(data[:36]))
    return version, flags, generation, length, crc


def records(data, start=HEADER):
    """(end offset, kind) of each whole record from `start` on, by the lengths
    their headers give (checksums not checked)."""
    out = []
    while start + RECORD_HEADER <= len(data):
        length, kind = struct.unpack_from("<IB", data, start)
        if start + RECORD_HEADER + length > len(data):
            break
        start += RECORD_HEADER + length
        out.append((start, kind))
    return out
