// The panel's views while a session runs and after it: starting, recording,
// finishing, done and error.

#include <QDesktopServices>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QUrl>
#include <QVBoxLayout>

#include "support/Log.h"
#include "views/PanelViews.h"
#include "views/PanelWidgets.h"
#include "views/StatusIcons.h"

namespace tessera::views {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QVBoxLayout* column(QWidget* owner) {
    auto* layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    return layout;
}

// The share link with its copy button; hidden while there is no link.
class ShareLinkRow : public QWidget {
  public:
    ShareLinkRow(PanelContext& context, const QString& copyLabel, QWidget* parent)
        : QWidget(parent), context_(context) {
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        link_ = new QLabel(this);
        link_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        link_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(link_, 1);
        layout->addWidget(
            new CopyButton(copyLabel, this, [&context] { context.controller.copyLink(); }));
    }

    void refresh() {
        const auto& url = context_.state.shareURL();
        setVisible(url.has_value());
        const QString text = url ? qs(url->toString()) : QString();
        link_->setToolTip(text);
        link_->setText(link_->fontMetrics().elidedText(text, Qt::ElideMiddle, 180));
    }

  private:
    PanelContext& context_;
    QLabel* link_;
};

// Where the local copy of a recording that did not fully reach the server
// was saved, with a button that opens its folder; hidden when none was saved.
class LocalCopyRow : public QWidget {
  public:
    LocalCopyRow(PanelContext& context, QWidget* parent) : QWidget(parent), context_(context) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        line_ = new QLabel(this);
        line_->setWordWrap(true);
        line_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(line_);
        layout->addWidget(makeButton("Show in Folder", this, [this] { openFolder(); }));
    }

    void refresh() {
        const auto& path = context_.state.localCopyPath();
        setVisible(path.has_value());
        if (path) {
            line_->setText(QStringLiteral("Saved a local copy: ") + qs(*path));
        }
    }

  private:
    void openFolder() const {
        const auto& path = context_.state.localCopyPath();
        if (!path) {
            return;
        }
        const QFileInfo info(qs(*path));
        const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder))) {
            logging::warning("views", "no program opened the folder " + folder.toStdString());
        }
    }

    PanelContext& context_;
    QLabel* line_;
};

class StartingView : public PhaseView {
  public:
    explicit StartingView(PanelContext& context) : context_(context) {
        auto* layout = column(this);
        title_ = makeTitle({}, this);
        subtitle_ = makeCaption({}, this);
        layout->addWidget(title_);
        layout->addWidget(subtitle_);
        layout->addWidget(
            makeButton("Cancel", this, [this] { context_.run(context_.controller.cancel()); }));
        refresh();
    }
    void refresh() override {
        const SessionViewContent content = sessionViewContent(context_.state);
        title_->setText(qs(content.title));
        subtitle_->setText(qs(content.subtitle));
        subtitle_->setVisible(!content.subtitle.empty());
    }

  private:
    PanelContext& context_;
    QLabel* title_;
    QLabel* subtitle_;
};

class RecordingView : public PhaseView {
  public:
    explicit RecordingView(PanelContext& context) : context_(context) {
        auto* layout = column(this);
        auto* status = new QHBoxLayout;
        dot_ = new Dot(QColor::fromRgba(kRecordingRed), this);
        title_ = makeTitle({}, this);
        elapsed_ = makeTitle({}, this);
        elapsed_->setFont([&] {
            QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            font.setBold(true);
            font.setPointSizeF(title_->font().pointSizeF());
            return font;
        }());
        status->addWidget(dot_);
        status->addWidget(title_, 1);
        status->addWidget(elapsed_);
        layout->addLayout(status);
        shareLink_ = new ShareLinkRow(context, "Copy link", this);
        layout->addWidget(shareLink_);

        pause_ = makeButton({}, this, [this] {
            if (context_.state.phase().is(RecorderPhase::Kind::paused)) {
                context_.controller.resume();
            } else {
                context_.controller.pause();
            }
        });
        layout->addWidget(pause_);
        layout->addWidget(makePrimaryButton("Stop & get link", this,
                                            [this] { context_.run(context_.controller.stop()); }));
        discard_ = makeButton("Discard", this, [this] { setConfirming(true); });
        layout->addWidget(discard_);

        confirm_ = new QWidget(this);
        auto* confirmLayout = new QHBoxLayout(confirm_);
        confirmLayout->setContentsMargins(0, 0, 0, 0);
        confirmLayout->addWidget(new QLabel("Delete this recording?", confirm_), 1);
        confirmLayout->addWidget(makeButton("Discard", confirm_, [this] {
            setConfirming(false);
            context_.run(context_.controller.cancel());
        }));
        confirmLayout->addWidget(makeButton("Keep", confirm_, [this] { setConfirming(false); }));
        layout->addWidget(confirm_);
        setConfirming(false);
        refresh();
    }

