#include "app/update/update_check.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/bytes.h"
#include "settings/app_settings.h"

namespace qv::update {

namespace {

// A decimal number as digits without leading or trailing zeros and the power of ten of the last
// digit: 1.50 is {"15", -1}; zero is {"", 0} with no sign.
struct Decimal {
  bool negative = false;
  std::string digits;
  long exponent = 0;
  bool operator==(const Decimal&) const = default;
};

// Exponents far beyond any version number are refused rather than risking an overflow.
constexpr long kMaxExponent = 100000;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void Refuse(std::string_view text) {
  throw ConversionError("'" + std::string(text) + "' is not a valid floating point value");
}

Decimal ParseDecimal(std::string_view original) {
  const std::string_view text = TrimView(original);
  Decimal d;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    d.negative = text[i] == '-';
    ++i;
  }
  std::string digits;
  long fraction = 0;  // digits after the decimal point
  bool point = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      digits += text[i];
      if (point) ++fraction;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits.empty()) Refuse(original);
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      negativeExponent = text[i] == '-';
      ++i;
    }
    if (i == text.size() || !IsDigit(text[i])) Refuse(original);
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > kMaxExponent) Refuse(original);
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (i != text.size()) Refuse(original);

  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return Decimal{};  // zero, whatever its sign
  const std::size_t last = digits.find_last_not_of('0');
  d.digits = digits.substr(first, last - first + 1);
  d.exponent = exponent - fraction + static_cast<long>(digits.size() - 1 - last);
  return d;
}

// Deletes the file when it goes out of scope, however the check ends.
class RemoveOnExit {
 public:
  explicit RemoveOnExit(std::string path) : path_(std::move(path)) {}
  ~RemoveOnExit() { ::unlink(path_.c_str()); }
  RemoveOnExit(const RemoveOnExit&) = delete;
  RemoveOnExit& operator=(const RemoveOnExit&) = delete;

 private:
  std::string path_;
};

}  // namespace

std::string ServerBase(std::string_view base) {
  std::string out(base);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

std::string UpdateInfoUrl(std::string_view base) { return ServerBase(base) + std::string(kInfoPath); }

bool SameVersion(std::string_view installed, std::string_view offered) {
  // The offered version is read and converted first, as the check reads it first.
  const Decimal b = ParseDecimal(offered);
  const Decimal a = ParseDecimal(installed);
  return a == b;
}

Result UPdata(const Downloader& download, const std::string& programFolder, const SettingsStore& settings,
              std::string_view base) {
  std::string path = programFolder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += kInfoFileName;
  RemoveOnExit cleanup(path);

  bool fetched = false;
  try {
    fetched = download && download(UpdateInfoUrl(base), path);
  } catch (...) {
    fetched = false;
  }
  if (!fetched) return Result::kNoAnswer;

  const std::string offered = SettingsStore(path).ReadString("UPdata", "ver", "");
  const Decimal server = ParseDecimal(offered);
  const std::string installed = settings.ReadString(keys::kSystem, keys::kVersion, "");
  const Decimal local = ParseDecimal(installed);
  return local == server ? Result::kCurrent : Result::kUpdateAvailable;
}

void LeaveValuesForUpdater(SettingsStore& settings, unsigned long long windowHandle, std::string_view base) {
  settings.WriteString(keys::kFileTypeAsUpdaterSpellsIt, keys::kWindowHandle, std::to_string(windowHandle));
  settings.WriteString(keys::kFileType, keys::kUpdatePath, ServerBase(base));
}

}  // namespace qv::update
