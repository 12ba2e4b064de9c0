// The panel's view between sessions: what to record, with which devices, the
// start button and the footer.

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "views/PanelViews.h"
#include "views/PanelWidgets.h"

namespace tessera::views {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// A button that opens a menu rebuilt from the state each time it opens.
QPushButton* makePicker(QWidget* parent, const QString& accessibleName,
                        std::function<void(QMenu&)> fill) {
    auto* button = new QPushButton(parent);
    button->setAccessibleName(accessibleName);
    button->setToolTip(accessibleName);
    button->setStyleSheet("text-align: left; padding: 4px 8px;");
    auto* menu = new QMenu(button);
    QObject::connect(menu, &QMenu::aboutToShow, menu, [menu, fill = std::move(fill)] {
        menu->clear();
        fill(*menu);
    });
    button->setMenu(menu);
    return button;
}

QAction* addChoice(QMenu& menu, const QString& text, bool checked, std::function<void()> choose) {
    QAction* action = menu.addAction(text);
    action->setCheckable(true);
    action->setChecked(checked);
    QObject::connect(action, &QAction::triggered, &menu,
                     [choose = std::move(choose)] { choose(); });
    return action;
}

// An on/off button and a device picker.
struct DeviceRow {
    QToolButton* toggle;
    QPushButton* picker;
};

class IdleView : public PhaseView {
  public:
    explicit IdleView(PanelContext& context) : context_(context) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(12);
        layout->addLayout(header());

        permission_ = permissionView();
        layout->addWidget(permission_);
        choices_ = new QWidget(this);
        auto* choices = new QVBoxLayout(choices_);
        choices->setContentsMargins(0, 0, 0, 0);
        choices->setSpacing(8);
        choices->addLayout(modeSwitch());
        target_ =
            makePicker(choices_, "Choose what to record", [this](QMenu& m) { fillTargets(m); });
        choices->addWidget(target_);
        camera_ = deviceRow(choices, "camera");
        microphone_ = deviceRow(choices, "microphone");
        level_ = new LevelBar(choices_);
        choices->addWidget(level_);
        layout->addWidget(choices_);

        layout->addLayout(startSection());
        layout->addLayout(footer());
        layout->addWidget(notesSection());
        appear();
        refresh();
    }

    void refresh() override {
        AppState& state = context_.state;
        const bool permitted = state.hasScreenPermission();
        permission_->setVisible(!permitted);
        choices_->setVisible(permitted);
        const QString help = qs(serverStatusHelp(state.serverReachable(), baseURLText()));
        serverDot_->setToolTip(help);
        serverDot_->setAccessibleName(help);
        serverDot_->setColor(state.serverReachable() == std::nullopt ? QColor(142, 142, 147)
                             : *state.serverReachable()              ? QColor(52, 199, 89)
                                                                     : QColor(255, 149, 0));
        displayMode_->setChecked(state.captureMode() == CaptureMode::display);
        windowMode_->setChecked(state.captureMode() == CaptureMode::window);
        target_->setText(qs(screenTitle(state)));

        const auto defaultName = [](const auto& hook) {
            return hook ? hook() : std::optional<std::string>();
        };
        refreshDevice(
            camera_, state.cameraEnabled(), "camera",
            deviceTitle(state.selectedCameraID(), state.cameras(),
                        defaultName(context_.ports.defaultCameraName), kDefaultCameraTitle));
        refreshDevice(microphone_, state.micEnabled(), "microphone",
                      deviceTitle(state.selectedMicID(), state.microphones(),
                                  defaultName(context_.ports.defaultMicrophoneName),
                                  kDefaultMicrophoneTitle));
        level_->setVisible(state.micEnabled());
        if (context_.ports.micMeter) {
            level_->setLevel(context_.ports.micMeter->level());
        }

        start_->setEnabled(canStart(state));
        const auto warning = serverWarning(state);
        warning_->setVisible(warning.has_value());
        warning_->setText("⚠ " + qs(warning.value_or("")));
        caption_->setText(qs(startCaption(state.hotkeyEnabled())));

        const bool hasNotes = !state.recordingNotes().empty();
        notesButton_->setText(hasNotes ? "Notes •" : "Notes");
        if (notesEdit_->toPlainText().toStdString() != state.recordingNotes()) {
            notesEdit_->setPlainText(qs(state.recordingNotes()));
        }
    }

  private:
    // What the view does each time it appears.
    void appear() {
        AppState& state = context_.state;
        const MainPanelPorts& ports = context_.ports;
        if (ports.screenPermission) {
            state.setHasScreenPermission(ports.screenPermission->preflight());
        }
        if (ports.refreshDevices) {
            ports.refreshDevices();
        }
        if (ports.refreshWindows) {
            context_.run(ports.refreshWindows());
        }
        context_.controller.syncMicMeter();
    }

