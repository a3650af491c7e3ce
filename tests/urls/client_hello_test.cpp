#include "urls/client_hello.h"

#include <gtest/gtest.h>

#include "tests/capture/frame_builder.h"

namespace qv {
namespace {

using test::ClientHelloRecord;

HelloResult Read(const std::string& bytes, std::string& name) {
  return ReadTlsClientHello(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), name);
}

TEST(ClientHello, NameFromWholeRecordAndNeedMoreForEveryPrefix) {
  for (std::size_t padding : {0u, 1800u}) {
    const std::string record = ClientHelloRecord("cdn.example.com", padding);
    std::string name;
    ASSERT_EQ(Read(record, name), HelloResult::ServerName);
    EXPECT_EQ(name, "cdn.example.com");
    // Any prefix short of the name asks for more; none is refused.
    const std::size_t nameEnd = record.find("cdn.example.com") + 15;
    for (std::size_t n = 0; n < nameEnd; ++n) {
      std::string got;
      ASSERT_EQ(Read(record.substr(0, n), got), HelloResult::NeedMore) << n;
    }
  }
}

TEST(ClientHello, MessageSplitOverTwoRecords) {
  const std::string record = ClientHelloRecord("split.example", 300);
  const std::string message = record.substr(5);
  auto rec = [](const std::string& fragment) {
    return std::string("\x16\x03\x03", 3) + static_cast<char>(fragment.size() >> 8) + static_cast<char>(fragment.size()) +
           fragment;
  };
  const std::string two = rec(message.substr(0, 100)) + rec(message.substr(100));
  std::string name;
  EXPECT_EQ(Read(two.substr(0, 200), name), HelloResult::NeedMore);
  ASSERT_EQ(Read(two, name), HelloResult::ServerName);
  EXPECT_EQ(name, "split.example");
}

TEST(ClientHello, RefusedAndNamelessHellos) {
  std::string name;
  EXPECT_EQ(Read(ClientHelloRecord(""), name), HelloResult::NoServerName);
  for (const char* bad : {"a b.example", "x\xC4\xE3.example", "evil\r\nHost:", ".example", "---"})
    EXPECT_EQ(Read(ClientHelloRecord(bad), name), HelloResult::NoServerName) << bad;
  EXPECT_EQ(Read(ClientHelloRecord(std::string(254, 'a')), name), HelloResult::NoServerName);
  EXPECT_EQ(Read(ClientHelloRecord(std::string(253, 'a')), name), HelloResult::ServerName);

  std::string serverHello = ClientHelloRecord("x.example");
  serverHello[5] = 0x02;
  std::string alert = ClientHelloRecord("x.example");
  alert[0] = 0x15;
  std::string lying = ClientHelloRecord("x.example");  // the extensions claim more than the message holds
  const std::size_t ext = lying.find("x.example") - 11;
  lying[ext] = '\x7F';
  for (const std::string& s : {serverHello, alert, lying, std::string("GET / HTTP/1.1\r\n")})
    EXPECT_EQ(Read(s, name), HelloResult::NotClientHello);
}

}  // namespace
}  // namespace qv
