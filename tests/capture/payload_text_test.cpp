#include "capture/payload_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace qv {
namespace {

std::string Reference(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b == 0) out += "\xA5\xFE";
    else out += static_cast<char>(b);
  }
  return out;
}

// Both conversions (the dispatching one and the baseline) against a byte-by-byte reference, for
// every length around the 16- and 32-byte blocks and zero bytes from none to all. Input and output
// are heap blocks of exactly the allowed size, so a sanitizer build catches any read or write past them.
TEST(PayloadTextTest, ConversionsAgreeWithByteByByteReference) {
  std::mt19937 rng(7);
  for (int zeroEvery : {0, 40, 5, 1}) {
    for (std::size_t n = 0; n <= 140; ++n) {
      std::vector<std::uint8_t> bytes(n);
      for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng() % 255 + 1);
        if (zeroEvery && rng() % zeroEvery == 0) b = 0;
      }
      const std::string expected = Reference(bytes);
      for (auto convert : {&WritePayloadText, &WritePayloadTextBaseline}) {
        auto out = std::make_unique<char[]>(2 * n + kPayloadTextSlack);
        const std::size_t len = convert(out.get(), bytes.data(), n);
        ASSERT_EQ(std::string(out.get(), len), expected) << "n=" << n << " zeroEvery=" << zeroEvery;
      }
      std::string appended = "head";
      AppendPayloadText(appended, bytes.data(), n);
      ASSERT_EQ(appended, "head" + expected);
      // A kept text holds about its own size, not twice the payload.
      ASSERT_LE(appended.capacity(), std::max<std::size_t>(15, 4 + expected.size() + kPayloadTextSlack));
    }
  }
}

TEST(PayloadTextTest, BufferKeepsItsTextWhenMovedAndGrows) {
  const std::vector<std::uint8_t> small{'a', 0, 'b'};
  PayloadTextBuffer first;
  const std::string_view view = first.Assign(small.data(), small.size());
  EXPECT_EQ(view, "a\xA5\xFE" "b");
  PayloadTextBuffer second = std::move(first);
  EXPECT_EQ(view, "a\xA5\xFE" "b") << "the bytes stay where they were";
  EXPECT_EQ(second.View().data(), view.data());
  // The moved-from buffer is empty and usable again, and any buffer grows as needed.
  EXPECT_TRUE(first.View().empty());  // NOLINT(bugprone-use-after-move)
  const std::vector<std::uint8_t> big(5000, 'x');
  EXPECT_EQ(first.Assign(big.data(), big.size()), std::string(5000, 'x'));
  EXPECT_EQ(second.Assign(big.data(), big.size()).size(), 5000u);
}

}  // namespace
}  // namespace qv