    std::string baseURLText() const {
        const auto base = context_.state.serverBaseURL();
        return base ? base->toString() : std::string(AppState::kDefaultServerBaseURL);
    }

    QHBoxLayout* header() {
        auto* row = new QHBoxLayout;
        serverDot_ = new Dot(Qt::gray, this);
        row->addWidget(makeTitle("Tessera Recorder", this), 1);
        row->addWidget(serverDot_);
        auto* close = new QToolButton(this);
        close->setText("✕");
        close->setAutoRaise(true);
        close->setToolTip("Close — exits recording mode");
        close->setAccessibleName("Close — exits recording mode");
        connect(close, &QToolButton::clicked, this,
                [this] { context_.controller.exitRecordingMode(); });
        row->addWidget(close);
        return row;
    }

    QWidget* permissionView() {
        auto* view = new QWidget(this);
        auto* layout = new QVBoxLayout(view);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(makeTitle("Screen Recording permission needed", view));
        layout->addWidget(makeCaption(
            "Enable Tessera Recorder under System Settings → Privacy & Security → Screen & "
            "System Audio Recording, then relaunch — the grant only takes effect after "
            "relaunch.",
            view));
        auto* buttons = new QHBoxLayout;
        buttons->addWidget(makeButton("Request Access", view, [this] {
            if (context_.ports.screenPermission) {
                context_.ports.screenPermission->request();
            }
        }));
        // The desktop has no settings page for screen capture: access follows
        // from opening the display, so "Open Settings" has nothing to open here.
        auto* settings = makeButton("Open Settings", view, [] {});
        settings->setEnabled(false);
        buttons->addWidget(settings);
        buttons->addWidget(makeButton("Relaunch", view, [this] { context_.state.relaunch(); }));
        layout->addLayout(buttons);
        return view;
    }

    QHBoxLayout* modeSwitch() {
        auto* row = new QHBoxLayout;
        row->setSpacing(0);
        auto* group = new QButtonGroup(this);
        const auto makeMode = [&](const QString& text, const QString& help, CaptureMode mode) {
            auto* button = new QPushButton(text, choices_);
            button->setCheckable(true);
            button->setToolTip(help);
            button->setAccessibleName(help);
            group->addButton(button);
            row->addWidget(button);
            connect(button, &QPushButton::clicked, this, [this, mode] {
                context_.state.setCaptureMode(mode);
                context_.controller.captureTargetChanged();
            });
            return button;
        };
        displayMode_ = makeMode("Display", "Record a display", CaptureMode::display);
        windowMode_ = makeMode("Window", "Record a single window", CaptureMode::window);
        return row;
    }

    void fillTargets(QMenu& menu) {
        AppState& state = context_.state;
        if (state.captureMode() == CaptureMode::display) {
            for (const DisplayOption& display : state.displays()) {
                const std::uint32_t id = display.id;
                addChoice(menu, qs(display.name), id == state.selectedDisplayID(), [this, id] {
                    context_.state.setSelectedDisplayID(id);
                    context_.controller.captureTargetChanged();
                });
            }
            return;
        }
        if (const auto notice = windowListNotice(state)) {
            menu.addAction(qs(*notice))->setEnabled(false);
            return;
        }
        for (const WindowOption& window : state.windows()) {
            const std::uint32_t id = window.id;
            addChoice(menu, qs(window.displayName()), state.selectedWindowID() == id, [this, id] {
                context_.state.setSelectedWindowID(id);
                context_.controller.captureTargetChanged();
            });
        }
    }

    DeviceRow deviceRow(QVBoxLayout* column, const std::string& device) {
        const bool camera = device == "camera";
        auto* row = new QHBoxLayout;
        auto* toggle = new QToolButton(choices_);
        toggle->setCheckable(true);
        toggle->setText(camera ? "Camera" : "Mic");
        toggle->setMinimumWidth(64);
        connect(toggle, &QToolButton::clicked, this, [this, camera](bool on) {
            if (camera) {
                context_.controller.setCameraEnabled(on);
            } else {
                context_.state.setMicEnabled(on);
                context_.controller.syncMicMeter();
            }
        });
        auto* picker = makePicker(choices_, camera ? "Choose camera" : "Choose microphone",
                                  [this, camera](QMenu& menu) { fillDevices(menu, camera); });
        row->addWidget(toggle);
        row->addWidget(picker, 1);
        column->addLayout(row);
        return {toggle, picker};
    }

