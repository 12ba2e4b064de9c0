#include <gtest/gtest.h>

#include <QDBusConnection>
#include <sstream>

#include "platform/desktop/InstanceBus.h"
#include "platform/desktop/InstanceCommand.h"
#include "support/DbusSession.h"
#include "support/QtTestEnvironment.h"

namespace tessera {
namespace {

struct Calls {
    int toggle = 0;
    int pause = 0;
    int cancel = 0;
    int showPanel = 0;
};

struct Shown {
    RecorderPhase phase = RecorderPhase::recording();
    std::optional<Url> link = Url::parse("https://tessera.test/v/abc");
    std::optional<std::string> statusMessage;
    bool canRetryFinalize = false;
};

InstanceBus::Handlers handlersFor(Calls& calls, Shown& shown) {
    return {.toggle = [&] { ++calls.toggle; },
            .togglePause = [&] { ++calls.pause; },
            .cancel = [&] { ++calls.cancel; },
            .showPanel = [&] { ++calls.showPanel; },
            .phase = [&] { return shown.phase; },
            .shareLink = [&] { return shown.link; },
            .statusMessage = [&] { return shown.statusMessage; },
            .canRetryFinalize =
                [&] {
                    return shown.canRetryFinalize;
                }};
}

// A connection of its own per instance, as two processes would have.
QDBusConnection connection(const QString& name) {
    return QDBusConnection::connectToBus(
        QString::fromStdString(testing::DbusSession::sharedInstance().address()), name);
}

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

class InstanceBusTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { testing::DbusSession::sharedInstance(); }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("instance-first"));
        QDBusConnection::disconnectFromBus(QStringLiteral("instance-second"));
    }

    Calls calls;
    Shown shown;
};

// The first instance owns the name and the command line drives it (the
// installed program's own runs check the other --status lines); misuse is
// told before any bus is asked. Once the first instance is gone nothing
// answers and the name is free.
TEST_F(InstanceBusTest, TheFirstInstanceOwnsTheNameAndTheCommandLineDrivesIt) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--toggle", "--pause"}, {"--status", "extra"}}) {
        auto result = run(args);
        EXPECT_EQ(result.code, 2);
        EXPECT_NE(result.err.find("usage:"), std::string::npos);
    }
    EXPECT_EQ(run({"--verbose"}).code, -1);

    auto first = std::make_unique<InstanceBus>(handlersFor(calls, shown),
                                               connection(QStringLiteral("instance-first")));
    ASSERT_TRUE(first->claim());
    Calls secondCalls;
    InstanceBus second(handlersFor(secondCalls, shown),
                       connection(QStringLiteral("instance-second")));
    EXPECT_FALSE(second.claim());

    EXPECT_EQ(run({"--toggle"}).code, 0);
    EXPECT_EQ(run({"--pause"}).code, 0);
    EXPECT_EQ(run({"--cancel"}).code, 0);
    EXPECT_TRUE(handOverToRunningInstance());
    EXPECT_EQ(calls.toggle, 1);
    EXPECT_EQ(calls.pause, 1);
    EXPECT_EQ(calls.cancel, 1);
    EXPECT_EQ(calls.showPanel, 1);
    EXPECT_EQ(secondCalls.toggle + secondCalls.showPanel, 0);

    // A message of several lines stays on its own line of the output.
    shown.phase = RecorderPhase::done();
    shown.statusMessage = "Heads up: mic audio was lost\n(disk full)";
    auto status = run({"--status"});
    EXPECT_EQ(status.code, 0) << status.err;
    EXPECT_EQ(status.out,
              "phase: done\nlink: https://tessera.test/v/abc\n"
              "notice: Heads up: mic audio was lost (disk full)\n");

    first.reset();
    auto gone = run({"--status"});
    EXPECT_EQ(gone.code, 1);
    EXPECT_EQ(gone.err, "Tessera Recorder is not running.\n");
    EXPECT_EQ(run({"--cancel"}).code, 1);
    EXPECT_FALSE(handOverToRunningInstance());
    EXPECT_TRUE(second.claim());
}

}  // namespace
}  // namespace tessera
