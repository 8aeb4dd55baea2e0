#pragma once
// Message boxes go through one small interface so that tests can read every text
// the window shows and answer its questions.
#include <QString>

class QWidget;

namespace lindra::gui {

// GUI thread only.
class Asker {
 public:
  enum class Buttons { OkCancel, YesNo };
  virtual ~Asker() = default;
  // A message with an OK button.
  virtual void Inform(QWidget* parent, const QString& text) = 0;
  // A question; true for OK or Yes.
  virtual bool Confirm(QWidget* parent, const QString& text, Buttons buttons) = 0;
};

// Real message boxes, titled like the program.
class MessageBoxAsker final : public Asker {
 public:
  void Inform(QWidget* parent, const QString& text) override;
  bool Confirm(QWidget* parent, const QString& text, Buttons buttons) override;
};

}  // namespace lindra::gui
