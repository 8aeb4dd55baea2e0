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

// The program icon, drawn rather than loaded so that no resource file can be missing.
QIcon ProgramIcon();

// GUI thread only.
class TrayIcon final : public QObject {
  Q_OBJECT
 public:
  explicit TrayIcon(QObject* parent);
  ~TrayIcon() override;
  void Show();
  bool shown() const;

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
};

}  // namespace lindra::gui
