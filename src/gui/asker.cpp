#include "asker.h"

#include <QMessageBox>

namespace lindra::gui {

namespace {
const QString kTitle = QStringLiteral("Lindra2");
}

void MessageBoxAsker::Inform(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, kTitle, text, QMessageBox::Ok);
}

bool MessageBoxAsker::Confirm(QWidget* parent, const QString& text, Buttons buttons) {
  if (buttons == Buttons::OkCancel) {
    return QMessageBox::question(parent, kTitle, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
           QMessageBox::Ok;
  }
  return QMessageBox::question(parent, kTitle, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

}  // namespace lindra::gui
