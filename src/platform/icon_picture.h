// The icon picture a tray icon shows: empty, or the images of an icon file.
#pragma once

#include <QIcon>
#include <string>

#include "desktop/shell_tray.h"

namespace pelorin {

class TIcon {
 public:
  enum class LoadResult { Loaded, CannotOpen, NotAPicture };

  TIcon() = default;
  explicit TIcon(const QIcon& picture) : picture_(picture) {}

  // Reads every image of the file (an .ico holds one per size). On failure the picture keeps
  // what it showed before.
  LoadResult LoadFromFile(const std::string& fileName);

  // Copies the other picture into this one.
  void Assign(const TIcon& source) { picture_ = source.picture_; }

  bool Empty() const { return picture_.isNull(); }
  // The handle the shell takes: 0 for an empty picture. Valid while this object lives.
  os::HICON Handle() const { return Empty() ? nullptr : &picture_; }
  const QIcon& Picture() const { return picture_; }

 private:
  QIcon picture_;
};

}  // namespace pelorin
