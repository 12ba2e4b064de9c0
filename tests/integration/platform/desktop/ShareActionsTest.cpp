#include <gtest/gtest.h>

#include <QDesktopServices>

#include "DesktopTestDoubles.h"
#include "platform/desktop/QtShareActions.h"
#include "support/Log.h"

namespace tessera {
namespace {

// Only http and https links reach the browser; any other scheme is refused and
// logged, never handed to the desktop to open.
TEST(ShareActionsTest, OnlyWebLinksReachTheBrowserAndRefusalsAreLogged) {
    const char* schemes[] = {"http", "https", "file", "javascript", "mailto"};
    testing::UrlSink sink;
    for (const char* scheme : schemes) {
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &sink, "open");
    }
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
    for (const char* scheme : schemes) {
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    ASSERT_EQ(sink.urls.size(), 2u);
    EXPECT_EQ(sink.urls[0], QUrl(QStringLiteral("https://tessera.test/v/abc?t=1#x")));
    EXPECT_EQ(sink.urls[1], QUrl(QStringLiteral("http://127.0.0.1:3123/v/abc")));
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[0].find("file:///etc/passwd"), std::string::npos);
}

}  // namespace
}  // namespace tessera
