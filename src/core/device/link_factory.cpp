#include "device/link_factory.h"

#include "device/lan_link.h"

namespace lindra {

std::unique_ptr<Link> MakeLink(LinkKind kind, const LinkContext& context) {
  switch (kind) {
    case LinkKind::Serial:
      return std::make_unique<SerialLink>(context.strand, context.timers, context.serialPaths);
    case LinkKind::Lan:
      return std::make_unique<LanLink>(context.strand, context.timers);
    case LinkKind::Cti:
      return std::make_unique<CtiListener>(context.loop, context.strand, context.timers, context.clock,
                                           context.ctiLimits);
    case LinkKind::None:
      break;
  }
  return nullptr;
}

}  // namespace lindra
