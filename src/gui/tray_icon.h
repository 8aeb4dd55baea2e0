#pragma once
// The program's icon in the notification area with its menu. Only the right button
// opens the menu; a left or double click does nothing.
#include <QIcon>
#include <QObject>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace lindra::gui {

// The program icon, drawn rather than loaded so that no resource file can be missing;
// with a red mark while a slot is down.
QIcon ProgramIcon(bool slotDown = false);

// GUI thread only.
class TrayIcon final : public QObject {
  Q_OBJECT
 public:
  explicit TrayIcon(QObject* parent);
  ~TrayIcon() override;
  void Show();
  bool shown() const;
  // The slots' states as the tooltip lists them; the icon marks a slot that is down.
  void ShowSlots(const QString& toolTip, bool slotDown);
  QString toolTip() const;
  bool markedDown() const { return slotDown_; }

  QMenu& menu() { return *menu_; }
  QAction& showAction() { return *show_; }
  QAction& hideAction() { return *hide_; }
  QAction& remoteSupportAction() { return *remoteSupport_; }
  QAction& exitAction() { return *exit_; }

 Q_SIGNALS:
  void showRequested();
  void hideRequested();
  void remoteSupportRequested();
  void exitRequested();

 private:
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;  // goes before the menu it refers to
  QAction* show_ = nullptr;
  QAction* hide_ = nullptr;
  QAction* remoteSupport_ = nullptr;
  QAction* exit_ = nullptr;
  bool slotDown_ = false;
};

}  // namespace lindra::gui
