#include <gtest/gtest.h>

#include <QDBusConnection>

#include "DesktopTestDoubles.h"
#include "platform/desktop/DbusReadyNotifications.h"
#include "platform/desktop/QtMainExecutor.h"
#include "support/DbusSession.h"
#include "support/Log.h"
#include "support/QtTestEnvironment.h"

namespace tessera {
namespace {

using testing::processEventsUntil;
using Authorization = ReadyNotifications::Authorization;

class NotificationsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        server.stop();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notification-server"));
    }
    template <class T>
    T await(Task<T> task) {
        auto handle = spawn(executor, std::move(task));
        EXPECT_TRUE(processEventsUntil([&] { return handle.isDone(); }, std::chrono::seconds(20)));
        return handle.result();
    }

    testing::FakeNotificationServer server{QDBusConnection::connectToBus(
        QString::fromStdString(testing::DbusSession::sharedInstance().address()),
        QStringLiteral("fake-notification-server"))};
    QtMainExecutor executor;
    testing::RecordingShareActions share;
    std::optional<Url> link = Url::parse("https://tessera.test/v/rec-1");
    DbusReadyNotifications notifications{share, [this] { return link; },
                                         QDBusConnection::sessionBus(), /*bundled=*/true};
};

// Without a notification service nothing is authorized and a post fails;
// once one answers, a click opens the link current at click time. Clicks
// that are not ours, not the default action, or come after the link is gone
// open nothing. The signals arrive in order, so once a later click has acted,
// the earlier ones have been handled.
TEST_F(NotificationsTest, PostsOnlyToAServiceAndAClickOpensTheCurrentLink) {
    EXPECT_EQ(await(notifications.authorization()), Authorization::denied);
    EXPECT_THROW(await(notifications.post("Recording ready", "body")), std::runtime_error);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(await(notifications.authorization()), Authorization::authorized);

    await(notifications.post("Recording ready", "The share link is copied to your clipboard."));
    await(notifications.post("Recording ready", "The share link is copied to your clipboard."));
    ASSERT_EQ(server.shown.size(), 2u);
    const auto& shown = server.shown[0];
    EXPECT_TRUE(shown.actions.contains(QStringLiteral("default")));

    bool toldNoLink = false;
    logging::LogCapture capture([&](logging::Level, std::string_view component, std::string_view) {
        toldNoLink = toldNoLink || component == "notifications";
    });
    link.reset();
    server.click(shown.id);
    ASSERT_TRUE(processEventsUntil([&] { return toldNoLink; }));
    EXPECT_TRUE(share.opened.empty());
    server.click(server.shown[1].id + 100);
    server.click(server.shown[1].id, QStringLiteral("settings"));
    link = Url::parse("https://tessera.test/v/rec-2");
    server.click(server.shown[1].id);
    ASSERT_TRUE(processEventsUntil([&] { return !share.opened.empty(); }));
    // One more click without a link: once it is told, every click before it
    // has been handled.
    toldNoLink = false;
    link.reset();
    server.click(shown.id);
    ASSERT_TRUE(processEventsUntil([&] { return toldNoLink; }));
    EXPECT_EQ(share.opened, std::vector<Url>{*Url::parse("https://tessera.test/v/rec-2")});
}

}  // namespace
}  // namespace tessera
