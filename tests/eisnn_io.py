"""Reading and writing "EISNN001" weight files, for tests that need files the
shipped networks are not: other metadata, other sizes, damaged bytes."""
import struct

import numpy as np

MAGIC = b"EISNN001"


def read(data):
    """(metadata as a list of (key, value) texts, tensors as a list of (name, dims, float64 array))."""
    pos = 8
    assert data[:8] == MAGIC

    def u32():
        nonlocal pos
        (v,) = struct.unpack_from("<I", data, pos)
        pos += 4
        return v

    def string():
        nonlocal pos
        n = u32()
        s = data[pos:pos + n].decode()
        pos += n
        return s

    meta = [(string(), string()) for _ in range(u32())]
    tensors = []
    for _ in range(u32()):
        name = string()
        code, ndim = data[pos], data[pos + 1]
        pos += 2
        dims = [u32() for _ in range(ndim)]
        n = max(int(np.prod(dims)) if dims else 1, 1)
        if code == 0:
            values = np.frombuffer(data, "<f4", n, pos).astype(np.float64)
            pos += 4 * n
        elif code == 1:
            values = np.frombuffer(data, "<f2", n, pos).astype(np.float64)
            pos += 2 * n
        else:
            (scale,) = struct.unpack_from("<f", data, pos)
            values = np.frombuffer(data, "i1", n, pos + 4).astype(np.float64) * np.float64(np.float32(scale))
            pos += 4 + n
        tensors.append((name, dims, values))
    return meta, tensors


def write(meta, tensors):
    """Bytes of a file with these metadata and tensors (all stored as 32-bit floats)."""
    out = bytearray(MAGIC)

    def string(s):
        b = s.encode()
        out.extend(struct.pack("<I", len(b)) + b)

    out.extend(struct.pack("<I", len(meta)))
    for k, v in meta:
        string(k)
        string(v)
    out.extend(struct.pack("<I", len(tensors)))
    for name, dims, values in tensors:
        string(name)
        out.extend(bytes([0, len(dims)]))
        out.extend(struct.pack(f"<{len(dims)}I", *dims))
        out.extend(np.asarray(values, "<f4").tobytes())
    return bytes(out)


def with_meta(meta, **changes):
    return [(k, changes.get(k, v)) for k, v in meta]


def network(circuit, names, channels=4, n_grid=64, kernel=5, dilations=(1, 2), groups=2, hidden=8):
    """A complete file of zero weights (unit statistics) with the given sizes."""
    meta = [("circuit", circuit), ("param_names", ",".join(names)), ("estimator", "reactive_centroid"),
            ("n_grid", str(n_grid)), ("channels", str(channels)), ("kernel", str(kernel)),
            ("groups", str(groups)), ("dilations", ",".join(map(str, dilations))), ("alpha_min", "0.05"),
            ("alpha_max", "1.0")]
    c, k, p = channels, kernel, len(names)
    t = [("w.stem.weight", [c, 3, k]), ("w.stem.bias", [c])]
    for b in range(len(dilations)):
        for part in ("conv1", "norm1", "conv2", "norm2"):
            if part.startswith("conv"):
                t += [(f"w.blocks.{b}.{part}.weight", [c, c, k]), (f"w.blocks.{b}.{part}.bias", [c])]
            else:
                t += [(f"w.blocks.{b}.{part}.weight", [c]), (f"w.blocks.{b}.{part}.bias", [c])]
    t += [("w.head.0.weight", [hidden, 2 * c + 2]), ("w.head.0.bias", [hidden]),
          ("w.head.2.weight", [hidden, hidden]), ("w.head.2.bias", [hidden]),
          ("w.head.4.weight", [max(p, 1), hidden]), ("w.head.4.bias", [max(p, 1)])]
    tensors = [(n, d, np.zeros(int(np.prod(d)))) for n, d in t]
    q = max(p, 1)  # an empty name list reads as one empty name
    tensors += [("target_mean", [q], np.zeros(q)), ("target_std", [q], np.ones(q)),
                ("scaling", [q, 4], np.tile([0.0, 0.0, 0.0, -1.0], q)), ("log_params", [q], np.ones(q))]
    return write(meta, tensors)
