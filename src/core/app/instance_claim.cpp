#include "app/instance_claim.h"

#include "platform/paths.h"

namespace lindra {

InstanceClaim ClaimInstance(const ServerOptions& options, SingleInstance& instance, std::string& problem) {
  problem.clear();
  const std::pair<const char*, const std::filesystem::path*> folders[] = {{"상태 폴더", &options.stateDir},
                                                                          {"잠금 폴더", &options.lockDir}};
  for (const auto& [what, folder] : folders) {
    if (std::string refused = PreparePrivateDirectory(*folder); !refused.empty()) {
      problem = std::string(what) + " 사용 불가: " + folder->string() + ": " + refused;
      return InstanceClaim::Unusable;
    }
  }
  std::error_code error;
  switch (instance.Acquire("Lindra2", &error)) {
    case InstanceLock::Acquired:
      return InstanceClaim::Held;
    case InstanceLock::HeldElsewhere:
      return InstanceClaim::AlreadyRunning;
    case InstanceLock::Unavailable:
      break;
  }
  problem = "실행 잠금 파일 생성 실패: " + instance.LockFile("Lindra2").string() + ": " + error.message();
  return InstanceClaim::Unusable;
}

}  // namespace lindra
