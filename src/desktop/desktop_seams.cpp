#include "desktop/desktop_seams.h"

#include <mutex>

namespace os {
namespace {

std::mutex g_seamsMutex;
DesktopSeams g_seams;

}  // namespace

template <>
DesktopSeams InstalledSeams<DesktopSeams>() {
  std::lock_guard lock(g_seamsMutex);
  return g_seams;
}

template <>
void InstallSeams<DesktopSeams>(DesktopSeams seams) {
  std::lock_guard lock(g_seamsMutex);
  g_seams = std::move(seams);
}

}  // namespace os
