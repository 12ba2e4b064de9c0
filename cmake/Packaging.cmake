# Debian packages through CPack (cpack -G DEB in a build tree): the recorder
# (tessera-recorder, with its desktop entry, icon, models and their licences)
# and the reference web app (tessera-webapp) as packages of their own. Their
# dependencies are computed from the shared libraries they link.
set(CPACK_PACKAGE_NAME tessera-recorder)
set(CPACK_PACKAGE_VENDOR "Tessera Recorder developers")
set(CPACK_PACKAGE_CONTACT "Tessera Recorder developers <dev@tessera-recorder.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL recorder webapp)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_RECORDER_PACKAGE_NAME tessera-recorder)
set(CPACK_DEBIAN_RECORDER_DESCRIPTION
  "Screen recorder in the tray that uploads while it records\n Records a display or one window, the camera as a round bubble, the\n microphone and system audio, and uploads every segment to a companion web\n app while recording, so the share link is ready when you stop.")
# Share links open in the browser through xdg-open.
set(CPACK_DEBIAN_RECORDER_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_WEBAPP_PACKAGE_NAME tessera-webapp)
set(CPACK_DEBIAN_WEBAPP_DESCRIPTION
  "Reference web app for Tessera Recorder\n Stores recordings uploaded by Tessera Recorder, joins their segments and\n serves share pages.")
set(CPACK_DEBIAN_WEBAPP_PACKAGE_SECTION web)
include(CPack)
