#include <gtest/gtest.h>

#include "platform/desktop/ShellRelauncher.h"
#include "platform/desktop/X11ScreenPermission.h"

namespace tessera {
namespace {

TEST(ShellRelauncherTest, QuotesTheExecutablePathForTheShell) {
    EXPECT_EQ(relaunchCommand("/usr/bin/tessera-recorder"),
              "sleep 0.5; exec '/usr/bin/tessera-recorder'");
    EXPECT_EQ(shellQuoted("/opt/my app/it's $HOME `x`"), "'/opt/my app/it'\\''s $HOME `x`'");
    EXPECT_EQ(shellQuoted("''"), "''\\'''\\'''");
    EXPECT_EQ(shellQuoted(""), "''");
}

TEST(X11ScreenPermissionTest, DeniedWhenTheDisplayCannotBeOpened) {
    X11ScreenPermission permission(":4711");  // no server listens there
    EXPECT_FALSE(permission.preflight());
    permission.request();  // nothing to ask on X11; must not fail
    EXPECT_FALSE(X11ScreenPermission("not a display name").preflight());
}

}  // namespace
}  // namespace tessera
