#pragma once

#include <QWidget>
#include <functional>

namespace tessera {

// The small pill with three dots under the camera bubble. Hovering it or
// pressing it calls onActivate (which opens the bubble menu); a press on it
// never starts a drag of the bubble.
class BubbleDotsButton final : public QWidget {
  public:
    explicit BubbleDotsButton(QWidget* parent = nullptr);

    std::function<void()> onActivate;
    bool hovered() const { return hovered_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void activate();

    bool hovered_ = false;
};

}  // namespace tessera
