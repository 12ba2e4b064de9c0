#include "views/SettingsWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/SettingsKeys.h"
#include "support/Log.h"
#include "views/PanelWidgets.h"
#include "views/SettingsRules.h"

namespace tessera::views {

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QColor qColor(const RgbaColor& c) {
    return QColor::fromRgbF(float(c.red), float(c.green), float(c.blue), float(c.alpha));
}

QVBoxLayout* tabLayout(QWidget* tab) {
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(12);
    return layout;
}

// A tab's rows in a scroll area: rows that appear (the background's detail
// rows) would otherwise squeeze the wrapped captions of a window that does
// not grow, and clip their text.
QScrollArea* scrolling(QWidget* tab) {
    auto* area = new QScrollArea;
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setWidget(tab);
    return area;
}

QLabel* sectionTitle(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// A row: its title on the left, the control on the right.
QWidget* labelledRow(QVBoxLayout* layout, const QString& title, QWidget* control) {
    auto* row = new QWidget(layout->parentWidget());
    row->setObjectName(title);
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(title, row);
    label->setBuddy(control);
    h->addWidget(label);
    h->addStretch(1);
    control->setParent(row);
    control->setAccessibleName(title);
    h->addWidget(control);
    layout->addWidget(row);
    return row;
}

}  // namespace

SettingsWindow::SettingsWindow(AppState& state, CaptureController& controller,
                               LaunchAtLogin& launchAtLogin, std::function<void()> quit)
    : state_(state),
      controller_(controller),
      launchAtLogin_(launchAtLogin),
      quit_(quit ? std::move(quit) : [] { QApplication::quit(); }),
      bridge_(state, this) {
    setWindowTitle("Tessera Recorder Settings");
    setMinimumWidth(480);
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(true);
    // In the order of SettingsCategory, so a tab's index is its category.
    tabs_->addTab(scrolling(recordingTab()), qs(tabTitle(SettingsCategory::recording)));
    tabs_->addTab(scrolling(cameraTab()), qs(tabTitle(SettingsCategory::camera)));
    tabs_->addTab(scrolling(sharingTab()), qs(tabTitle(SettingsCategory::sharing)));
    tabs_->addTab(scrolling(keysTab()), qs(tabTitle(SettingsCategory::shortcuts)));
    tabs_->addTab(scrolling(generalTab()), qs(tabTitle(SettingsCategory::general)));
    resize(520, 640);
    layout->addWidget(tabs_);
    connect(&bridge_, &StateBridge::changed, this, [this] { onStateChanged(); });
    refreshAll();
    // A request made before the window existed.
    QMetaObject::invokeMethod(
        this, [this] { onStateChanged(); }, Qt::QueuedConnection);
}

void SettingsWindow::open(std::optional<SettingsCategory> category) {
    if (category) {
        tabs_->setCurrentIndex(int(*category));
    }
    launchFailure_.reset();
    refreshAll();
    show();
    raise();
    activateWindow();
}

SettingsCategory SettingsWindow::currentCategory() const {
    return EnumCases<SettingsCategory>::values.at(std::size_t(tabs_->currentIndex()));
}

void SettingsWindow::onStateChanged() {
    if (const auto requested = state_.requestedSettingsCategory()) {
        state_.setRequestedSettingsCategory(std::nullopt);
        open(requested);
        return;
    }
    refreshRows();
}

void SettingsWindow::refreshRows() {
    for (const Refresh& refresh : refreshers_) {
        refresh();
    }
}

void SettingsWindow::refreshAll() {
    refreshRows();
    refreshLaunchAtLogin();
}

QCheckBox* SettingsWindow::toggleRow(QVBoxLayout* layout, const QString& title,
                                     const QString& caption, std::function<bool()> get,
                                     std::function<void(bool)> set) {
    auto* box = new QCheckBox(title, layout->parentWidget());
    box->setObjectName(title);
    box->setAccessibleName(title);
    layout->addWidget(box);
    if (!caption.isEmpty()) {
        auto* text = makeCaption(caption, layout->parentWidget());
        text->setContentsMargins(24, 0, 0, 0);
        layout->addWidget(text);
    }
    connect(box, &QCheckBox::toggled, this, [set = std::move(set)](bool on) { set(on); });
    refreshers_.push_back([box, get = std::move(get)] {
        const QSignalBlocker block(box);
        box->setChecked(get());
    });
    return box;
}

template <typename T>
QWidget* SettingsWindow::pickerRow(QVBoxLayout* layout, const QString& title,
                                   std::vector<std::pair<QString, T>> choices,
                                   std::function<T()> get, std::function<void(T)> set) {
    auto* combo = new QComboBox;
    for (const auto& choice : choices) {
        combo->addItem(choice.first);
    }
    QWidget* row = labelledRow(layout, title, combo);
    connect(combo, &QComboBox::activated, this, [choices, set = std::move(set)](int index) {
        if (index >= 0 && std::size_t(index) < choices.size()) {
            set(choices[std::size_t(index)].second);
        }
    });
    refreshers_.push_back([combo, choices, get = std::move(get)] {
        const QSignalBlocker block(combo);
        const T current = get();
        for (std::size_t i = 0; i < choices.size(); ++i) {
            if (choices[i].second == current) {
                combo->setCurrentIndex(int(i));
            }
        }
    });
    return row;
}

QWidget* SettingsWindow::sliderRow(QVBoxLayout* layout, const QString& title, double minimum,
                                   double maximum, double step, std::function<double()> get,
                                   std::function<void(double)> set) {
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(0, int(std::lround((maximum - minimum) / step)));
    slider->setMinimumWidth(200);
    QWidget* row = labelledRow(layout, title, slider);
    connect(slider, &QSlider::valueChanged, this,
            [=, set = std::move(set)](int value) { set(minimum + value * step); });
    refreshers_.push_back([=, get = std::move(get)] {
        const QSignalBlocker block(slider);
        slider->setValue(int(std::lround((get() - minimum) / step)));
    });
    return row;
}

QWidget* SettingsWindow::fileRow(QVBoxLayout* layout, const QString& title,
                                 std::function<std::optional<std::string>()> get,
                                 std::function<void(std::optional<std::string>)> set) {
    auto* control = new QWidget;
    auto* h = new QHBoxLayout(control);
    h->setContentsMargins(0, 0, 0, 0);
    auto* name = new QLabel(control);
    auto* choose = new QPushButton("Choose…", control);
    auto* clear = new QPushButton("Clear", control);
    h->addWidget(name);
    h->addWidget(choose);
    h->addWidget(clear);
    QWidget* row = labelledRow(layout, title, control);
    connect(choose, &QPushButton::clicked, this, [this, title, set] {
        const QString path = QFileDialog::getOpenFileName(
            this, title, QString(), "Images (*.png *.jpg *.jpeg *.webp *.bmp *.gif *.tif *.tiff)");
        if (!path.isEmpty()) {
            set(path.toStdString());
        }
    });
    connect(clear, &QPushButton::clicked, this, [set] { set(std::nullopt); });
    refreshers_.push_back([name, clear, get = std::move(get)] {
        const auto path = get();
        name->setText(QString::fromStdString(fileRowText(path)));
        name->setToolTip(QString::fromStdString(path.value_or("")));
        clear->setEnabled(path.has_value());
    });
    return row;
}

template <typename T>
QWidget* SettingsWindow::swatchRow(QVBoxLayout* layout, const QString& title,
                                   std::vector<std::pair<QColor, T>> choices,
                                   std::function<T()> get, std::function<void(T)> set) {
    auto* control = new QWidget;
    auto* h = new QHBoxLayout(control);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(6);
    std::vector<QToolButton*> buttons;
    for (const auto& [colour, value] : choices) {
        auto* swatch = new QToolButton(control);
        swatch->setFixedSize(24, 24);
        // The check mark is drawn in a colour that stands out on the swatch.
        const QColor mark = colour.lightnessF() > 0.6 ? Qt::black : Qt::white;
        swatch->setStyleSheet(
            QString("QToolButton { background: %1; border: 1px solid palette(mid);"
                    " border-radius: 12px; color: %2; font-weight: bold; }")
                .arg(colour.name(), mark.name()));
        connect(swatch, &QToolButton::clicked, this, [set, value = value] { set(value); });
        h->addWidget(swatch);
        buttons.push_back(swatch);
    }
    QWidget* row = labelledRow(layout, title, control);
    refreshers_.push_back([buttons, choices, get = std::move(get)] {
        const T current = get();
        for (std::size_t i = 0; i < choices.size(); ++i) {
            buttons[i]->setText(choices[i].second == current ? "✓" : "");
        }
    });
    return row;
}

QWidget* SettingsWindow::recordingTab() {
    auto* tab = new QWidget;
    auto* layout = tabLayout(tab);
    AppState& s = state_;
    std::vector<std::pair<QString, VideoQuality>> qualities;
    for (VideoQuality q : EnumCases<VideoQuality>::values) {
        qualities.emplace_back(qs(qualityLabel(q)), q);
    }
    pickerRow<VideoQuality>(
        layout, "Quality", qualities, [&s] { return s.videoQuality(); },
        [&s](VideoQuality q) { s.setVideoQuality(q); });
    std::vector<std::pair<QString, int>> rates;
    for (int rate : AppState::frameRates) {
        rates.emplace_back(QString::fromStdString(frameRateLabel(rate)), rate);
    }
    pickerRow<int>(
        layout, "Frame rate", rates, [&s] { return s.frameRate(); },
        [&s](int rate) { s.setFrameRate(rate); });
    toggleRow(
        layout, "Show cursor", {}, [&s] { return s.showCursor(); },
        [&s](bool on) { s.setShowCursor(on); });
    toggleRow(
        layout, "Highlight clicks", {}, [&s] { return s.highlightClicks(); },
        [&s](bool on) { s.setHighlightClicks(on); });
    toggleRow(
        layout, "Record system audio", {}, [&s] { return s.systemAudioEnabled(); },
        [&s](bool on) { s.setSystemAudioEnabled(on); });
    toggleRow(
        layout, "Countdown before recording", {}, [&s] { return s.countdownEnabled(); },
        [&s](bool on) { s.setCountdownEnabled(on); });
    std::vector<std::pair<QString, int>> lengths;
    for (int seconds : AppState::countdownDurations) {
        lengths.emplace_back(QString::fromStdString(countdownLabel(seconds)), seconds);
    }
    pickerRow<int>(
        layout, "Countdown length", lengths, [&s] { return s.countdownDuration(); },
        [&s](int seconds) { s.setCountdownDuration(seconds); });
    std::vector<std::pair<QString, StripVisibility>> toolbar;
    for (StripVisibility v : EnumCases<StripVisibility>::values) {
        toolbar.emplace_back(qs(toolbarLabel(v)), v);
    }
    pickerRow<StripVisibility>(
        layout, "Toolbar", toolbar, [&s] { return s.stripVisibility(); },
        [this](StripVisibility v) {
            state_.setStripVisibility(v);
            controller_.showControlPanel();
        });
    layout->addWidget(makeCaption(
        "The floating toolbar: \"In video\" records it into the video, \"Only you\" keeps it off "
        "the recording, \"Off\" hides it entirely. Applies from the next recording.",
        tab));
    layout->addStretch(1);
    return tab;
}

QWidget* SettingsWindow::cameraTab() {
    auto* tab = new QWidget;
    auto* layout = tabLayout(tab);
    AppState& s = state_;
    // The mirror is applied when the camera preview opens: the controller
    // reopens an idle preview for a new device, and that picks it up too.
    toggleRow(
        layout, "Mirror camera", {}, [&s] { return s.cameraMirrored(); },
        [this](bool on) {
            state_.setCameraMirrored(on);
            controller_.cameraDeviceChanged();
        });
    toggleRow(
        layout, "Keep my face centered",
        "Follows your face so it stays centered and evenly sized as you move — in the bubble "
        "and in the recording.",
        [&s] { return s.cameraKeepFaceCentered(); },
        [&s](bool on) { s.setCameraKeepFaceCentered(on); });
    toggleRow(
        layout, "Auto lighting",
        "Continuously corrects exposure and lifts shadows so you stay well lit in dim rooms or "
        "against bright windows.",
        [&s] { return s.cameraAutoLighting(); }, [&s](bool on) { s.setCameraAutoLighting(on); });
    sliderRow(
        layout, "Smooth my face", 0, 1, 0.05, [&s] { return s.cameraFaceSmoothing(); },
        [&s](double v) { s.setCameraFaceSmoothing(v); });
    sliderRow(
        layout, "Bubble size", 120, 560, 4, [&s] { return s.cameraBubbleSize(); },
        [&s](double v) { s.setCameraBubbleSize(v); });

    layout->addWidget(sectionTitle("Background", tab));
    std::vector<std::pair<QString, CameraBackgroundMode>> styles;
    for (CameraBackgroundMode mode : EnumCases<CameraBackgroundMode>::values) {
        styles.emplace_back(qs(backgroundStyleLabel(mode)), mode);
    }
    pickerRow<CameraBackgroundMode>(
        layout, "Style", styles, [&s] { return s.cameraBackground(); },
        [&s](CameraBackgroundMode mode) { s.setCameraBackground(mode); });
    QWidget* blur = sliderRow(
        layout, "Blur", 0, 1, 0.05, [&s] { return s.cameraBlurStrength(); },
        [&s](double v) { s.setCameraBlurStrength(v); });
    std::vector<std::pair<QColor, CameraBackgroundColor>> backgrounds;
    for (CameraBackgroundColor c : EnumCases<CameraBackgroundColor>::values) {
        backgrounds.emplace_back(qColor(color(c)), c);
    }
    QWidget* colour = swatchRow<CameraBackgroundColor>(
        layout, "Color", backgrounds, [&s] { return s.cameraBackgroundColor(); },
        [&s](CameraBackgroundColor c) { s.setCameraBackgroundColor(c); });
    QWidget* image = fileRow(
        layout, "Image", [&s] { return s.cameraBackgroundImagePath(); },
        [&s](std::optional<std::string> path) { s.setCameraBackgroundImagePath(std::move(path)); });
    refreshers_.push_back([&s, blur, colour, image] {
        const BackgroundRows rows = backgroundRows(s.cameraBackground());
        blur->setVisible(rows.blur);
        colour->setVisible(rows.color);
        image->setVisible(rows.image);
    });

    layout->addWidget(sectionTitle("Profile Picture", tab));
    fileRow(
        layout, "Picture", [&s] { return s.cameraProfileImagePath(); },
        [&s](std::optional<std::string> path) { s.setCameraProfileImagePath(std::move(path)); });
    toggleRow(
        layout, "Show instead of camera",
        "Replaces the live camera in the bubble AND the recording.",
        [&s] { return s.cameraShowProfile(); }, [&s](bool on) { s.setCameraShowProfile(on); });

    std::vector<std::pair<QColor, PenColor>> pens;
    for (PenColor pen : EnumCases<PenColor>::values) {
        pens.emplace_back(qColor(strokeColor(pen)), pen);
    }
    swatchRow<PenColor>(
        layout, "Pen color", pens, [&s] { return s.penColor(); },
        [&s](PenColor pen) { s.setPenColor(pen); });
    layout->addStretch(1);
    return tab;
}

QWidget* SettingsWindow::sharingTab() {
    auto* tab = new QWidget;
    auto* layout = tabLayout(tab);
    AppState& s = state_;
    toggleRow(
        layout, "Copy link automatically", {}, [&s] { return s.autoCopyLink(); },
        [&s](bool on) { s.setAutoCopyLink(on); });
    toggleRow(
        layout, "Open share page in browser", {}, [&s] { return s.openShareInBrowser(); },
        [&s](bool on) { s.setOpenShareInBrowser(on); });
    // The controller asks for permission before it turns this on, so the box
    // follows the state rather than the click.
    QCheckBox* notify = toggleRow(
        layout, "Notify when ready", {}, [&s] { return s.notifyWhenReady(); },
        [this](bool on) { controller_.setNotifyWhenReady(on); });
    connect(notify, &QCheckBox::toggled, this, [this, notify] {
        QMetaObject::invokeMethod(
            this,
            [this, notify] {
                const QSignalBlocker block(notify);
                notify->setChecked(state_.notifyWhenReady());
            },
            Qt::QueuedConnection);
    });
    toggleRow(
        layout, "Keep a local copy of every recording",
        "A copy is always kept when part of a recording did not reach the server.",
        [&s] { return s.keepLocalCopy(); }, [&s](bool on) { s.setKeepLocalCopy(on); });
    layout->addStretch(1);
    return tab;
}

QWidget* SettingsWindow::keysTab() {
    auto* tab = new QWidget;
    auto* layout = tabLayout(tab);
    AppState& s = state_;
    toggleRow(
        layout, "Start / stop with Shift+Super+2", {}, [&s] { return s.hotkeyEnabled(); },
        [this](bool on) {
            state_.setHotkeyEnabled(on);
            controller_.applyHotkeySetting();
        });
    toggleRow(
        layout, "Pause / resume with Shift+Super+1", {}, [&s] { return s.pauseHotkeyEnabled(); },
        [this](bool on) {
            state_.setPauseHotkeyEnabled(on);
            controller_.applyPauseHotkeySetting();
        });
    layout->addWidget(makeCaption("Work anywhere, even when Tessera isn't focused.", tab));
    layout->addStretch(1);
    return tab;
}

QWidget* SettingsWindow::launchAtLoginRow(QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    launchToggle_ = new QCheckBox("Launch at login", row);
    launchToggle_->setObjectName("Launch at login");
    launchToggle_->setAccessibleName("Launch at login");
    connect(launchToggle_, &QCheckBox::toggled, this, [this](bool on) { changeLaunchAtLogin(on); });
    approvalLine_ = makeCaption({}, row);
    approvalButton_ = makeButton("Open Login Items Settings…", row,
                                 [this] { launchAtLogin_.openLoginItemsSettings(); });
    launchError_ = new QLabel(row);
    launchError_->setWordWrap(true);
    QPalette colours = launchError_->palette();
    colours.setColor(QPalette::WindowText, QColor(200, 40, 40));
    launchError_->setPalette(colours);
    layout->addWidget(launchToggle_);
    layout->addWidget(approvalLine_);
    layout->addWidget(approvalButton_, 0, Qt::AlignLeft);
    layout->addWidget(launchError_);
    return row;
}

void SettingsWindow::changeLaunchAtLogin(bool on) {
    try {
        launchAtLogin_.setEnabled(on);
        launchFailure_.reset();
    } catch (const std::exception& failure) {
        launchFailure_ = failure.what();
        logging::handled("settings", "changing launch at login", std::current_exception());
    }
    refreshLaunchAtLogin();
}

void SettingsWindow::refreshLaunchAtLogin() {
    const LaunchAtLoginRow row = views::launchAtLoginRow(launchAtLogin_.status(), launchFailure_);
    {
        const QSignalBlocker block(launchToggle_);
        launchToggle_->setChecked(row.checked);
    }
    approvalLine_->setVisible(row.approvalLine.has_value());
    approvalLine_->setText(QString::fromStdString(row.approvalLine.value_or("")));
    approvalButton_->setVisible(row.approvalLine.has_value());
    launchError_->setVisible(row.errorLine.has_value());
    launchError_->setText(QString::fromStdString(row.errorLine.value_or("")));
}

QWidget* SettingsWindow::generalTab() {
    auto* tab = new QWidget;
    auto* layout = tabLayout(tab);
    layout->addWidget(launchAtLoginRow(tab));

    auto* url = new QLineEdit;
    url->setPlaceholderText(qs(AppState::kDefaultServerBaseURL));
    url->setMinimumWidth(240);
    labelledRow(layout, "Server URL", url);
    layout->addWidget(makeCaption(
        "Base URL of the Tessera web app — recordings upload there and share links point at it.",
        tab));
    connect(url, &QLineEdit::editingFinished, this, [this, url] {
        const std::string text = url->text().trimmed().toStdString();
        // An emptied field goes back to the default server.
        if (text.empty()) {
            state_.settingsStore().remove(settings_keys::kServerBaseURL);
        } else {
            state_.settingsStore().set(settings_keys::kServerBaseURL, text);
        }
    });
    refreshers_.push_back([this, url] {
        if (url->hasFocus()) {
            return;
        }
        const auto stored = state_.settingsStore().get(settings_keys::kServerBaseURL);
        url->setText(stored && stored->is_string()
                         ? QString::fromStdString(stored->get<std::string>())
                         : QString());
    });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(makeButton("Restart app", tab, [this] { state_.relaunch(); }));
    buttons->addWidget(makeButton("Quit Tessera", tab, [this] { quit_(); }));
    buttons->addStretch(1);
    layout->addLayout(buttons);
    layout->addStretch(1);
    return tab;
}

}  // namespace tessera::views
