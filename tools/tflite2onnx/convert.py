"""Converts a MediaPipe TFLite model into an ONNX model that OpenCV's dnn module
runs. The ONNX graph works in NCHW (what OpenCV's convolutions take) and has one
input named "input" of shape 1x3xHxW; four-dimensional tensors are kept in NCHW,
and are turned back to NHWC only where the TFLite graph reshapes them, so every
output has the TFLite output's shape and element order. fp16 weights are widened
to fp32.

    /usr/bin/python3 convert.py model.tflite model.onnx
"""

import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import reference
import tflite_model

OPSET = 14  # HardSwish
NHWC_TO_NCHW = (0, 3, 1, 2)
NCHW_TO_NHWC = (0, 2, 3, 1)


class _Builder:
    def __init__(self, graph):
        self.graph = graph
        self.nodes = []
        self.initializers = []
        self.constants = {}  # tensor index -> float32 array (NHWC, as in TFLite)
        self.names = {}  # tensor index -> ONNX value name
        self.counter = 0

    def fresh(self, hint):
        self.counter += 1
        return f"{hint}_{self.counter}"

    def initializer(self, array, hint):
        name = self.fresh(hint)
        self.initializers.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op, inputs, hint, **attributes):
        out = self.fresh(hint)
        self.nodes.append(helper.make_node(op, inputs, [out], **attributes))
        return out

    def shape(self, index):
        return self.graph.tensors[index].shape

    def value(self, index):
        """The ONNX name of a tensor; constants become initializers (4-D ones in NCHW)."""
        if index in self.names:
            return self.names[index]
        array = self.constants[index]
        if array.ndim == 4:
            array = array.transpose(NHWC_TO_NCHW)
        self.names[index] = self.initializer(array.astype(np.float32), "const")
        return self.names[index]

    def activate(self, name, activation):
        if activation == "RELU":
            return self.node("Relu", [name], "relu")
        if activation == "RELU6":
            return self.node("Clip", [name, self.initializer(np.float32(0), "lo"),
                                      self.initializer(np.float32(6), "hi")], "relu6")
        return name


def _pads(builder, index, kernel, options):
    if options["padding"] == "VALID":
        return [0, 0, 0, 0]
    _, h, w, _ = builder.shape(index)
    dilation = options.get("dilation", (1, 1))
    top, bottom = reference.same_padding(h, kernel[0], options["stride"][0], dilation[0])
    left, right = reference.same_padding(w, kernel[1], options["stride"][1], dilation[1])
    return [top, left, bottom, right]


def _conv(b, op, depthwise):
    weights = b.constants[op.inputs[1]]
    bias = b.constants[op.inputs[2]]
    if depthwise:
        kernel = weights.transpose(3, 0, 1, 2)  # 1HWC -> C1HW
        group = weights.shape[3]
    else:
        kernel = weights.transpose(0, 3, 1, 2)  # OHWI -> OIHW
        group = 1
    opt = op.options
    out = b.node("Conv", [b.value(op.inputs[0]), b.initializer(kernel, "w"), b.initializer(bias, "b")],
                 "conv", kernel_shape=list(kernel.shape[2:]), strides=list(opt["stride"]),
                 dilations=list(opt["dilation"]), group=group,
                 pads=_pads(b, op.inputs[0], kernel.shape[2:], opt))
    return b.activate(out, opt["activation"])


