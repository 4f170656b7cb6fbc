# Types of the area shrink (photos/area): 8-bit arrays of height x width x
# 1 to 4 channels, through the buffer protocol.
from collections.abc import Buffer

def shrink(source: Buffer, out: Buffer) -> None: ...
