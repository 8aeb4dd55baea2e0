#include "asker.h"

#include <QAbstractButton>
#include <QMessageBox>

#include "gui_texts.h"

namespace lindra::gui {

namespace {

const QString kTitle = QStringLiteral("Lindra2");

// The buttons are named here rather than by Qt's translations, so they read Korean
// whatever the machine's locale and installed translations are.
int Ask(QWidget* parent, QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons,
        QMessageBox::StandardButton defaultButton) {
  static constexpr std::pair<QMessageBox::StandardButton, const char*> kCaptions[] = {
      {QMessageBox::Ok, texts::kOkCaption},
      {QMessageBox::Cancel, texts::kCancelCaption},
      {QMessageBox::Yes, texts::kYesCaption},
      {QMessageBox::No, texts::kNoCaption},
  };
  QMessageBox box(icon, kTitle, text, buttons, parent);
  for (const auto& [button, caption] : kCaptions) {
    if (QAbstractButton* shown = box.button(button)) shown->setText(QString::fromUtf8(caption));
  }
  box.setDefaultButton(defaultButton);
  return box.exec();
}

}  // namespace

void MessageBoxAsker::Inform(QWidget* parent, const QString& text) {
  Ask(parent, QMessageBox::Information, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool MessageBoxAsker::Confirm(QWidget* parent, const QString& text, Buttons buttons) {
  if (buttons == Buttons::OkCancel) {
    return Ask(parent, QMessageBox::Question, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
           QMessageBox::Ok;
  }
  return Ask(parent, QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
         QMessageBox::Yes;
}

}  // namespace lindra::gui
