"""Realistic, deterministic dump contents for a simulated board."""

import random


def dump_bytes(seed, size):
    """Zero pages, repeated register records, text and random bytes, as a
    baseband crash dump holds them."""
    rng = random.Random(seed)
    parts, total = [], 0
    while total < size:
        block = b"".join([
            bytes(4096),
            b"".join(b"REG r%02d=0x%08x SP=0x%08x\n" % (i, rng.getrandbits(32), rng.getrandbits(32))
                     for i in range(48)),
            b"[%08d] l1sched: slot %d tti %d\n" % (rng.getrandbits(20), rng.randrange(20), rng.randrange(1 << 16)) * 8,
            rng.randbytes(2048),
        ])
        parts.append(block)
        total += len(block)
    return b"".join(parts)[:size]


def chip_dumps(mosa, size, seed=0):
    return {
        "lm_dump": dump_bytes(seed + mosa * 10 + 1, size),
        "cm_dump": dump_bytes(seed + mosa * 10 + 2, size // 2),
        "em_dump": dump_bytes(seed + mosa * 10 + 3, size // 4),
        "te_log": b"".join(b"%06d mosa%d trace line\n" % (i, mosa) for i in range(size // 64)),
    }
