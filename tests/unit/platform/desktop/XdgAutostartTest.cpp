#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/desktop/DesktopEntry.h"
#include "platform/desktop/ShellRelauncher.h"
#include "platform/desktop/XdgAutostart.h"
#include "support/TempDir.h"

namespace tessera {
namespace {

namespace fs = std::filesystem;
using Status = LaunchAtLogin::Status;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

fs::path makeExecutable(const fs::path& path) {
    writeFile(path, "#!/bin/sh\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

class XdgAutostartTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", (temp.path() / "config").c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

    testing::TempDir temp;
    fs::path executable = makeExecutable(temp.path() / "my apps" / "tessera-recorder");
    fs::path entry = temp.path() / "config/autostart/com.tessera.recorder.desktop";
};

TEST_F(XdgAutostartTest, OnWritesAnEntryForThisExecutableOnceAndOffRemovesIt) {
    XdgAutostart autostart(std::nullopt, executable);
    EXPECT_EQ(autostart.status(), Status::notRegistered);

    autostart.setEnabled(true);
    EXPECT_EQ(autostart.status(), Status::enabled);
    const auto text = readFile(entry);
    EXPECT_NE(text.find("\nExec=\"" + executable.string() + "\"\n"), std::string::npos) << text;

    // On rewrites an entry the desktop turned off.
    for (const char* off : {"Hidden=true", "X-GNOME-Autostart-enabled=false"}) {
        SCOPED_TRACE(off);
        writeFile(entry, "[Desktop Entry]\nType=Application\nExec=" +
                             desktop_entry::execArgument(executable.string()) + "\n" + off + "\n");
        EXPECT_EQ(autostart.status(), Status::notRegistered);
        autostart.setEnabled(true);
        EXPECT_EQ(autostart.status(), Status::enabled);
    }

    autostart.setEnabled(false);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(autostart.status(), Status::notRegistered);
    autostart.setEnabled(false);  // off when already off is fine
}

TEST_F(XdgAutostartTest, FailuresThrowWithThePathInTheMessage) {
    // The autostart folder cannot be made: a file stands in its place.
    writeFile(temp.path() / "config/autostart", "not a folder");
    XdgAutostart blocked(std::nullopt, executable);
    try {
        blocked.setEnabled(true);
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("autostart"), std::string::npos) << error.what();
    }

    // The entry cannot be removed: a folder with content stands in its place.
    testing::TempDir other;
    writeFile(other.path() / "com.tessera.recorder.desktop/inside", "x");
    XdgAutostart stuck(other.path(), executable);
    EXPECT_THROW(stuck.setEnabled(false), std::runtime_error);
}

// The relaunch command survives any characters in the executable's path.
TEST(ShellRelauncherTest, QuotesTheExecutablePathForTheShell) {
    EXPECT_EQ(relaunchCommand("/usr/bin/tessera-recorder"),
              "sleep 0.5; exec '/usr/bin/tessera-recorder'");
    EXPECT_EQ(shellQuoted("/opt/my app/it's $HOME `x`"), "'/opt/my app/it'\\''s $HOME `x`'");
    EXPECT_EQ(shellQuoted(""), "''");
}

}  // namespace
}  // namespace tessera
