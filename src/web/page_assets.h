#pragma once
// The console's page, compiled into the program: nothing to install beside it.
#include <span>
#include <string_view>

namespace lindra::web {

struct PageAsset {
  std::string_view path;  // "/index.html", "/console.js"
  std::string_view contentType;
  std::string_view bytes;
};

// Every file of the page (made at build time from src/web/page).
std::span<const PageAsset> PageAssets();

// The file served at `path` ("/" is the index page), or nullptr.
const PageAsset* FindPageAsset(std::string_view path);

}  // namespace lindra::web
