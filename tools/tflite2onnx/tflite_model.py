"""A minimal reader of TFLite model files: the tables and fields the MediaPipe
person-segmentation and face-detection models use, read with the flatbuffers
runtime (Debian's python3-flatbuffers), which has no generated TFLite classes."""

import dataclasses
import struct

import flatbuffers.number_types as N
import flatbuffers.table
import numpy as np

# TensorType values of the TFLite schema.
_TENSOR_DTYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64, 9: np.int8}

# BuiltinOperator codes of the TFLite schema, only those these models contain.
BUILTIN_NAMES = {
    0: "ADD", 1: "AVERAGE_POOL_2D", 2: "CONCATENATION", 3: "CONV_2D", 4: "DEPTHWISE_CONV_2D",
    6: "DEQUANTIZE", 14: "LOGISTIC", 17: "MAX_POOL_2D", 18: "MUL", 19: "RELU", 21: "RELU6",
    22: "RESHAPE", 23: "RESIZE_BILINEAR", 32: "CUSTOM", 34: "PAD", 40: "MEAN", 117: "HARD_SWISH",
}

ACTIVATIONS = {0: None, 1: "RELU", 3: "RELU6"}
PADDINGS = {0: "SAME", 1: "VALID"}


class _Table:
    """Field access by schema field index (the vtable slot is 4 + 2 * index)."""

    def __init__(self, buf, pos):
        self._t = flatbuffers.table.Table(buf, pos)

    def _offset(self, index):
        return self._t.Offset(4 + 2 * index)

    def scalar(self, index, flags, default=0):
        o = self._offset(index)
        return self._t.Get(flags, o + self._t.Pos) if o else default

    def string(self, index):
        o = self._offset(index)
        return self._t.String(o + self._t.Pos).decode() if o else None

    def table(self, index):
        o = self._offset(index)
        return _Table(self._t.Bytes, self._t.Indirect(o + self._t.Pos)) if o else None

    def tables(self, index):
        o = self._offset(index)
        if not o:
            return []
        start = self._t.Vector(o)
        return [
            _Table(self._t.Bytes, self._t.Indirect(start + 4 * i))
            for i in range(self._t.VectorLen(o))
        ]

    def array(self, index, dtype):
        o = self._offset(index)
        if not o:
            return np.zeros(0, dtype)
        start, count = self._t.Vector(o), self._t.VectorLen(o)
        return np.frombuffer(self._t.Bytes, dtype, count, start).copy()


@dataclasses.dataclass
class Tensor:
    name: str
    shape: tuple
    dtype: type
    data: np.ndarray | None  # constant contents, shaped, or None for activations


@dataclasses.dataclass
class Operator:
    kind: str  # a BUILTIN_NAMES value, or the custom code of a custom operator
    inputs: list  # tensor indices, -1 for an omitted optional input
    outputs: list
    options: dict


@dataclasses.dataclass
class Graph:
    tensors: list
    operators: list
    inputs: list
    outputs: list


def _options(kind, table, custom):
    if kind == "CUSTOM":
        return {}
    if table is None:
        return {}
    i32, u8, b = N.Int32Flags, N.Uint8Flags, N.BoolFlags
    if kind == "CONV_2D":
        return {"padding": PADDINGS[table.scalar(0, u8)], "stride": (table.scalar(2, i32), table.scalar(1, i32)),
                "activation": ACTIVATIONS[table.scalar(3, u8)],
                "dilation": (table.scalar(5, i32, 1), table.scalar(4, i32, 1))}
    if kind == "DEPTHWISE_CONV_2D":
        return {"padding": PADDINGS[table.scalar(0, u8)], "stride": (table.scalar(2, i32), table.scalar(1, i32)),
                "multiplier": table.scalar(3, i32), "activation": ACTIVATIONS[table.scalar(4, u8)],
                "dilation": (table.scalar(6, i32, 1), table.scalar(5, i32, 1))}
    if kind in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):
        return {"padding": PADDINGS[table.scalar(0, u8)], "stride": (table.scalar(2, i32), table.scalar(1, i32)),
                "filter": (table.scalar(4, i32), table.scalar(3, i32)),
                "activation": ACTIVATIONS[table.scalar(5, u8)]}
    if kind in ("ADD", "MUL"):
        return {"activation": ACTIVATIONS[table.scalar(0, u8)]}
    if kind == "CONCATENATION":
        return {"axis": table.scalar(0, i32), "activation": ACTIVATIONS[table.scalar(1, u8)]}
    if kind == "RESHAPE":
        return {"new_shape": tuple(table.array(0, np.int32))}
    if kind == "MEAN":
        return {"keep_dims": bool(table.scalar(0, b))}
    if kind == "RESIZE_BILINEAR":
        return {"align_corners": bool(table.scalar(2, b)), "half_pixel_centers": bool(table.scalar(3, b))}
    return {}


def _custom_options(code, raw):
    if code == "Convolution2DTransposeBias":
        # MediaPipe stores a TfLiteTransposeConvParams struct: padding (1 same, 2 valid),
        # stride width, stride height, all 32-bit.
        padding, stride_w, stride_h = struct.unpack_from("<iii", raw.tobytes())
        return {"padding": {1: "SAME", 2: "VALID"}[padding], "stride": (stride_h, stride_w)}
    raise ValueError(f"unsupported custom operator {code}")


def read(path):
    """The model's first subgraph."""
    with open(path, "rb") as file:
        data = bytearray(file.read())
    root = _Table(data, flatbuffers.encode.Get(N.UOffsetTFlags.packer_type, data, 0))
    codes = []
    for oc in root.tables(1):
        builtin = max(oc.scalar(0, N.Int8Flags), oc.scalar(3, N.Int32Flags))
        codes.append(oc.string(1) if builtin == 32 else BUILTIN_NAMES.get(builtin, f"BUILTIN_{builtin}"))
    buffers = [b.array(0, np.uint8) for b in root.tables(4)]
    sub = root.tables(2)[0]
    tensors = []
    for t in sub.tables(0):
        shape = tuple(int(v) for v in t.array(0, np.int32))
        dtype = _TENSOR_DTYPES[t.scalar(1, N.Int8Flags)]
        raw = buffers[t.scalar(2, N.Uint32Flags)] if buffers else np.zeros(0, np.uint8)
        content = np.frombuffer(raw.tobytes(), dtype).reshape(shape) if raw.size else None
        tensors.append(Tensor(t.string(3), shape, dtype, content))
    operators = []
    for op in sub.tables(3):
        kind = codes[op.scalar(0, N.Uint32Flags)]
        if kind in BUILTIN_NAMES.values():
            options = _options(kind, op.table(4), None)
        else:
            options = _custom_options(kind, op.array(5, np.uint8))
        operators.append(Operator(kind, [int(v) for v in op.array(1, np.int32)],
                                  [int(v) for v in op.array(2, np.int32)], options))
    return Graph(tensors, operators, [int(v) for v in sub.array(1, np.int32)],
                 [int(v) for v in sub.array(2, np.int32)])
