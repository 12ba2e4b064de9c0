"""Checks the converter: the converted models, run by OpenCV's dnn module, agree with
the NumPy evaluation of the TFLite graph on real photos; and the evaluation itself
agrees with OpenCV's own operations where they coincide.

    TESSERA_MODEL_CACHE_DIR=<folder with the .tflite files and photos> /usr/bin/python3 -m unittest test_convert
"""

import os
import pathlib
import sys
import tempfile
import unittest

import cv2
import numpy as np
import onnx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import convert  # noqa: E402
import reference  # noqa: E402

CACHE = pathlib.Path(os.environ.get("TESSERA_MODEL_CACHE_DIR", ""))
PHOTOS = ("astronaut.png", "messi5.jpg")


def _photo(name, size, letterbox):
    rgb = cv2.cvtColor(cv2.imread(str(CACHE / name)), cv2.COLOR_BGR2RGB)
    if not letterbox:
        return cv2.resize(rgb, size, interpolation=cv2.INTER_AREA).astype(np.float32)
    scale = min(size[0] / rgb.shape[1], size[1] / rgb.shape[0])
    fitted = cv2.resize(rgb, (round(rgb.shape[1] * scale), round(rgb.shape[0] * scale)),
                        interpolation=cv2.INTER_AREA)
    square = np.zeros((size[1], size[0], 3), np.uint8)
    y, x = (size[1] - fitted.shape[0]) // 2, (size[0] - fitted.shape[1]) // 2
    square[y:y + fitted.shape[0], x:x + fitted.shape[1]] = fitted
    return square.astype(np.float32)


@unittest.skipUnless((CACHE / "selfie_segmentation.tflite").is_file(),
                     "models missing: run scripts/setup.sh")
class ConvertedModelsMatchTheTfliteGraph(unittest.TestCase):
    # model, input width x height, pixel scaling, letterboxed
    MODELS = (
        ("selfie_segmentation_landscape", (256, 144), "unit", False),
        ("selfie_segmentation", (256, 256), "unit", False),
        ("face_detection_short_range", (128, 128), "signed", True),
        ("face_detection_full_range", (192, 192), "signed", True),
    )

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.results = {}
        for model, size, scaling, letterbox in cls.MODELS:
            tflite = str(CACHE / f"{model}.tflite")
            path = os.path.join(cls.folder.name, f"{model}.onnx")
            onnx.save(convert.convert(tflite), path)
            net = cv2.dnn.readNetFromONNX(path)
            graph = reference.tflite_model.read(tflite)
            for photo in PHOTOS:
                pixels = _photo(photo, size, letterbox)
                x = pixels / 255 if scaling == "unit" else pixels / 127.5 - 1
                expected = reference.evaluate(graph, x[None])
                net.setInput(np.ascontiguousarray(x.transpose(2, 0, 1)[None]))
                names = net.getUnconnectedOutLayersNames()
                by_size = {o.size: o for o in net.forward(names)}
                actual = [by_size[e.size].reshape(e.shape) for e in expected]
                cls.results[model, photo] = (expected, actual)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_outputs_agree_within_float_rounding(self):
        for (model, photo), (expected, actual) in self.results.items():
            for e, a in zip(expected, actual):
                with self.subTest(model=model, photo=photo, shape=e.shape):
                    tolerance = 1e-4 * max(1.0, float(np.abs(e).max()))
                    self.assertLessEqual(float(np.abs(e - a).max()), tolerance)

    def test_segmentation_finds_the_person(self):
        for model in ("selfie_segmentation_landscape", "selfie_segmentation"):
            mask = self.results[model, "astronaut.png"][1][0][0, :, :, 0]
            h, w = mask.shape
            with self.subTest(model=model):
                # The suit below the face is person, the wall above the shoulder is not.
                self.assertGreater(float(mask[int(h * 0.7), int(w * 0.4)]), 0.9)
                self.assertLess(float(mask[int(h * 0.08), int(w * 0.66)]), 0.1)

    def test_face_models_find_a_face_near_where_it_is(self):
        for model in ("face_detection_short_range", "face_detection_full_range"):
            size = 128 if "short" in model else 192
            cells = None if "short" in model else 48
            regressors, logits = self.results[model, "astronaut.png"][1]
            best = int(np.argmax(logits[0, :, 0]))
            with self.subTest(model=model):
                self.assertGreater(1 / (1 + np.exp(-float(logits[0, best, 0]))), 0.5)
                if cells:  # one anchor per cell: the anchor is the cell centre
                    ax, ay = (best % cells + 0.5) / cells, (best // cells + 0.5) / cells
                    cx = regressors[0, best, 0] / size + ax
                    cy = regressors[0, best, 1] / size + ay
                    # The face of the 512x512 photo is around (225, 130).
                    self.assertAlmostEqual(cx, 225 / 512, delta=0.06)
                    self.assertAlmostEqual(cy, 130 / 512, delta=0.06)


class ReferenceAgreesWithOpenCv(unittest.TestCase):
    def test_half_pixel_bilinear_resize(self):
        rng = np.random.default_rng(1)
        image = rng.random((1, 9, 16, 3), np.float32)
        options = {"half_pixel_centers": True, "align_corners": False}
        ours = reference.resize_bilinear(image, (18, 32), options)[0]
        theirs = cv2.resize(image[0], (32, 18), interpolation=cv2.INTER_LINEAR)
        np.testing.assert_allclose(ours, theirs, atol=1e-5)

    def test_convolution_with_same_padding(self):
        rng = np.random.default_rng(2)
        image = rng.random((1, 7, 9, 1), np.float32)
        kernel = rng.random((1, 3, 3, 1), np.float32)
        options = {"padding": "SAME", "stride": (1, 1), "dilation": (1, 1), "activation": None}
        ours = reference.conv2d(image, kernel, np.zeros(1, np.float32), options)[0, :, :, 0]
        theirs = cv2.filter2D(image[0, :, :, 0], -1, kernel[0, :, :, 0],
                              borderType=cv2.BORDER_CONSTANT)
        np.testing.assert_allclose(ours, theirs, atol=1e-5)


if __name__ == "__main__":
    unittest.main()