    void refresh() override {
        const SessionViewContent content = sessionViewContent(context_.state);
        title_->setText(qs(content.title));
        elapsed_->setText(qs(content.elapsed));
        dot_->setPulsing(content.pulsing);
        dot_->setColor(content.pulsing ? QColor::fromRgba(kRecordingRed) : QColor(142, 142, 147));
        pause_->setText(qs(content.pauseLabel));
        pause_->setAccessibleName(pause_->text());
        pause_->setIcon(
            QIcon::fromTheme(content.pulsing ? "media-playback-pause" : "media-playback-start"));
        shareLink_->refresh();
    }

  private:
    void setConfirming(bool confirming) {
        confirm_->setVisible(confirming);
        discard_->setVisible(!confirming);
    }

    PanelContext& context_;
    Dot* dot_;
    QLabel* title_;
    QLabel* elapsed_;
    ShareLinkRow* shareLink_;
    QPushButton* pause_;
    QPushButton* discard_;
    QWidget* confirm_;
};

class FinishingView : public PhaseView {
  public:
    explicit FinishingView(PanelContext& context) {
        auto* layout = column(this);
        layout->addWidget(makeTitle(qs(sessionViewContent(context.state).title), this));
        auto* spinner = new QProgressBar(this);
        spinner->setRange(0, 0);
        spinner->setTextVisible(false);
        spinner->setAccessibleName("Processing");
        layout->addWidget(spinner);
    }
};

class DoneView : public PhaseView {
  public:
    explicit DoneView(PanelContext& context) : context_(context) {
        auto* layout = column(this);
        auto* heading = new QHBoxLayout;
        auto* check = makeTitle("✓", this);
        check->setForegroundRole(QPalette::Highlight);
        title_ = makeTitle({}, this);
        heading->addWidget(check);
        heading->addWidget(title_, 1);
        layout->addLayout(heading);
        shareLink_ = new ShareLinkRow(context, "Copy", this);
        layout->addWidget(shareLink_);
        open_ = makeButton("Open", this, [this] {
            const auto& url = context_.state.shareURL();
            if (url && context_.ports.share) {
                context_.ports.share->openInBrowser(*url);
            }
        });
        layout->addWidget(open_);
        localCopy_ = new LocalCopyRow(context, this);
        layout->addWidget(localCopy_);
        layout->addWidget(makePrimaryButton("New recording", this,
                                            [this] { context_.controller.acknowledgeDone(); }));
        refresh();
    }
    void refresh() override {
        title_->setText(qs(sessionViewContent(context_.state).title));
        shareLink_->refresh();
        open_->setEnabled(context_.state.shareURL().has_value() && context_.ports.share);
        localCopy_->refresh();
    }

  private:
    PanelContext& context_;
    QLabel* title_;
    ShareLinkRow* shareLink_;
    QPushButton* open_;
    LocalCopyRow* localCopy_;
};

class ErrorView : public PhaseView {
  public:
    explicit ErrorView(PanelContext& context) : context_(context) {
        auto* layout = column(this);
        layout->addWidget(makeTitle("Recording failed", this));
        message_ = new QLabel(this);
        message_->setWordWrap(true);
        message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(message_);
        retry_ = makePrimaryButton("Retry finalize", this,
                                   [this] { context_.run(context_.controller.retryFinalize()); });
        layout->addWidget(retry_);
        localCopy_ = new LocalCopyRow(context, this);
        layout->addWidget(localCopy_);
        layout->addWidget(
            makeButton("Dismiss", this, [this] { context_.controller.dismissError(); }));
        refresh();
    }
    void refresh() override {
        const SessionViewContent content = sessionViewContent(context_.state);
        message_->setText(qs(content.subtitle));
        retry_->setVisible(content.offersRetryFinalize);
        localCopy_->refresh();
    }

  private:
    PanelContext& context_;
    QLabel* message_;
    QPushButton* retry_;
    LocalCopyRow* localCopy_;
};

}  // namespace

std::unique_ptr<PhaseView> makePhaseView(MenuView view, PanelContext& context) {
    switch (view) {
        case MenuView::idle:
            return makeIdleView(context);
        case MenuView::starting:
            return std::make_unique<StartingView>(context);
        case MenuView::recording:
            return std::make_unique<RecordingView>(context);
        case MenuView::finishing:
            return std::make_unique<FinishingView>(context);
        case MenuView::done:
            return std::make_unique<DoneView>(context);
        case MenuView::error:
            return std::make_unique<ErrorView>(context);
    }
    return makeIdleView(context);
}

}  // namespace tessera::views