    void fillDevices(QMenu& menu, bool camera) {
        AppState& state = context_.state;
        const auto& devices = camera ? state.cameras() : state.microphones();
        const std::string& selected = camera ? state.selectedCameraID() : state.selectedMicID();
        for (const CaptureDeviceOption& device : devices) {
            addChoice(menu, qs(device.name), device.id == selected, [this, camera, id = device.id] {
                if (camera) {
                    context_.state.setSelectedCameraID(id);
                    context_.controller.cameraDeviceChanged();
                } else {
                    context_.state.setSelectedMicID(id);
                    context_.controller.syncMicMeter();
                }
            });
        }
        if (devices.empty()) {
            menu.addAction(camera ? "No cameras found" : "No microphones found")->setEnabled(false);
        }
    }

    static void refreshDevice(const DeviceRow& row, bool on, const std::string& device,
                              const std::string& title) {
        row.toggle->setChecked(on);
        const QString name = qs((on ? "Turn " + device + " off" : "Turn " + device + " on"));
        row.toggle->setToolTip(name);
        row.toggle->setAccessibleName(name);
        row.picker->setText(qs(title));
        row.picker->setEnabled(on);
    }

    QVBoxLayout* startSection() {
        auto* section = new QVBoxLayout;
        section->setSpacing(4);
        start_ =
            makePrimaryButton("Start recording", this, [this] { context_.controller.start(); });
        warning_ = new QLabel(this);
        warning_->setWordWrap(true);
        QPalette warningColours = warning_->palette();
        warningColours.setColor(QPalette::WindowText, QColor(200, 110, 0));
        warning_->setPalette(warningColours);
        caption_ = makeCaption({}, this);
        caption_->setAlignment(Qt::AlignHCenter);
        section->addWidget(start_);
        section->addWidget(warning_);
        section->addWidget(caption_);
        return section;
    }

    QHBoxLayout* footer() {
        auto* row = new QHBoxLayout;
        row->addWidget(makeButton("Library", this, [this] { context_.controller.openLibrary(); }));
        notesButton_ = makeButton("Notes", this, [this] {
            notes_->setVisible(!notes_->isVisible());
            if (notes_->isVisible()) {
                notesEdit_->setFocus();
            }
        });
        notesButton_->setAccessibleName("Notes");
        notesButton_->setToolTip("Notes for your next recording — shown on its share page");
        row->addWidget(notesButton_);
        row->addWidget(makeButton("Settings", this, [this] {
            if (context_.ports.openSettings) {
                context_.ports.openSettings();
            }
        }));
        return row;
    }

    QWidget* notesSection() {
        notes_ = new QWidget(this);
        auto* layout = new QVBoxLayout(notes_);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* heading = new QHBoxLayout;
        heading->addWidget(makeTitle("Notes", notes_), 1);
        heading->addWidget(
            makeButton("Clear", notes_, [this] { context_.state.setRecordingNotes({}); }));
        layout->addLayout(heading);
        notesEdit_ = new QPlainTextEdit(notes_);
        notesEdit_->setAccessibleName("Notes");
        notesEdit_->setFixedHeight(notesEdit_->fontMetrics().lineSpacing() * 5 + 12);
        connect(notesEdit_, &QPlainTextEdit::textChanged, this, [this] {
            const std::string text = notesEdit_->toPlainText().toStdString();
            if (text != context_.state.recordingNotes()) {
                context_.state.setRecordingNotes(text);
            }
        });
        layout->addWidget(notesEdit_);
        layout->addWidget(makeCaption(
            "Attached to your next recording and shown under the video on its share page.",
            notes_));
        notes_->setVisible(false);
        return notes_;
    }

    PanelContext& context_;
    Dot* serverDot_ = nullptr;
    QWidget* permission_ = nullptr;
    QWidget* choices_ = nullptr;
    QPushButton* displayMode_ = nullptr;
    QPushButton* windowMode_ = nullptr;
    QPushButton* target_ = nullptr;
    DeviceRow camera_{};
    DeviceRow microphone_{};
    LevelBar* level_ = nullptr;
    QPushButton* start_ = nullptr;
    QLabel* warning_ = nullptr;
    QLabel* caption_ = nullptr;
    QPushButton* notesButton_ = nullptr;
    QWidget* notes_ = nullptr;
    QPlainTextEdit* notesEdit_ = nullptr;
};

}  // namespace

std::unique_ptr<PhaseView> makeIdleView(PanelContext& context) {
    return std::make_unique<IdleView>(context);
}

}  // namespace tessera::views
