// Payload text: a payload's bytes with every zero byte replaced by the two-byte NUL marker, so that
// the text can be handled as a C string and shown, while every other byte stays as it was.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace qv {

// Writes the payload text of the n bytes at p to out, which must have room for
// 2 * n + kPayloadTextSlack bytes; returns the length of the text. The bytes past the text are
// scratch.
inline constexpr std::size_t kPayloadTextSlack = 32;
std::size_t WritePayloadText(char* out, const std::uint8_t* p, std::size_t n);
// The same with the build's baseline instructions only (tests hold the two together).
std::size_t WritePayloadTextBaseline(char* out, const std::uint8_t* p, std::size_t n);

void AppendPayloadText(std::string& out, const std::uint8_t* p, std::size_t n);

// A reusable buffer holding one payload text. Its bytes live on the heap, so a view of them stays
// valid when the buffer is moved; it is invalidated by the next Assign.
class PayloadTextBuffer {
 public:
  PayloadTextBuffer() = default;
  PayloadTextBuffer(PayloadTextBuffer&& other) noexcept { *this = std::move(other); }
  PayloadTextBuffer& operator=(PayloadTextBuffer&& other) noexcept {
    if (this != &other) {
      data_ = std::move(other.data_);
      capacity_ = std::exchange(other.capacity_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  std::string_view Assign(const std::uint8_t* p, std::size_t n);
  std::string_view View() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace qv
