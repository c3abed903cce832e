"""Packet-structure readers (stand-in): only the bit reader `Data` is provided."""
