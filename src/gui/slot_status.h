#pragma once
// How the window shows a slot's link: a word for its state, a dot of its colour in
// the device list, and whether the slot is down when it should be up (the tray then
// changes its icon). Read from the live model's slot states.
#include <QIcon>
#include <QString>
#include <array>

#include "app/server_events.h"

namespace lindra::gui {

// "연결 됨", "재연결 중 (3회)", "연결 실패", "연결 중단", "연결 끊김", "사용 안 함".
QString SlotStateText(const SlotState& slot);
// Lost by itself, or a connect that failed: the operators are not being told.
bool SlotDown(const SlotState& slot);
QIcon SlotStateIcon(const SlotState& slot);
// The device list entry's tooltip: the full model name, the state and the line that
// said why, when there is one.
QString SlotToolTip(const SlotState& slot);
// Every slot with a model, a line each, under the program's name.
QString TrayToolTip(const std::array<SlotState, kSlotCount>& slots);

}  // namespace lindra::gui
