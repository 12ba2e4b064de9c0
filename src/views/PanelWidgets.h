#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

namespace tessera::views {

// Small building blocks shared by the panel's views. Colours come from the
// palette, except the recording red and the warning colour.

QLabel* makeTitle(const QString& text, QWidget* parent);
QLabel* makeCaption(const QString& text, QWidget* parent);
// A push button showing `text` as written (an "&" is not a mnemonic), with
// that text as its accessible name; calls `action`.
QPushButton* makeButton(const QString& text, QWidget* parent, std::function<void()> action);
// The panel's main action: a taller, default button.
QPushButton* makePrimaryButton(const QString& text, QWidget* parent, std::function<void()> action);

// A horizontal bar showing a level between 0 and 1.
class LevelBar : public QWidget {
  public:
    explicit LevelBar(QWidget* parent);
    void setLevel(double level);
    double level() const { return level_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    double level_ = 0;
};

// A round dot; pulses (fades in and out) while `pulsing`.
class Dot : public QWidget {
  public:
    Dot(QColor color, QWidget* parent);
    void setColor(QColor color);
    void setPulsing(bool pulsing);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QColor color_;
    QTimer pulse_;
    bool dim_ = false;
};

// A copy button: after a click it reads "Copied" with a check mark for a
// moment, then its own label again.
class CopyButton : public QPushButton {
  public:
    CopyButton(const QString& label, QWidget* parent, std::function<void()> copy);

  private:
    QString label_;
    QTimer restore_;
};

}  // namespace tessera::views
