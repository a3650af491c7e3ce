// ChunkedRows: a sequence of rows kept in fixed blocks of kChunk rows each. Appending never moves a
// row and allocates one block per kChunk rows (a std::deque of 160-byte rows allocates a 512-byte
// block every three rows), or takes the block emptied last, which is kept; removing a row moves the
// rows on its shorter side by one place, as a deque does, so that removing the first row costs no walk
// of the list.
#pragma once
#include <cstddef>
#include <iterator>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace qv {

template <typename T, std::size_t kChunk = 4096>
class ChunkedRows {
 public:
  ChunkedRows() = default;
  ChunkedRows(const ChunkedRows&) = delete;
  ChunkedRows& operator=(const ChunkedRows&) = delete;
  ~ChunkedRows() { clear(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return *Slot(head_ + i); }
  const T& operator[](std::size_t i) const { return *Slot(head_ + i); }
  T& back() { return (*this)[size_ - 1]; }
  const T& back() const { return (*this)[size_ - 1]; }
  T& front() { return (*this)[0]; }
  const T& front() const { return (*this)[0]; }

  void push_back(T row) {
    const std::size_t at = head_ + size_;
    if (at / kChunk == chunks_.size()) {
      // The block emptied last, when there is one (its pages are in place); else a new one, not zeroed:
      // pages are touched as rows fill them.
      chunks_.push_back(spare_ ? std::move(spare_) : std::unique_ptr<Chunk>(new Chunk));
    }
    new (Slot(at)) T(std::move(row));
    ++size_;
  }

  // Removes the row at `index`; the rows after it move up by one.
  void erase(std::size_t index) {
    if (index < size_ / 2) {
      for (std::size_t i = index; i > 0; --i) (*this)[i] = std::move((*this)[i - 1]);
      PopFront();
    } else {
      for (std::size_t i = index; i + 1 < size_; ++i) (*this)[i] = std::move((*this)[i + 1]);
      PopBack();
    }
  }

  void clear() {
    for (std::size_t i = 0; i < size_; ++i) Slot(head_ + i)->~T();
    chunks_.clear();
    chunks_.shrink_to_fit();
    spare_.reset();
    head_ = size_ = 0;
  }

  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;
    const_iterator() = default;
    const_iterator(const ChunkedRows* rows, std::size_t i) : rows_(rows), i_(i) {}
    reference operator*() const { return (*rows_)[i_]; }
    pointer operator->() const { return &(*rows_)[i_]; }
    reference operator[](difference_type n) const { return (*rows_)[i_ + static_cast<std::size_t>(n)]; }
    const_iterator& operator++() { ++i_; return *this; }
    const_iterator operator++(int) { auto t = *this; ++i_; return t; }
    const_iterator& operator--() { --i_; return *this; }
    const_iterator operator--(int) { auto t = *this; --i_; return t; }
    const_iterator& operator+=(difference_type n) { i_ = static_cast<std::size_t>(static_cast<difference_type>(i_) + n); return *this; }
    const_iterator& operator-=(difference_type n) { return *this += -n; }
    friend const_iterator operator+(const_iterator a, difference_type n) { return a += n; }
    friend const_iterator operator+(difference_type n, const_iterator a) { return a += n; }
    friend const_iterator operator-(const_iterator a, difference_type n) { return a -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
      return static_cast<difference_type>(a.i_) - static_cast<difference_type>(b.i_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.i_ == b.i_; }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.i_ <=> b.i_; }

   private:
    const ChunkedRows* rows_ = nullptr;
    std::size_t i_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  struct Chunk {
    alignas(T) unsigned char bytes[kChunk * sizeof(T)];
  };
  T* Slot(std::size_t at) const {
    return std::launder(reinterpret_cast<T*>(chunks_[at / kChunk]->bytes) + at % kChunk);
  }
  void PopFront() {
    Slot(head_)->~T();
    ++head_;
    --size_;
    if (size_ == 0) {
      chunks_.clear();
      head_ = 0;
    } else if (head_ == kChunk) {
      // Kept for the next block needed: a short list whose rows keep moving on (each repeated address
      // removed at the front, appended at the back) goes on in two blocks instead of a new one each time.
      spare_ = std::move(chunks_.front());
      chunks_.erase(chunks_.begin());
      head_ = 0;
    }
  }
  void PopBack() {
    Slot(head_ + size_ - 1)->~T();
    --size_;
    // Keep the block the next row goes into; free one that is left empty behind it.
    const std::size_t used = (head_ + size_ + kChunk - 1) / kChunk;
    if (size_ == 0) {
      chunks_.clear();
      head_ = 0;
    } else if (chunks_.size() > used + 1) {
      spare_ = std::move(chunks_.back());
      chunks_.pop_back();
    }
  }

  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::unique_ptr<Chunk> spare_;  // an emptied block kept for reuse (one at most)
  std::size_t head_ = 0;  // the first row's place in the first block
  std::size_t size_ = 0;
};

}  // namespace qv
