// The list file is replaced only by a save that completes: a failure part-way keeps the old list.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>

#include "app/ui/list_file.h"

namespace qv {
namespace {

QByteArray Bytes(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Put(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(bytes);
}

class ListFileTest : public ::testing::Test {
 protected:
  QTemporaryDir dir_;
  QString path_ = dir_.path() + QStringLiteral("/List.txt");
  QStringList Names() const { return QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden); }
};

TEST_F(ListFileTest, SavesAppendsAndOverwritesWhole) {
  {
    ListFile f;
    f.Open(path_, ListFile::Mode::Create);
    f.WriteLine("http://a/1.mp3");
    f.WriteLine("http://b/\xC4\xE3.flv");
    f.Close();
  }
  EXPECT_EQ(Bytes(path_), QByteArray("http://a/1.mp3\r\nhttp://b/\xC4\xE3.flv\r\n"));
  {
    ListFile f;
    f.Open(path_, ListFile::Mode::Append);
    f.WriteLine("http://c/2.jpg");
    f.Close();
  }
  EXPECT_EQ(Bytes(path_), QByteArray("http://a/1.mp3\r\nhttp://b/\xC4\xE3.flv\r\nhttp://c/2.jpg\r\n"));
  {
    ListFile f;
    f.Open(path_, ListFile::Mode::Overwrite);
    f.Close();
  }
  EXPECT_EQ(Bytes(path_), QByteArray());
  EXPECT_EQ(Names(), QStringList{QStringLiteral("List.txt")});
}

TEST_F(ListFileTest, SaveThatStopsPartWayKeepsTheOldList) {
  const QByteArray old = "http://old/1.mp3\r\nhttp://old/2.mp3\r\n";
  for (ListFile::Mode mode : {ListFile::Mode::Overwrite, ListFile::Mode::Append}) {
    Put(path_, old);
    {
      // An error raised between lines (the command is abandoned): the list file is untouched.
      ListFile f;
      f.Open(path_, mode);
      f.WriteLine("http://new/1.mp3");
    }
    EXPECT_EQ(Bytes(path_), old);
    EXPECT_EQ(Names(), QStringList{QStringLiteral("List.txt")});
  }

  // The disk fills up during the save (every write past 100 bytes refused).
  rlimit oldLimit{};
  getrlimit(RLIMIT_FSIZE, &oldLimit);
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit lim = oldLimit;
  lim.rlim_cur = 100;
  setrlimit(RLIMIT_FSIZE, &lim);
  bool failed = false;
  try {
    ListFile f;
    f.Open(path_, ListFile::Mode::Overwrite);
    for (int i = 0; i < 50; ++i) f.WriteLine("http://new/a-rather-long-address-that-fills-the-disk.mp3");
    f.Close();
  } catch (const std::runtime_error& e) {
    failed = true;
    EXPECT_NE(std::string(e.what()).find("List.txt"), std::string::npos) << e.what();
  }
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(failed);
  EXPECT_EQ(Bytes(path_), old);
  EXPECT_EQ(Names(), QStringList{QStringLiteral("List.txt")});
}

TEST_F(ListFileTest, AppendTakesAFileUpToTheLimitAndRefusesOneByteMore) {
  // Sparse files at the limit and one byte over it: the first is opened for appending, the second
  // refused with the reason; neither is changed.
  for (const qint64 size : {qint64(ListFile::kMaxAppendedListBytes), qint64(ListFile::kMaxAppendedListBytes) + 1}) {
    {
      QFile f(path_);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      ASSERT_TRUE(f.resize(size));
    }
    const bool over = size > qint64(ListFile::kMaxAppendedListBytes);
    try {
      ListFile f;
      f.Open(path_, ListFile::Mode::Append);
      EXPECT_FALSE(over) << "a list file over the limit was opened for appending";
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(over) << e.what();
      EXPECT_NE(std::string(e.what()).find("larger than"), std::string::npos) << e.what();
    }
    EXPECT_EQ(QFileInfo(path_).size(), size);
    EXPECT_EQ(Names(), QStringList{QStringLiteral("List.txt")});
  }
}

}  // namespace
}  // namespace qv
