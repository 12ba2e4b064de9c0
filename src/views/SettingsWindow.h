#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "capture/CaptureController.h"
#include "platform/LaunchAtLogin.h"
#include "views/StateBridge.h"

class QTabWidget;
class QVBoxLayout;
class QCheckBox;
class QLabel;
class QPushButton;

namespace tessera::views {

// The settings window: five tabs whose rows are bound to the state, so a
// change applies and is stored at once; a few rows also tell the controller.
// It opens by itself, on the asked tab, when the state carries a request to
// open the settings (requestedSettingsCategory), and clears that request.
//
// Main thread. The state, the controller and the login item port must
// outlive it.
class SettingsWindow : public QWidget {
  public:
    // `quit` ends the application ("Quit Tessera"); by default the Qt
    // application's quit().
    SettingsWindow(AppState& state, CaptureController& controller, LaunchAtLogin& launchAtLogin,
                   std::function<void()> quit = {});

    // Shows the window (on `category` when given) and reads the login item's
    // status again.
    void open(std::optional<SettingsCategory> category = std::nullopt);
    SettingsCategory currentCategory() const;
    QTabWidget& tabs() { return *tabs_; }

  private:
    using Refresh = std::function<void()>;

    void onStateChanged();
    // The rows bound to the state; the login item's status is read only when
    // the window opens and after a change, not on every change of the state.
    void refreshRows();
    void refreshAll();
    QWidget* recordingTab();
    QWidget* cameraTab();
    QWidget* sharingTab();
    QWidget* keysTab();
    QWidget* generalTab();
    QWidget* launchAtLoginRow(QWidget* parent);
    void refreshLaunchAtLogin();
    void changeLaunchAtLogin(bool on);

    // Row builders; each registers how its control follows the state.
    QCheckBox* toggleRow(QVBoxLayout* layout, const QString& title, const QString& caption,
                         std::function<bool()> get, std::function<void(bool)> set);
    template <typename T>
    QWidget* pickerRow(QVBoxLayout* layout, const QString& title,
                       std::vector<std::pair<QString, T>> choices, std::function<T()> get,
                       std::function<void(T)> set);
    QWidget* sliderRow(QVBoxLayout* layout, const QString& title, double minimum, double maximum,
                       double step, std::function<double()> get, std::function<void(double)> set);
    QWidget* fileRow(QVBoxLayout* layout, const QString& title,
                     std::function<std::optional<std::string>()> get,
                     std::function<void(std::optional<std::string>)> set);
    template <typename T>
    QWidget* swatchRow(QVBoxLayout* layout, const QString& title,
                       std::vector<std::pair<QColor, T>> choices, std::function<T()> get,
                       std::function<void(T)> set);

    AppState& state_;
    CaptureController& controller_;
    LaunchAtLogin& launchAtLogin_;
    std::function<void()> quit_;
    StateBridge bridge_;
    QTabWidget* tabs_;
    std::vector<Refresh> refreshers_;
    std::optional<std::string> launchFailure_;
    QCheckBox* launchToggle_ = nullptr;
    QLabel* approvalLine_ = nullptr;
    QPushButton* approvalButton_ = nullptr;
    QLabel* launchError_ = nullptr;
};

}  // namespace tessera::views
