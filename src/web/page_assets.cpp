#include "web/page_assets.h"

namespace lindra::web {

const PageAsset* FindPageAsset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (const PageAsset& asset : PageAssets())
    if (asset.path == path) return &asset;
  return nullptr;
}

}  // namespace lindra::web
