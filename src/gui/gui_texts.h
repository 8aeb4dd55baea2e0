#pragma once
// The window's own texts, one place each (UTF-8). Texts that the core also uses
// (the delete question, "파일 저장 실패") come from the core's headers.
#include <QString>
#include <string>

namespace lindra::gui {

// A UTF-8 text, of this file or of the core, as Qt's string.
inline QString U(const char* utf8) { return QString::fromUtf8(utf8); }
inline QString U(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace lindra::gui

namespace lindra::gui::texts {

inline constexpr const char* kProgramName = "Lindra2";
inline constexpr const char* kExitQuestion = "프로그램을 종료 합니다.";

// Message box buttons.
inline constexpr const char* kOkCaption = "확인";
inline constexpr const char* kCancelCaption = "취소";
inline constexpr const char* kYesCaption = "예";
inline constexpr const char* kNoCaption = "아니요";

// Tray menu.
inline constexpr const char* kTrayShow = "보기";
inline constexpr const char* kTrayHide = "감추기";
inline constexpr const char* kTrayRemoteSupport = "원격지원";
inline constexpr const char* kTrayExit = "종료";

// Main form.
inline constexpr const char* kSetupButton = "설정";
inline constexpr const char* kConnectButton = "연결";
inline constexpr const char* kDisconnectButton = "끊기";
inline constexpr const char* kStatusEmpty = "연결상태:";
inline constexpr const char* kStatusFormat = "연결상태: DEV%01d - %s";
inline constexpr const char* kConnected = "연결 됨";
inline constexpr const char* kDisconnected = "연결 끊김";
// A slot's link as the device list, its tooltip and the tray show it.
inline constexpr const char* kSlotRetryingFormat = "재연결 중 (%d회)";
inline constexpr const char* kSlotStartFailed = "연결 실패";
inline constexpr const char* kSlotEnded = "연결 중단";
inline constexpr const char* kSlotNotInUse = "사용 안 함";
inline constexpr const char* kMessageLogButton = "로그";
inline constexpr const char* kMessageLogTitle = "메시지 로그";
inline constexpr const char* kCallGroupFormat = "%s 수신확인";
inline constexpr const char* kDidGroupFormat = "%s KeyNumber";
inline constexpr const char* kAgentGroupFormat = "%s ExtNumber";
inline constexpr const char* kNoDeviceSelected = "DEVICE가 선택되지 않았습니다.";
inline constexpr const char* kDidTableButton = "국선 대표전화";
inline constexpr const char* kAgentTableButton = "내선 상담원IP";
inline constexpr const char* kTrunkLabel = "국선 :";
inline constexpr const char* kDidLabel = "대표전화 :";
inline constexpr const char* kExtensionLabel = "내선:";
inline constexpr const char* kAgentIpLabel = "상담원IP:";
inline constexpr const char* kAddButton = "추가";
inline constexpr const char* kDeleteButton = "삭제";
inline constexpr const char* kModifyButton = "수정";
inline constexpr const char* kMessageLogLineFormat = "[%03d]%s";

// Grid headers (column 0 first).
inline constexpr const char* kCallHeaders[] = {" ",        "국선",      "내선", "대표전화", "상담원확인번호",
                                               "고객전화", "수신 시간", "구분"};
inline constexpr const char* kDidHeaders[] = {" ", "국선", "대표전화"};
inline constexpr const char* kAgentHeaders[] = {" ", "내선", "상담원 IP"};

// Device setup dialog.
inline constexpr const char* kSetupTitle = "Device Setup";
inline constexpr const char* kUseCheck = "사용";
inline constexpr const char* kAddressLabel = "IP/URL";
inline constexpr const char* kPortLabel = "PORT:";
inline constexpr const char* kBaudLabel = "BAUDRATE:";
inline constexpr const char* kDeviceGroup = "장비 설정";
inline constexpr const char* kProgramGroup = "프로그램 기본 설정";
inline constexpr const char* kAreaCodeLabel = "지역번호:";
inline constexpr const char* kProgPortLabel = "전송 포트:";
inline constexpr const char* kOkButton = "확 인";
inline constexpr const char* kCancelButton = "취 소";
inline constexpr const char* kChooseModel = "교환기를 선택 해 주세요.";

}  // namespace lindra::gui::texts
