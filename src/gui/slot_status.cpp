#include "slot_status.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>

#include "gui_texts.h"
#include "model/device_model.h"
#include "text/strings.h"

namespace lindra::gui {
namespace {

QColor DotColour(const SlotState& slot) {
  if (SlotDown(slot)) return QColor(0xC8, 0x32, 0x32);
  if (slot.link.up()) return QColor(0x32, 0xA0, 0x46);
  return QColor(0xA0, 0xA0, 0xA0);
}

}  // namespace

bool SlotDown(const SlotState& slot) {
  if (slot.modelCode == 0 || !slot.inUse) return false;
  return slot.link.phase == LinkState::Phase::Retrying || slot.link.phase == LinkState::Phase::Ended ||
         (slot.link.phase == LinkState::Phase::Off && !slot.link.text.empty());
}

QString SlotStateText(const SlotState& slot) {
  if (slot.modelCode == 0 || !slot.inUse) return U(texts::kSlotNotInUse);
  switch (slot.link.phase) {
    case LinkState::Phase::Connected:
      return U(texts::kConnected);
    case LinkState::Phase::Retrying:
      return U(text::Format(texts::kSlotRetryingFormat, slot.link.attempt));
    case LinkState::Phase::Ended:
      return U(texts::kSlotEnded);
    case LinkState::Phase::Off:
      break;
  }
  return U(slot.link.text.empty() ? texts::kDisconnected : texts::kSlotStartFailed);
}

QIcon SlotStateIcon(const SlotState& slot) {
  QPixmap pixmap(12, 12);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(DotColour(slot));
  p.drawEllipse(QRectF(1, 1, 10, 10));
  return QIcon(pixmap);
}

QString SlotToolTip(const SlotState& slot) {
  QString tip = U(DeviceListText(slot.slotNo, slot.modelCode)) + QLatin1Char('\n') + SlotStateText(slot);
  if (slot.link.phase != LinkState::Phase::Connected && !slot.link.text.empty())
    tip += QLatin1Char('\n') + U(slot.link.text);
  return tip;
}

QString TrayToolTip(const std::array<SlotState, kSlotCount>& slots) {
  QString tip = U(texts::kProgramName);
  for (const SlotState& slot : slots)
    if (slot.modelCode != 0)
      tip += QLatin1Char('\n') + U(text::Format("DEV0%d", slot.slotNo)) + QStringLiteral(": ") + SlotStateText(slot);
  return tip;
}

}  // namespace lindra::gui
