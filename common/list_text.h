// Matching and ordering the texts of list rows as the lists hold them: GBK bytes, or UTF-8 for an
// address that is UTF-8 text (the window shows such an address from UTF-8). Used by the window's
// quick filter and column sorting, on the raw bytes, so that neither converts a row to show it.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// What the quick filter looks for: the typed text in both spellings a row can hold. Letters A-Z match
// either case; a double-byte GBK character matches only itself, never across a character boundary.
class TextNeedle {
 public:
  TextNeedle() = default;
  // `gbk`: the text in GBK, or nothing when GBK cannot spell it (then no GBK row can hold it).
  TextNeedle(std::optional<std::string> gbk, std::string utf8);

  bool Empty() const { return utf8_.empty(); }
  // True when `text` (GBK, or UTF-8 when it is UTF-8 text with a character beyond ASCII) holds the
  // needle. An empty needle is in every text.
  bool In(std::string_view text) const;

 private:
  bool InGbk(std::string_view text) const;

  bool gbkValid_ = false;
  std::string gbk_;            // lower-cased outside double-byte characters
  std::vector<bool> gbkFold_;  // per byte of gbk_: an ASCII byte, compared ignoring case
  std::string utf8_;           // lower-cased ASCII letters
};

// Orders two cells for sorting: two cells of decimal digits alone by their value (the length column
// of packet rows), anything else byte by byte with the ASCII letters folded, then by the exact bytes.
// Negative, zero or positive, as memcmp.
int CompareListText(std::string_view a, std::string_view b);

}  // namespace qv
