"""A plain NumPy evaluation of a TFLite graph with TFLite's own semantics (NHWC
tensors, TensorFlow's SAME padding, half-pixel bilinear resizing). The converter's
test compares the converted ONNX model run by OpenCV against it."""

import numpy as np

import tflite_model


def same_padding(size, kernel, stride, dilation=1):
    """TensorFlow's SAME padding: (before, after), the odd pixel after."""
    out = -(-size // stride)
    effective = (kernel - 1) * dilation + 1
    total = max((out - 1) * stride + effective - size, 0)
    return total // 2, total - total // 2


def _activate(x, activation):
    if activation == "RELU":
        return np.maximum(x, 0)
    if activation == "RELU6":
        return np.clip(x, 0, 6)
    return x


def _pad_for(x, kernel, options, value=0.0):
    if options["padding"] == "VALID":
        return x, (0, 0), (0, 0)
    dilation = options.get("dilation", (1, 1))
    ph = same_padding(x.shape[1], kernel[0], options["stride"][0], dilation[0])
    pw = same_padding(x.shape[2], kernel[1], options["stride"][1], dilation[1])
    return np.pad(x, ((0, 0), ph, pw, (0, 0)), constant_values=value), ph, pw


def _windows(x, kernel, stride):
    """Sliding windows of an NHWC tensor: shape (N, OH, OW, KH, KW, C)."""
    n, h, w, c = x.shape
    oh, ow = (h - kernel[0]) // stride[0] + 1, (w - kernel[1]) // stride[1] + 1
    sn, sh, sw, sc = x.strides
    return np.lib.stride_tricks.as_strided(
        x, (n, oh, ow, kernel[0], kernel[1], c),
        (sn, sh * stride[0], sw * stride[1], sh, sw, sc), writeable=False)


def conv2d(x, weights, bias, options):
    """weights: OHWI."""
    assert options["dilation"] == (1, 1)
    padded, _, _ = _pad_for(x, weights.shape[1:3], options)
    win = _windows(np.ascontiguousarray(padded), weights.shape[1:3], options["stride"])
    out = np.einsum("nhwijc,oijc->nhwo", win, weights, optimize=True)
    return _activate(out + bias, options["activation"])


def depthwise_conv2d(x, weights, bias, options):
    """weights: 1HW(C*multiplier)."""
    assert options["multiplier"] == 1 and options["dilation"] == (1, 1)
    padded, _, _ = _pad_for(x, weights.shape[1:3], options)
    win = _windows(np.ascontiguousarray(padded), weights.shape[1:3], options["stride"])
    out = np.einsum("nhwijc,ijc->nhwc", win, weights[0], optimize=True)
    return _activate(out + bias, options["activation"])


def pool(x, options, kind):
    kernel = options["filter"]
    if kind == "MAX":
        padded, _, _ = _pad_for(x, kernel, options, -np.inf)
        out = _windows(np.ascontiguousarray(padded), kernel, options["stride"]).max(axis=(3, 4))
    else:
        # The average counts only the pixels inside the input.
        padded, _, _ = _pad_for(x, kernel, options)
        ones, _, _ = _pad_for(np.ones_like(x[..., :1]), kernel, options)
        total = _windows(np.ascontiguousarray(padded), kernel, options["stride"]).sum(axis=(3, 4))
        count = _windows(np.ascontiguousarray(ones), kernel, options["stride"]).sum(axis=(3, 4))
        out = total / count
    return _activate(out, options["activation"])


def transpose_conv_bias(x, weights, bias, options):
    """MediaPipe's Convolution2DTransposeBias; weights OHWI. Each input pixel scatters
    its kernel into the output; SAME gives an output `stride` times the input."""
    n, h, w, _ = x.shape
    o, kh, kw, _ = weights.shape
    sh, sw = options["stride"]
    full = np.zeros((n, (h - 1) * sh + kh, (w - 1) * sw + kw, o), np.float32)
    for i in range(kh):
        for j in range(kw):
            full[:, i:i + (h - 1) * sh + 1:sh, j:j + (w - 1) * sw + 1:sw, :] += np.einsum(
                "nhwc,oc->nhwo", x, weights[:, i, j, :])
    if options["padding"] == "SAME":
        out_h, out_w = h * sh, w * sw
    else:
        out_h, out_w = full.shape[1], full.shape[2]
    top = (full.shape[1] - out_h) // 2
    left = (full.shape[2] - out_w) // 2
    return full[:, top:top + out_h, left:left + out_w, :] + bias


def resize_bilinear(x, size, options):
    """TFLite's bilinear resize with half-pixel centres (the only mode these models use)."""
    assert options["half_pixel_centers"] and not options["align_corners"]

    def axis(out_size, in_size):
        pos = (np.arange(out_size) + 0.5) * (in_size / out_size) - 0.5
        low = np.floor(pos)
        frac = (pos - np.maximum(low, 0)).astype(np.float32)
        lo = np.maximum(low, 0).astype(int)
        hi = np.minimum(np.ceil(pos), in_size - 1).astype(int)
        return lo, hi, frac

    y0, y1, fy = axis(size[0], x.shape[1])
    x0, x1, fx = axis(size[1], x.shape[2])
    top = x[:, y0][:, :, x0] * (1 - fx)[None, None, :, None] + x[:, y0][:, :, x1] * fx[None, None, :, None]
    bottom = x[:, y1][:, :, x0] * (1 - fx)[None, None, :, None] + x[:, y1][:, :, x1] * fx[None, None, :, None]
    return top * (1 - fy)[None, :, None, None] + bottom * fy[None, :, None, None]


def evaluate(graph, image):
    """Runs the graph on one NHWC float32 input; returns the outputs in graph order."""
    values = {}
    for index, tensor in enumerate(graph.tensors):
        if tensor.data is not None:
            values[index] = tensor.data
    values[graph.inputs[0]] = image.astype(np.float32)
    for op in graph.operators:
        a = [values[i] if i >= 0 else None for i in op.inputs]
        k, opt = op.kind, op.options
        if k == "DEQUANTIZE":
            out = a[0].astype(np.float32)
        elif k == "CONV_2D":
            out = conv2d(a[0], a[1], a[2], opt)
        elif k == "DEPTHWISE_CONV_2D":
            out = depthwise_conv2d(a[0], a[1], a[2], opt)
        elif k in ("AVERAGE_POOL_2D", "MAX_POOL_2D"):
            out = pool(a[0], opt, k[:3])
        elif k == "ADD":
            out = _activate(a[0] + a[1], opt["activation"])
        elif k == "MUL":
            out = _activate(a[0] * a[1], opt["activation"])
        elif k == "RELU":
            out = np.maximum(a[0], 0)
        elif k == "RELU6":
            out = np.clip(a[0], 0, 6)
        elif k == "LOGISTIC":
            with np.errstate(over="ignore"):  # exp overflows to inf: the result is 0
                out = 1 / (1 + np.exp(-a[0]))
        elif k == "HARD_SWISH":
            out = a[0] * np.clip(a[0] + 3, 0, 6) / 6
        elif k == "PAD":
            out = np.pad(a[0], a[1])
        elif k == "MEAN":
            out = a[0].mean(axis=tuple(int(v) for v in a[1]), keepdims=opt["keep_dims"])
        elif k == "CONCATENATION":
            out = _activate(np.concatenate(a, axis=opt["axis"]), opt["activation"])
        elif k == "RESHAPE":
            out = a[0].reshape(opt.get("new_shape") or tuple(a[1]))
        elif k == "RESIZE_BILINEAR":
            out = resize_bilinear(a[0], tuple(int(v) for v in a[1]), opt)
        elif k == "Convolution2DTransposeBias":
            out = transpose_conv_bias(a[0], a[1], a[2], opt)
        else:
            raise ValueError(f"no reference for operator {k}")
        values[op.outputs[0]] = out.astype(np.float32)
    return [values[i] for i in graph.outputs]


def run(path, image):
    return evaluate(tflite_model.read(path), image)
