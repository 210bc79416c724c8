// The services a test swaps for fakes, gathered in one set per layer instead of a setter per
// service: the os layer's OsSeams (os/msgbox.h) and the desktop's DesktopSeams
// (desktop/desktop_seams.h). Each set names services of its own layer only, so no layer
// includes one above it. The start-up installs the real services once; a test fixture installs
// its fakes with a ScopedSeams, which puts the previous set back when it goes.
#pragma once

#include <concepts>
#include <utility>

namespace os {

// Each layer defines these two for its own set. Both may be called from any thread.
template <typename Seams>
Seams InstalledSeams();
template <typename Seams>
void InstallSeams(Seams seams);

// Installs `seams` for its life, then the set that was installed before. Nested installers
// must end in the reverse order of their start, as scoped objects do.
template <typename Seams>
class ScopedSeams {
 public:
  explicit ScopedSeams(Seams seams) : previous_(InstalledSeams<Seams>()) {
    InstallSeams<Seams>(std::move(seams));
  }
  // Installs the set installed now as `change` edits it: a fake for one service, the rest kept.
  template <typename Change>
  requires std::invocable<Change&, Seams&>
  explicit ScopedSeams(Change change) : previous_(InstalledSeams<Seams>()) {
    Seams seams = previous_;
    change(seams);
    InstallSeams<Seams>(std::move(seams));
  }
  ~ScopedSeams() { InstallSeams<Seams>(std::move(previous_)); }
  ScopedSeams(const ScopedSeams&) = delete;
  ScopedSeams& operator=(const ScopedSeams&) = delete;

 private:
  Seams previous_;
};

}  // namespace os
