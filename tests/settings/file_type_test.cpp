#include "urls/file_type.h"

#include <gtest/gtest.h>

#include <string>

#include "common/texts.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"

namespace qv {
namespace {

FileTypeSnapshot Table(bool undefinedTypes) {
  return FileTypeSnapshot()
      .WithEntry(0, ".rm", true)
      .WithEntry(0, ".asf", false)
      .WithEntry(1, ".mp3", true)
      .WithEntry(2, ".JPG", true)
      .WithEntry(3, ".php", true)
      .WithEntry(3, ".tar", true)
      .WithEntry(4, ".gz", true)
      .WithEntry(4, ".example", true)
      .WithUndefinedTypes(undefinedTypes);
}

TEST(FileType, ClassifiesByExtensionThenSchemeThenUndefinedSwitch) {
  const std::string_view none;
  const std::string_view undef = texts::kCatUndefined;
  const std::string_view av = texts::kCatAudioVideo;
  const struct {
    std::string address;
    std::string_view withUndefined;
    std::string_view withoutUndefined;
  } cases[] = {
      {"http://h.example/a/Song.MP3", texts::kCatAudio, texts::kCatAudio},
      // Only the last path segment counts, and only up to the first "?".
      {"http://h.example/view.php?file=x.jpg", texts::kCatText, texts::kCatText},
      {"http://h.example/x.jpg?v=1.mp3/y", texts::kCatPicture, texts::kCatPicture},  // stored as .JPG
      {"http://h.example/dir.mp3/file", undef, none},
      {"http://h.example/a.mp3 HTTP/1.1", undef, none},  // tail /1.1, extension .1
      {"http://h.example", texts::kCatCustom, texts::kCatCustom},  // tail /h.example
      {"http://h.example/archive.tar.gz", texts::kCatCustom, texts::kCatCustom},
      {"http://h.example/file.", undef, none},
      {"http://h.example/a.mp3;jsessionid=1", texts::kCatAudio, texts::kCatAudio},
      {"http://h.example/a.mp3%20x", texts::kCatAudio, texts::kCatAudio},
      {"http://h.example/a.mp3 \t", texts::kCatAudio, texts::kCatAudio},
      {"http://h.example/a. mp3", undef, none},  // extension "."
      {"http://h.example/a.mp3x", undef, none},
      {"", undef, none},
      // A "/" that is the trail byte of a double-byte character is not a path separator.
      {"http://h.example/a.mp3\xD5/b", texts::kCatAudio, texts::kCatAudio},
      // Streaming schemes, when the extension is unknown or missing.
      {"rtsp://m.example/live", av, av},
      {"RTSP://m.example/live.xyz", av, av},
      {"mms://m.example/x", av, av},
      {"mmst://m.example/x", av, av},
      {"mmsu://m.example/x", av, av},
      {"rtsp:live", av, av},
      {"mmsh://m.example/x", undef, none},
      {"rtspx://m.example/x", undef, none},
      {"http://h.example/rtsp://x", undef, none},
      // A known extension wins over the scheme, checked or not.
      {"rtsp://m.example/live.rm", texts::kCatVideo, texts::kCatVideo},
      {"mms://m.example/live.asf", none, none},
  };
  const FileTypeSnapshot on = Table(true);
  const FileTypeSnapshot off = Table(false);
  for (const auto& c : cases) {
    EXPECT_EQ(FileType(c.address, on), c.withUndefined) << c.address;
    EXPECT_EQ(FileType(c.address, off), c.withoutUndefined) << c.address;
  }
}

TEST(FileType, UncheckingAnEntryStopsItsAddresses) {
  const FileTypeSnapshot t = Table(true);
  const auto mp3 = t.FindChild(".mp3");
  ASSERT_TRUE(mp3);
  EXPECT_EQ(FileType("http://h.example/a.mp3", t.WithChecked(*mp3, false)), "");
  EXPECT_EQ(FileType("http://h.example/a.mp3", t), texts::kCatAudio);
}

TEST(FileType, ShippedTableClassifiesCommonAddresses) {
  const FileTypeSnapshot t = LoadFileTypes(SettingsStore(QUELVAR_SOURCE_DIR "/data/setting.ini"));
  EXPECT_EQ(FileType("http://h.example/a/Song.MP3", t), texts::kCatAudio);
  EXPECT_EQ(FileType("http://h.example/index.html", t), "");
  EXPECT_EQ(FileType("rtsp://m.example/live", t), texts::kCatAudioVideo);
  EXPECT_EQ(FileType("http://h.example/", t), texts::kCatUndefined);
}

}  // namespace
}  // namespace qv
