#pragma once

#include "app/forwarding_user_interface.h"
#include "app/look.h"

#include <QCursor>
#include <QObject>
#include <QWidget>
#include <optional>

namespace qm::ui {

// The pointer state of one window and the look calls the engine makes on it. Each window owns
// one; it watches the mouse over the window's named controls and applies the pointer
// convention (the busy pointer is never replaced by a hover).
class WindowSupport : public QObject, public LookWindow {
    Q_OBJECT
  public:
    // windowName is "Form1", "Form2" or "Form3"; controls are looked up by object name.
    WindowSupport(QWidget* window, QString windowName);
    ~WindowSupport() override;

    PointerState pointerState() const { return state_; }
    void setPointerState(PointerState state);
    // Loads the custom (hand) pointer image from a cursor file; false when it cannot be read.
    bool loadCustomPointer(const QString& file);
    bool hasCustomPointer() const { return custom_.has_value(); }

    // Watches the mouse over the window and every descendant that has a hover role.
    void watchHovers();
    // A widget that lies between the window and its controls (a scrolled area) is part of
    // the window's own surface.
    void watchAsWindow(QWidget* surface);

    // LookWindow
    void setBackColor(std::uint32_t colour) override;
    int controlCount() const override;
    ControlKind controlKind(int index) const override;
    void setControlBackColor(int index, std::uint32_t colour) override;
    void applySkin(const std::string& styleSheet) override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QList<QWidget*> controls() const;
    void holdBusyPointer(bool hold);
    static QColor colourFor(std::uint32_t colour);

    QWidget* window_;
    QString name_;
    PointerState state_ = PointerState::Default;
    std::optional<QCursor> custom_;
    bool holdingBusy_ = false;
};

// The seam of a window's run: everything goes to the window's boxes, and the pointer also to
// the window's own pointer state, whichever boxes the window was given.
class WindowRunInterface : public ForwardingUserInterface {
  public:
    WindowRunInterface(UserInterface& inner, WindowSupport& support)
        : ForwardingUserInterface(inner), support_(support) {}
    void setPointer(PointerState state) override {
        support_.setPointerState(state);
        ForwardingUserInterface::setPointer(state);
    }

  private:
    WindowSupport& support_;
};

// Shrinks a window that would not fit the available area of its screen (a small screen or a
// large scale factor) and moves it inside that area.
void fitToScreen(QWidget& window);

// The application's own icon.
QIcon applicationIcon();
// The folder of the hand cursor file and the file itself.
QString handCursorFile();

} // namespace qm::ui
