#include "tray_icon.h"

#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "gui_texts.h"

namespace lindra::gui {

QIcon ProgramIcon(bool slotDown) {
  QIcon icon;
  for (int size : {16, 32, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1E, 0x5A, 0xA8));
    p.drawRoundedRect(QRectF(0, 0, size, size), size / 5.0, size / 5.0);
    // A handset: two ear pieces joined by a bar.
    p.setBrush(Qt::white);
    const qreal u = size / 16.0;
    p.drawRoundedRect(QRectF(3 * u, 4 * u, 10 * u, 2.5 * u), u, u);
    p.drawRoundedRect(QRectF(2 * u, 5 * u, 3.5 * u, 7 * u), u, u);
    p.drawRoundedRect(QRectF(10.5 * u, 5 * u, 3.5 * u, 7 * u), u, u);
    if (slotDown) {
      p.setBrush(QColor(0xD2, 0x1E, 0x1E));
      p.drawEllipse(QRectF(9 * u, 9 * u, 7 * u, 7 * u));
    }
    icon.addPixmap(pixmap);
  }
  return icon;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent), menu_(std::make_unique<QMenu>()) {
  show_ = menu_->addAction(QString::fromUtf8(texts::kTrayShow));
  hide_ = menu_->addAction(QString::fromUtf8(texts::kTrayHide));
  menu_->addSeparator();
  remoteSupport_ = menu_->addAction(QString::fromUtf8(texts::kTrayRemoteSupport));
  menu_->addSeparator();
  exit_ = menu_->addAction(QString::fromUtf8(texts::kTrayExit));
  connect(show_, &QAction::triggered, this, &TrayIcon::showRequested);
  connect(hide_, &QAction::triggered, this, &TrayIcon::hideRequested);
  connect(remoteSupport_, &QAction::triggered, this, &TrayIcon::remoteSupportRequested);
  connect(exit_, &QAction::triggered, this, &TrayIcon::exitRequested);

  icon_ = std::make_unique<QSystemTrayIcon>(ProgramIcon());
  icon_->setToolTip(QString::fromUtf8(texts::kProgramName));
  // The platform opens a context menu on the right button only; the activation
  // signals of the other buttons are left unconnected on purpose.
  icon_->setContextMenu(menu_.get());
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::Show() { icon_->show(); }

bool TrayIcon::shown() const { return icon_->isVisible(); }

void TrayIcon::ShowSlots(const QString& toolTip, bool slotDown) {
  icon_->setToolTip(toolTip);
  if (slotDown == slotDown_) return;
  slotDown_ = slotDown;
  icon_->setIcon(ProgramIcon(slotDown));
}

QString TrayIcon::toolTip() const { return icon_->toolTip(); }

}  // namespace lindra::gui
