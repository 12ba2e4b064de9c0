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
    static void SetUpTestSuite() { testing::DbusSession::sharedInstance(); }

    void SetUp() override {
        server = std::make_unique<testing::FakeNotificationServer>(QDBusConnection::connectToBus(
            QString::fromStdString(testing::DbusSession::sharedInstance().address()),
            kServerConnection));
    }
    void TearDown() override {
        server->stop();
        server.reset();
        QDBusConnection::disconnectFromBus(kServerConnection);
    }

    template <class T>
    T await(Task<T> task) {
        auto handle = spawn(executor, std::move(task));
        EXPECT_TRUE(processEventsUntil([&] { return handle.isDone(); }, std::chrono::seconds(20)));
        return handle.result();
    }

    static inline const QString kServerConnection = QStringLiteral("fake-notification-server");
    QtMainExecutor executor;
    testing::RecordingShareActions share;
    std::optional<Url> link = Url::parse("https://tessera.test/v/rec-1");
    DbusReadyNotifications notifications{share, [this] { return link; },
                                         QDBusConnection::sessionBus(), /*bundled=*/true};
    std::unique_ptr<testing::FakeNotificationServer> server;
};

TEST_F(NotificationsTest, NotAuthorizedWhileNoServiceAnswersAndAuthorizedOnceOneDoes) {
    EXPECT_EQ(await(notifications.authorization()), Authorization::denied);
    EXPECT_FALSE(await(notifications.requestAuthorization()));
    EXPECT_THROW(await(notifications.post("Recording ready", "body")), std::runtime_error);

    ASSERT_TRUE(server->start());
    EXPECT_EQ(await(notifications.authorization()), Authorization::authorized);
    EXPECT_TRUE(await(notifications.requestAuthorization()));
}

TEST_F(NotificationsTest, APostedNotificationOpensTheCurrentLinkWhenClicked) {
    ASSERT_TRUE(server->start());
    await(notifications.post("Recording ready", "The share link is copied to your clipboard."));
    ASSERT_EQ(server->shown.size(), 1u);
    const auto& shown = server->shown[0];
    EXPECT_EQ(shown.summary, QStringLiteral("Recording ready"));
    EXPECT_EQ(shown.body, QStringLiteral("The share link is copied to your clipboard."));
    EXPECT_TRUE(shown.actions.contains(QStringLiteral("default")));
    EXPECT_EQ(shown.hints.value(QStringLiteral("desktop-entry")).toString(),
              QStringLiteral("com.tessera.recorder"));

    // Clicks that are not ours, or not the default action, open nothing; the
    // signals arrive in order, so once the last one has opened the link the
    // earlier ones have been handled.
    server->click(shown.id + 100);
    server->click(shown.id, QStringLiteral("settings"));
    link = Url::parse("https://tessera.test/v/rec-2");  // the link at click time counts
    server->click(shown.id);
    ASSERT_TRUE(processEventsUntil([&] { return !share.opened.empty(); }));
    EXPECT_EQ(share.opened, std::vector<Url>{*Url::parse("https://tessera.test/v/rec-2")});
}

TEST_F(NotificationsTest, AClickAfterTheLinkIsGoneOpensNothing) {
    ASSERT_TRUE(server->start());
    await(notifications.post("Recording ready", "The share link is ready in the panel."));
    await(notifications.post("Recording ready", "The share link is ready in the panel."));
    ASSERT_EQ(server->shown.size(), 2u);
    bool toldNoLink = false;
    logging::LogCapture capture([&](logging::Level, std::string_view component, std::string_view) {
        toldNoLink = toldNoLink || component == "notifications";
    });
    link.reset();
    server->click(server->shown[0].id);
    ASSERT_TRUE(processEventsUntil([&] { return toldNoLink; }));
    EXPECT_TRUE(share.opened.empty());
    link = Url::parse("https://tessera.test/v/rec-3");
    server->click(server->shown[1].id);
    ASSERT_TRUE(processEventsUntil([&] { return !share.opened.empty(); }));
    EXPECT_EQ(share.opened.size(), 1u);
}

}  // namespace
}  // namespace tessera
