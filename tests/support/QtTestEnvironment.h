#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

class QImage;
class QWidget;

namespace tessera::testing {

// The X server every test of a Qt test executable runs on: the executable's
// main (QtTestMain.cpp) starts Xvfb with openbox, points DISPLAY at it and
// creates the QApplication before the first test.
const std::string& qtTestDisplay();

// Processes Qt events until `condition` holds or `timeout` passes; true when it
// held. Tests wait for conditions this way, never for a fixed time.
bool processEventsUntil(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Where a test saves the pictures a developer looks at:
// <build>/test-artifacts/<name>. The folder is made on first use.
std::filesystem::path testArtifactPath(const std::string& name);

// Saves what the X server shows of the whole screen (including windows of
// other processes), or of one widget as the screen shows it, as a PNG artefact.
// Returns the picture for pixel checks.
QImage saveScreenArtifact(const std::string& name);
QImage saveWidgetArtifact(const QWidget& widget, const std::string& name);

}  // namespace tessera::testing
