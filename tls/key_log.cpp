#include "tls/key_log.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qv::tls {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeHex(std::string_view hex, std::uint8_t* out, std::size_t n) {
  if (hex.size() != 2 * n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

// The labels kept, in the order of SecretKind.
constexpr std::string_view kLabels[] = {"CLIENT_RANDOM", "CLIENT_HANDSHAKE_TRAFFIC_SECRET",
                                        "SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0",
                                        "SERVER_TRAFFIC_SECRET_0"};

// Labels of the format that carry nothing needed here; such lines are neither kept nor bad.
bool KnownOtherLabel(std::string_view label) {
  return label == "CLIENT_EARLY_TRAFFIC_SECRET" || label == "EARLY_EXPORTER_SECRET" || label == "EXPORTER_SECRET" ||
         label == "RSA" || label.rfind("CLIENT_TRAFFIC_SECRET_", 0) == 0 ||
         label.rfind("SERVER_TRAFFIC_SECRET_", 0) == 0 || label.rfind("ECH_", 0) == 0;
}

}  // namespace

std::size_t KeyLog::RandomHash::operator()(const ClientRandom& r) const {
  std::uint64_t a, b;
  std::memcpy(&a, r.data(), 8);
  std::memcpy(&b, r.data() + 8, 8);
  return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}

void KeyLog::SetFiles(std::vector<std::string> paths) {
  std::vector<FileState> files;
  for (auto& p : paths) {
    if (p.empty()) continue;
    FileState f;
    f.path = std::move(p);
    // A file already followed keeps its place.
    for (auto& old : files_)
      if (old.path == f.path) f = old;
    files.push_back(std::move(f));
  }
  files_ = std::move(files);
  polled_ = false;
}

void KeyLog::Message(const std::string& text) const {
  if (messages_) messages_(text);
}

void KeyLog::PollIfDue() const {
  const auto now = std::chrono::steady_clock::now();
  if (polled_ && now - lastPoll_ < kPollInterval) return;
  Poll();
}

void KeyLog::Poll() const {
  lastPoll_ = std::chrono::steady_clock::now();
  polled_ = true;
  for (auto& f : files_) ReadFile(f);
}

void KeyLog::ReadFile(FileState& f) const {
  const int fd = ::open(f.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (!f.reported) Message("key log " + f.path + ": " + std::strerror(errno));
    f.reported = true;
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (!f.reported) Message("key log " + f.path + ": not a regular file");
    f.reported = true;
    ::close(fd);
    return;
  }
  f.reported = false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const bool replaced = f.known && (f.device != st.st_dev || f.inode != st.st_ino);
  if (!f.known || replaced || size < f.offset) {
    // A new file, or the file was truncated or replaced: read it from the start.
    f.offset = 0;
    f.partial.clear();
    f.skipping = false;
    f.refused = false;
  }
  f.known = true;
  f.device = st.st_dev;
  f.inode = st.st_ino;
  if (size > kMaxFileBytes) {
    if (!f.refused) Message("key log " + f.path + ": larger than 64 MB; not read");
    f.refused = true;
    ::close(fd);
    return;
  }
  if (f.refused || size == f.offset) {
    ::close(fd);
    return;
  }
  std::string chunk;
  chunk.resize(64 * 1024);
  std::uint64_t at = f.offset;
  while (at < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
    const ssize_t got = ::pread(fd, chunk.data(), want, static_cast<off_t>(at));
    if (got <= 0) break;
    at += static_cast<std::uint64_t>(got);
    std::size_t start = 0;
    for (;;) {
      const void* nl = std::memchr(chunk.data() + start, '\n', static_cast<std::size_t>(got) - start);
      const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - chunk.data())
                                 : static_cast<std::size_t>(got);
      const std::size_t piece = end - start;
      if (!f.skipping) {
        if (f.partial.size() + piece > kMaxLineBytes) {
          Message("key log " + f.path + ": a line longer than 1 KB; skipped");
          ++badLines_;
          f.partial.clear();
          f.skipping = true;
        } else {
          f.partial.append(chunk.data() + start, piece);
        }
      }
      if (!nl) break;
      if (!f.skipping) Line(f.partial.data(), f.partial.size());
      f.partial.clear();
      f.skipping = false;
      start = end + 1;
    }
  }
  f.offset = at;
  ::close(fd);
}

void KeyLog::AddText(const std::string& text) const {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end - start > kMaxLineBytes) ++badLines_;
    else Line(text.data() + start, end - start);
    start = end + 1;
  }
}

void KeyLog::Line(const char* p, std::size_t n) const {
  std::string_view line(p, n);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // Blank lines and comments are part of the format.
  std::size_t lead = 0;
  while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t')) ++lead;
  if (lead == line.size() || line[lead] == '#') return;
  line.remove_prefix(lead);
  const std::size_t s1 = line.find(' ');
  const std::size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
  if (s2 == std::string_view::npos) {
    ++badLines_;
    return;
  }
  const std::string_view label = line.substr(0, s1);
  const std::string_view random = line.substr(s1 + 1, s2 - s1 - 1);
  std::string_view secretHex = line.substr(s2 + 1);
  while (!secretHex.empty() && (secretHex.back() == ' ' || secretHex.back() == '\t')) secretHex.remove_suffix(1);
  int kind = -1;
  for (int k = 0; k < 5; ++k)
    if (label == kLabels[k]) kind = k;
  ClientRandom r{};
  if (!DecodeHex(random, r.data(), r.size())) {
    ++badLines_;
    return;
  }
  std::uint8_t secret[64];
  const std::size_t secretLength = secretHex.size() / 2;
  if (secretLength == 0 || secretLength > sizeof secret || !DecodeHex(secretHex, secret, secretLength)) {
    ++badLines_;
    return;
  }
  if (kind < 0) {
    if (!KnownOtherLabel(label)) ++badLines_;
    return;
  }
  // The master secret is 48 bytes; TLS 1.3 secrets are as long as the suite's hash (32 or 48).
  if (kind == 0 ? secretLength != 48 : (secretLength != 32 && secretLength != 48)) {
    ++badLines_;
    return;
  }
  auto [it, inserted] = entries_.try_emplace(r);
  if (inserted) {
    order_.push_back(r);
    if (order_.size() > kMaxRandoms) {
      entries_.erase(order_.front());
      order_.pop_front();
    }
  }
  it->second.secrets[kind].assign(reinterpret_cast<const char*>(secret), secretLength);
}

bool KeyLog::Find(SecretKind kind, const ClientRandom& random, std::string& secret) const {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto it = entries_.find(random);
    if (it != entries_.end() && !it->second.secrets[static_cast<int>(kind)].empty()) {
      secret = it->second.secrets[static_cast<int>(kind)];
      return true;
    }
    if (attempt == 0) {
      const auto before = lastPoll_;
      PollIfDue();
      if (lastPoll_ == before) return false;  // not due: no new lines read
    }
  }
  return false;
}

}  // namespace qv::tls