def _transpose_conv(b, op):
    weights = b.constants[op.inputs[1]]  # OHWI
    bias = b.constants[op.inputs[2]]
    _, h, w, _ = b.shape(op.inputs[0])
    _, kh, kw, _ = weights.shape
    sh, sw = op.options["stride"]
    assert op.options["padding"] == "SAME"
    extra_h, extra_w = (h - 1) * sh + kh - h * sh, (w - 1) * sw + kw - w * sw
    pads = [extra_h // 2, extra_w // 2, extra_h - extra_h // 2, extra_w - extra_w // 2]
    return b.node("ConvTranspose", [b.value(op.inputs[0]), b.initializer(weights.transpose(3, 0, 1, 2), "w"),
                                    b.initializer(bias, "b")],
                  "deconv", kernel_shape=[kh, kw], strides=[sh, sw], pads=pads)


def _pool(b, op, kind):
    opt = op.options
    out = b.node(kind, [b.value(op.inputs[0])], "pool", kernel_shape=list(opt["filter"]),
                 strides=list(opt["stride"]), pads=_pads(b, op.inputs[0], opt["filter"], opt))
    return b.activate(out, opt["activation"])


def _to_nchw_axis(axis, rank):
    return {0: 0, 1: 2, 2: 3, 3: 1}[axis % 4] if rank == 4 else axis


def _convert_operator(b, op):
    k, opt, i = op.kind, op.options, op.inputs
    if k == "DEQUANTIZE":
        b.constants[op.outputs[0]] = b.constants[i[0]].astype(np.float32)
        return None
    if k in ("CONV_2D", "DEPTHWISE_CONV_2D"):
        return _conv(b, op, k == "DEPTHWISE_CONV_2D")
    if k == "Convolution2DTransposeBias":
        return _transpose_conv(b, op)
    if k == "MAX_POOL_2D":
        return _pool(b, op, "MaxPool")
    if k == "AVERAGE_POOL_2D":
        return _pool(b, op, "AveragePool")
    if k in ("ADD", "MUL"):
        out = b.node("Add" if k == "ADD" else "Mul", [b.value(i[0]), b.value(i[1])], k.lower())
        return b.activate(out, opt["activation"])
    if k in ("RELU", "RELU6"):
        return b.activate(b.value(i[0]), k)
    if k == "LOGISTIC":
        return b.node("Sigmoid", [b.value(i[0])], "sigmoid")
    if k == "HARD_SWISH":
        return b.node("HardSwish", [b.value(i[0])], "hswish")
    if k == "MEAN":
        assert sorted(int(v) for v in b.constants[i[1]]) == [1, 2] and opt["keep_dims"]
        return b.node("GlobalAveragePool", [b.value(i[0])], "mean")
    if k == "PAD":
        paddings = b.constants[i[1]].astype(np.int64)  # NHWC rows of (before, after)
        order = NHWC_TO_NCHW
        pads = [paddings[a][0] for a in order] + [paddings[a][1] for a in order]
        return b.node("Pad", [b.value(i[0]), b.initializer(np.array(pads, np.int64), "pads")], "pad")
    if k == "RESIZE_BILINEAR":
        n, _, _, c = b.shape(op.outputs[0])
        oh, ow = (int(v) for v in b.constants[i[1]])
        sizes = np.array([n, c, oh, ow], np.int64)
        return b.node("Resize", [b.value(i[0]), "", "", b.initializer(sizes, "sizes")], "resize",
                      mode="linear", coordinate_transformation_mode="half_pixel")
    if k == "CONCATENATION":
        rank = len(b.shape(op.outputs[0]))
        return b.node("Concat", [b.value(v) for v in i], "concat", axis=_to_nchw_axis(opt["axis"], rank))
    if k == "RESHAPE":
        source = b.value(i[0])
        if len(b.shape(i[0])) == 4:
            source = b.node("Transpose", [source], "to_nhwc", perm=list(NCHW_TO_NHWC))
        shape = np.array(b.shape(op.outputs[0]), np.int64)
        return b.node("Reshape", [source, b.initializer(shape, "shape")], "reshape")
    raise ValueError(f"cannot convert operator {k}")


def convert(path):
    graph = tflite_model.read(path)
    b = _Builder(graph)
    for index, tensor in enumerate(graph.tensors):
        if tensor.data is not None:
            b.constants[index] = tensor.data
    (input_index,) = graph.inputs
    n, h, w, c = graph.tensors[input_index].shape
    b.names[input_index] = "input"
    for op in graph.operators:
        out = _convert_operator(b, op)
        if out is not None:
            b.names[op.outputs[0]] = out
    outputs = []
    for index in graph.outputs:
        tensor = graph.tensors[index]
        shape = list(tensor.shape)
        name = b.names[index]
        if len(shape) == 4:  # back to TFLite's NHWC order
            name = b.node("Transpose", [name], "to_nhwc", perm=list(NCHW_TO_NHWC))
        final = tensor.name
        b.nodes.append(helper.make_node("Identity", [name], [final]))
        outputs.append(helper.make_tensor_value_info(final, TensorProto.FLOAT, shape))
    onnx_graph = helper.make_graph(
        b.nodes, graph.tensors[graph.outputs[0]].name,
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [n, c, h, w])], outputs, b.initializers)
    model = helper.make_model(onnx_graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="tessera-tflite2onnx")
    onnx.checker.check_model(model)
    return model


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    onnx.save(convert(argv[1]), argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
