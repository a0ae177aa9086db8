"""A tiny, obviously correct model of the wiggle track, for comparison."""
import struct


def f32(value):
    return struct.unpack("f", struct.pack("f", value))[0]


def percent(gc, bases):
    # Single precision, rounded at each step, then truncated.
    return int(f32(f32(f32(gc) / f32(bases)) * f32(100.0)))


def section(identifier, sequence, window, omit_tail):
    lines = [f"variableStep chrom={identifier} span={window}"]
    full = len(sequence) // window if window > 0 else 0
    for index in range(full):
        chunk = sequence[index * window:(index + 1) * window]
        gc = sum(chunk.count(b) for b in (b"G", b"C"))
        lines.append(f"{index * window + 1}\t{percent(gc, window)}")
    tail = sequence[full * window:] if window > 0 else sequence
    if tail and not omit_tail:
        gc = tail.count(b"G") + tail.count(b"C")
        lines.append(f"{full * window + 1}\t{percent(gc, len(tail))}")
    return "".join(line + "\n" for line in lines)


def track(records, window, omit_tail):
    return "track type=wiggle_0\n" + "".join(section(i, s, window, omit_tail) for i, s in records)
