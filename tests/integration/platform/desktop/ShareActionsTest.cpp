#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QProcess>

#include "DesktopTestDoubles.h"
#include "platform/desktop/QtShareActions.h"
#include "platform/desktop/XdgAutostart.h"
#include "support/Log.h"
#include "support/QtTestEnvironment.h"
#include "support/TempDir.h"

namespace tessera {
namespace {

using testing::processEventsUntil;

// Routes every scheme these tests use to a sink instead of the desktop.
class DesktopOpenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* scheme : kSchemes) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &sink, "open");
        }
    }
    void TearDown() override {
        for (const char* scheme : kSchemes) {
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        }
    }

    static constexpr const char* kSchemes[] = {"http", "https", "file", "javascript", "mailto"};
    testing::UrlSink sink;
};

TEST_F(DesktopOpenTest, OnlyWebLinksReachTheBrowserAndRefusalsAreLogged) {
    std::vector<std::string> warnings;
    logging::LogCapture capture(
        [&](logging::Level level, std::string_view component, std::string_view message) {
            if (level == logging::Level::warning && component == "share") {
                warnings.emplace_back(message);
            }
        });
    QtShareActions share;
    for (const char* refused : {"file:///etc/passwd", "javascript:alert(1)", "mailto:a@b.test"}) {
        share.openInBrowser(*Url::parse(refused));
    }
    share.openInBrowser(*Url::parse("https://tessera.test/v/abc?t=1#x"));
    share.openInBrowser(*Url::parse("http://127.0.0.1:3123/v/abc"));

    ASSERT_EQ(sink.urls.size(), 2u);
    EXPECT_EQ(sink.urls[0], QUrl(QStringLiteral("https://tessera.test/v/abc?t=1#x")));
    EXPECT_EQ(sink.urls[1], QUrl(QStringLiteral("http://127.0.0.1:3123/v/abc")));
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[0].find("file:///etc/passwd"), std::string::npos);
}

TEST_F(DesktopOpenTest, WithoutAKnownDesktopTheAutostartFolderIsMadeAndOpened) {
    testing::TempDir temp;
    const auto folder = temp.path() / "config/autostart";
    unsetenv("XDG_CURRENT_DESKTOP");
    XdgAutostart autostart(folder, temp.path() / "tessera-recorder");
    autostart.openLoginItemsSettings();
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    ASSERT_EQ(sink.urls.size(), 1u);
    EXPECT_EQ(sink.urls[0], QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

TEST(ClipboardTest, ACopiedLinkIsWhatAnotherProgramPastes) {
    QtShareActions share;
    const auto link = *Url::parse("https://tessera.test/v/clip-1");
    share.copyToClipboard(link);
    // This process serves the clipboard, so it keeps handling events while
    // xclip asks for the content.
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {"-o", "-selection", "clipboard"});
    ASSERT_TRUE(processEventsUntil([&] { return xclip.state() == QProcess::NotRunning; },
                                   std::chrono::seconds(20)));
    EXPECT_EQ(xclip.exitCode(), 0) << xclip.readAllStandardError().toStdString();
    EXPECT_EQ(xclip.readAllStandardOutput().toStdString(), link.toString());
}

}  // namespace
}  // namespace tessera
