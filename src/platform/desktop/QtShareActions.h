#pragma once

#include "capture/ControllerPorts.h"

namespace tessera {

// The clipboard and the browser through Qt. Main thread; needs a
// QGuiApplication.
//
// copyToClipboard() sets the CLIPBOARD selection (what Ctrl+V pastes). On X11
// the content is served by this process, so it stays available only while the
// application runs its event loop. openInBrowser() hands only http and https
// links to the desktop's default handler; any other scheme is refused and
// logged, so a link from the server can never start a local program.
class QtShareActions final : public ShareActions {
  public:
    void copyToClipboard(const Url& link) override;
    void openInBrowser(const Url& link) override;
};

// Whether openInBrowser() hands `link` to the browser.
bool isBrowserLink(const Url& link);

}  // namespace tessera
