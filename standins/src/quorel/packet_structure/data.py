"""Bit reader over a packet's data field (stand-in).

Bits are numbered from the most significant bit of each byte, bytes in increasing order, so
a field that straddles bytes reads big-endian: ``Data(b"\\x12\\x34", 2).u16(0, 0, 16)`` is
0x1234 and ``bits(4, 8)`` of the same reader is 0x23.
"""


class Data:
    """Read unsigned bit fields from the first `length` bytes of `raw_bytes`."""

    __slots__ = ("_buf", "length")

    def __init__(self, raw_bytes, length):
        buf = bytes(raw_bytes)
        length = int(length)
        if length < 0:
            raise ValueError(f"Data length must not be negative, got {length}")
        if length > len(buf):
            raise ValueError(f"Data length {length} exceeds the {len(buf)} bytes given")
        self._buf = buf[:length]
        self.length = length

    def __len__(self):
        return self.length

    def bits(self, bit_position, nbits):
        """Unsigned value of `nbits` bits starting at absolute bit `bit_position`."""
        bit_position = int(bit_position)
        nbits = int(nbits)
        if nbits < 0:
            raise ValueError(f"cannot read {nbits} bits")
        if bit_position < 0:
            raise IndexError(f"bit position {bit_position} is before the start of the data")
        if nbits == 0:
            return 0
        end = bit_position + nbits
        first = bit_position >> 3
        last = (end + 7) >> 3
        if last > self.length:
            raise IndexError(
                f"reading {nbits} bits at byte {first} bit {bit_position & 7} needs "
                f"byte {last - 1}, past the end of the {self.length} bytes of data"
            )
        value = int.from_bytes(self._buf[first:last], "big")
        return (value >> ((last << 3) - end)) & ((1 << nbits) - 1)

    def _read(self, byte, bit, nbits, width):
        byte = int(byte)
        bit = int(bit)
        nbits = int(nbits)
        if not 0 <= nbits <= width:
            raise ValueError(f"a {width}-bit read takes 0 to {width} bits, got {nbits}")
        if byte < 0 or bit < 0:
            raise IndexError(f"negative position: byte {byte}, bit {bit}")
        return self.bits(byte * 8 + bit, nbits)

    def u8(self, byte, bit, nbits):
        """Up to 8 bits starting at bit `bit` (0 = most significant) of byte `byte`."""
        return self._read(byte, bit, nbits, 8)

    def u16(self, byte, bit, nbits):
        """Up to 16 bits starting at bit `bit` of byte `byte`; (pos, 0, 16) is the word at pos."""
        return self._read(byte, bit, nbits, 16)

    def u32(self, byte, bit, nbits):
        """Up to 32 bits starting at bit `bit` of byte `byte`."""
        return self._read(byte, bit, nbits, 32)

    def fields(self, bit_position, widths):
        """Read consecutive fields of the given bit widths; returns (values tuple, end bit)."""
        try:
            total, cuts = _PLANS[widths]
        except (KeyError, TypeError):  # a new or an unhashable (list) set of widths
            total, cuts = _plan(widths)
        value = self.bits(bit_position, total)
        return tuple([(value >> shift) & mask for shift, mask in cuts]), int(bit_position) + total


_PLANS = {}


def _plan(widths):
    """(total bits, [(shift, mask)] per field) of a set of field widths, kept when hashable."""
    widths = tuple(widths)
    total = sum(widths)
    cuts, shift = [], total
    for width in widths:
        shift -= width
        cuts.append((shift, (1 << width) - 1))
    plan = (total, cuts)
    if len(_PLANS) < 1024:
        _PLANS[widths] = plan
    return plan
