#pragma once
// What both front ends do before anything else runs: make the server's private
// folders and take the per-user single-instance lock in its fixed place.
#include <string>

#include "app/server_options.h"
#include "platform/single_instance.h"

namespace lindra {

// The text of a second start while a server runs.
inline constexpr const char* kAlreadyRunningText = "이미 프로그램이 실행 중 입니다.";

enum class InstanceClaim {
  Held,            // the folders are usable and `instance` holds the lock
  AlreadyRunning,  // kAlreadyRunningText; exit status kExitAlreadyRunning
  Unusable,        // a private folder or the lock cannot be made; exit status kExitNoPrivatePlace
};

inline constexpr int kExitAlreadyRunning = 1;
inline constexpr int kExitNoPrivatePlace = 3;

// Prepares options.stateDir and options.lockDir (mode 0700, refused when another
// user could plant files there) and acquires the lock in `instance`, which must
// have been made for options.lockDir. On Unusable, `problem` is a one-line text
// for the person who started the server.
InstanceClaim ClaimInstance(const ServerOptions& options, SingleInstance& instance, std::string& problem);

}  // namespace lindra
