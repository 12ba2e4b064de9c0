#include "platform/desktop/QtShareActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QUrl>

#include "support/Log.h"

namespace tessera {

namespace {
constexpr const char* kComponent = "share";
}

bool isBrowserLink(const Url& link) {
    return (link.scheme() == "http" || link.scheme() == "https") && !link.host().empty();
}

void QtShareActions::copyToClipboard(const Url& link) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(link.toString()),
                                          QClipboard::Clipboard);
}

void QtShareActions::openInBrowser(const Url& link) {
    if (!isBrowserLink(link)) {
        logging::warning(kComponent, "not opening " + link.toString() +
                                         ": only http and https links go to the browser");
        return;
    }
    QUrl url(QString::fromStdString(link.toString()), QUrl::StrictMode);
    if (!url.isValid()) {
        logging::warning(kComponent,
                         "not opening " + link.toString() + ": " + url.errorString().toStdString());
        return;
    }
    if (!QDesktopServices::openUrl(url)) {
        logging::warning(kComponent, "the desktop could not open " + link.toString());
    }
}

}  // namespace tessera
