// The tray icon's picture loaded from real files.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <string>

#include "platform/icon_picture.h"

namespace pelorin {
namespace {

class IconPictureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

  std::string Path(const char* name) const { return dir_.filePath(name).toStdString(); }

  std::string WriteIcon(const char* name, int size, Qt::GlobalColor color) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(color);
    QImageWriter writer(QString::fromStdString(Path(name)), "ico");
    EXPECT_TRUE(writer.write(image))
        << "writing a test icon: " << writer.errorString().toStdString();
    return Path(name);
  }

  std::string WriteBytes(const char* name, const QByteArray& bytes) {
    QFile file(QString::fromStdString(Path(name)));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return Path(name);
  }

  QTemporaryDir dir_;
};

TEST_F(IconPictureTest, NewPictureIsEmptyWithHandleZero) {
  const TIcon picture;
  EXPECT_TRUE(picture.Empty());
  EXPECT_EQ(picture.Handle(), nullptr);
}

TEST_F(IconPictureTest, LoadsAnIconFile) {
  TIcon picture;
  ASSERT_EQ(picture.LoadFromFile(WriteIcon("skelmar32.ico", 32, Qt::blue)),
            TIcon::LoadResult::Loaded);
  EXPECT_FALSE(picture.Empty());
  ASSERT_NE(picture.Handle(), nullptr);
  EXPECT_EQ(picture.Handle(), &picture.Picture());
  EXPECT_TRUE(picture.Picture().availableSizes().contains(QSize(32, 32)));
  const QImage shown = picture.Picture().pixmap(32, 32).toImage();
  EXPECT_EQ(shown.pixelColor(16, 16), QColor(Qt::blue));
}

TEST_F(IconPictureTest, FailedLoadsKeepThePreviousPicture) {
  TIcon picture;
  ASSERT_EQ(picture.LoadFromFile(WriteIcon("good.ico", 16, Qt::green)), TIcon::LoadResult::Loaded);
  const qint64 loaded = picture.Picture().cacheKey();

  struct Case {
    const char* what;
    std::string path;
    TIcon::LoadResult result;
  };
  const Case cases[] = {
      {"missing file", Path("missing.ico"), TIcon::LoadResult::CannotOpen},
      {"directory", dir_.path().toStdString(), TIcon::LoadResult::CannotOpen},
      {"empty file", WriteBytes("empty.ico", {}), TIcon::LoadResult::NotAPicture},
      {"text", WriteBytes("text.ico", "not a picture at all\r\n"), TIcon::LoadResult::NotAPicture},
      {"cut icon header", WriteBytes("cut.ico", QByteArray("\0\0\1\0\1\0", 6)),
       TIcon::LoadResult::NotAPicture},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(picture.LoadFromFile(c.path), c.result) << c.what;
    EXPECT_EQ(picture.Picture().cacheKey(), loaded) << c.what;
  }
}

TEST_F(IconPictureTest, AssignCopiesAndLeavesTheSourceAlone) {
  TIcon source;
  ASSERT_EQ(source.LoadFromFile(WriteIcon("a.ico", 16, Qt::red)), TIcon::LoadResult::Loaded);
  TIcon copy;
  copy.Assign(source);
  EXPECT_FALSE(copy.Empty());
  EXPECT_NE(copy.Handle(), source.Handle()) << "each picture has its own handle";

  ASSERT_EQ(source.LoadFromFile(WriteIcon("b.ico", 16, Qt::yellow)), TIcon::LoadResult::Loaded);
  EXPECT_EQ(copy.Picture().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));

  copy.Assign(TIcon());
  EXPECT_TRUE(copy.Empty());
  EXPECT_EQ(copy.Handle(), nullptr);
}

}  // namespace
}  // namespace pelorin
