#include <gtest/gtest.h>

#include <QDBusConnection>
#include <sstream>

#include "platform/desktop/InstanceBus.h"
#include "platform/desktop/InstanceCommand.h"
#include "support/DbusSession.h"
#include "support/QtTestEnvironment.h"

namespace tessera {
namespace {

struct CommandResult {
    int code;
    std::string out;
    std::string err;
};

CommandResult run(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    int code = runInstanceCommand(args, out, err);
    return {code, out.str(), err.str()};
}

// An instance on a bus connection of its own, as another process has, that
// logs the commands it is given and shows the done view.
std::unique_ptr<InstanceBus> instance(const QString& name, std::vector<std::string>& calls) {
    InstanceBus::Handlers handlers{
        .toggle = [&] { calls.push_back("toggle"); },
        .togglePause = [&] { calls.push_back("pause"); },
        .cancel = [&] { calls.push_back("cancel"); },
        .showPanel = [&] { calls.push_back("showPanel"); },
        .phase = [] { return RecorderPhase::done(); },
        .shareLink = [] { return Url::parse("https://tessera.test/v/abc"); },
        .statusMessage = [] { return std::optional<std::string>("Heads up: lost\n(disk full)"); },
        .canRetryFinalize =
            [] {
                return false;
            }};
    return std::make_unique<InstanceBus>(
        std::move(handlers),
        QDBusConnection::connectToBus(
            QString::fromStdString(testing::DbusSession::sharedInstance().address()), name));
}

// The instance that owns the name is driven by the command line, every
// command included, and a message of several lines stays on its own line of
// the status. (The installed program's own runs check a second instance,
// the other --status lines and a command with none running.)
TEST(InstanceBusTest, TheRunningInstanceIsDrivenByTheCommandLine) {
    EXPECT_EQ(run({"--verbose"}).code, -1);
    std::vector<std::string> calls;
    auto first = instance(QStringLiteral("instance-first"), calls);
    ASSERT_TRUE(first->claim());
    EXPECT_EQ(run({"--toggle"}).code, 0);
    EXPECT_EQ(run({"--pause"}).code, 0);
    EXPECT_EQ(run({"--cancel"}).code, 0);
    EXPECT_TRUE(handOverToRunningInstance());
    EXPECT_EQ(calls, (std::vector<std::string>{"toggle", "pause", "cancel", "showPanel"}));
    auto status = run({"--status"});
    EXPECT_EQ(status.code, 0) << status.err;
    EXPECT_EQ(
        status.out,
        "phase: done\nlink: https://tessera.test/v/abc\nnotice: Heads up: lost (disk full)\n");
    first.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("instance-first"));
}

}  // namespace
}  // namespace tessera
