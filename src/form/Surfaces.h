#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

// The window's client area: its colour, its background picture, mouse movement over the bare surface, and the
// tooltips of the labels lying on it.
class ClientArea : public QWidget {
    Q_OBJECT
  public:
    explicit ClientArea(QWidget* parent = nullptr);
    void setPicture(const QPixmap& picture) { picture_ = picture; }

  signals:
    void mouseMoved();

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    QPixmap picture_;
};

// The wait panel: a frame with a caption, reporting mouse movement over itself.
class WaitPanel : public QGroupBox {
    Q_OBJECT
  public:
    explicit WaitPanel(QWidget* parent = nullptr);
    using QGroupBox::initStyleOption;

  signals:
    void mouseMoved();

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
};

// The wait panel's backdrop picture; the panel's frame and caption stay drawn over it.
class Backdrop : public QLabel {
    Q_OBJECT
  public:
    explicit Backdrop(WaitPanel* panel);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    WaitPanel* panel_;
};
