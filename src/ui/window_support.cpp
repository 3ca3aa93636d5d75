#include "ui/window_support.h"

#include "app/common.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QRadioButton>
#include <QScreen>
#include <QTreeView>

namespace qm::ui {

namespace {
// A scroll area's viewport answers the mouse for its area; it carries the area's name here.
constexpr const char* kHoverName = "qmHoverName";
} // namespace

WindowSupport::WindowSupport(QWidget* window, QString windowName)
    : QObject(window), window_(window), name_(std::move(windowName)) {}

WindowSupport::~WindowSupport() {
    holdBusyPointer(false);
}

void WindowSupport::holdBusyPointer(bool hold) {
    if (hold == holdingBusy_)
        return;
    holdingBusy_ = hold;
    // A window that takes no input during a run is disabled, and Qt clears the pointer of a
    // disabled window; the application-wide pointer stays whatever the window's state.
    if (hold)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void WindowSupport::setPointerState(PointerState state) {
    state_ = state;
    holdBusyPointer(state == PointerState::Busy);
    switch (state) {
    case PointerState::Busy:
        window_->setCursor(Qt::WaitCursor);
        break;
    case PointerState::Custom:
        // Without the cursor file the custom state shows the default arrow.
        if (custom_)
            window_->setCursor(*custom_);
        else
            window_->unsetCursor();
        break;
    case PointerState::Default:
        window_->unsetCursor();
        break;
    }
}

bool WindowSupport::loadCustomPointer(const QString& file) {
    QImageReader reader(file);
    QImage image = reader.read();
    if (image.isNull())
        return false;
    // The hand's fingertip is the hot spot: the cursor file says so only in a header that the
    // image reader does not hand over, and our own file puts it there.
    custom_ = QCursor(QPixmap::fromImage(image), 7, 0);
    return true;
}

void WindowSupport::watchHovers() {
    window_->setMouseTracking(true);
    window_->installEventFilter(this);
    for (QWidget* w : window_->findChildren<QWidget*>()) {
        if (w->objectName().isEmpty())
            continue;
        if (hoverRole(name_.toStdString(), w->objectName().toStdString()) == HoverRole::None)
            continue;
        w->setMouseTracking(true);
        w->installEventFilter(this);
        // The mouse over a list moves over its viewport and header, never over the list
        // widget itself.
        if (auto* area = qobject_cast<QAbstractScrollArea*>(w)) {
            QList<QWidget*> parts{area->viewport()};
            if (auto* view = qobject_cast<QTreeView*>(w))
                parts << view->header() << view->header()->viewport();
            for (QWidget* part : parts) {
                part->setProperty(kHoverName, w->objectName());
                part->setMouseTracking(true);
                part->installEventFilter(this);
            }
        }
    }
}

void WindowSupport::watchAsWindow(QWidget* surface) {
    surface->setProperty(kHoverName, name_);
    surface->setMouseTracking(true);
    surface->installEventFilter(this);
}

bool WindowSupport::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        // A move that a child did not take travels on to its parents; only the widget
        // directly under the pointer has the say, as each control had its own handler.
        auto* widget = static_cast<QWidget*>(watched);
        auto* move = static_cast<QMouseEvent*>(event);
        if (widget->childAt(move->position().toPoint()))
            return QObject::eventFilter(watched, event);
        QString control = watched == window_ ? name_ : watched->objectName();
        if (QVariant borrowed = watched->property(kHoverName); borrowed.isValid())
            control = borrowed.toString();
        HoverRole role = hoverRole(name_.toStdString(), control.toStdString());
        PointerState next = pointerAfterHover(state_, role);
        if (next != state_ || role != HoverRole::None)
            setPointerState(next);
    }
    return QObject::eventFilter(watched, event);
}

QColor WindowSupport::colourFor(std::uint32_t colour) {
    if (colour == kButtonFace)
        return QPalette().color(QPalette::Button);
    return QColor::fromRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

QList<QWidget*> WindowSupport::controls() const {
    return window_->findChildren<QWidget*>(QString(), Qt::FindChildrenRecursively);
}

void WindowSupport::setBackColor(std::uint32_t colour) {
    QPalette p = window_->palette();
    p.setColor(QPalette::Window, colourFor(colour));
    window_->setPalette(p);
    window_->setAutoFillBackground(true);
}

int WindowSupport::controlCount() const {
    return static_cast<int>(controls().size());
}

ControlKind WindowSupport::controlKind(int index) const {
    QWidget* w = controls().value(index);
    if (qobject_cast<QRadioButton*>(w))
        return ControlKind::OptionButton;
    if (qobject_cast<QCheckBox*>(w))
        return ControlKind::CheckBox;
    if (qobject_cast<QGroupBox*>(w))
        return ControlKind::Frame;
    if (qobject_cast<QLabel*>(w))
        return ControlKind::Label;
    return ControlKind::Other;
}

void WindowSupport::setControlBackColor(int index, std::uint32_t colour) {
    QWidget* w = controls().value(index);
    if (!w)
        return;
    QPalette p = w->palette();
    p.setColor(QPalette::Window, colourFor(colour));
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void WindowSupport::applySkin(const std::string& styleSheet) {
    window_->setStyleSheet(QString::fromStdString(styleSheet));
}

void fitToScreen(QWidget& window) {
    QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect area = screen->availableGeometry();
    // Room for the frame the window manager adds around the window.
    QSize room = area.size() - QSize(16, 48);
    QSize size = window.size().boundedTo(room).expandedTo(window.minimumSizeHint().boundedTo(room));
    window.resize(size);
    QRect frame(window.pos(), size);
    if (!area.contains(frame))
        window.move(area.topLeft() + QPoint(std::max(0, (area.width() - size.width()) / 2),
                                            std::max(0, (area.height() - size.height()) / 2)));
}

QIcon applicationIcon() {
    return QIcon(QStringLiteral(":/quillmend.ico"));
}

QString handCursorFile() {
    return QString::fromStdString(applicationFolder()) + QStringLiteral("/HAND-M.CUR");
}

} // namespace qm::ui
