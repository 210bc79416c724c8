#include "platform/icon_picture.h"

#include <QFile>
#include <QImageReader>
#include <QPixmap>

namespace pelorin {

TIcon::LoadResult TIcon::LoadFromFile(const std::string& fileName) {
  QFile file(QString::fromLocal8Bit(fileName.c_str()));
  if (!file.open(QIODevice::ReadOnly)) return LoadResult::CannotOpen;
  QImageReader reader(&file);
  QIcon loaded;
  do {
    const QImage image = reader.read();
    if (image.isNull()) break;
    loaded.addPixmap(QPixmap::fromImage(image));
  } while (reader.jumpToNextImage());
  if (loaded.isNull()) return LoadResult::NotAPicture;
  picture_ = loaded;
  return LoadResult::Loaded;
}

}  // namespace pelorin
