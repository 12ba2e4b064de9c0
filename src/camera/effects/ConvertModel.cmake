# Converts one cached TFLite model to ONNX at build time:
#   cmake -DSOURCE=<model.tflite> -DOUTPUT=<model.onnx> -DCONVERTER=<convert.py> -P ConvertModel.cmake
if(NOT EXISTS "${SOURCE}")
  message(FATAL_ERROR "Camera-effect model ${SOURCE} is missing: run scripts/setup.sh "
                      "(it fetches the models into the cache once; the build never downloads).")
endif()
execute_process(COMMAND /usr/bin/python3 -B "${CONVERTER}" "${SOURCE}" "${OUTPUT}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "Converting ${SOURCE} to ONNX failed (${result}). The converter needs "
                      "Debian's python3-onnx, python3-numpy and python3-flatbuffers: run scripts/setup.sh.")
endif()
