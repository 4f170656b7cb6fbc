// Buffers a thread keeps between calls. Plain C++: no interpreter.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

namespace huebit {

// n values of T for one call, uninitialised unless `zeroed`. Up to
// kKeptBytes the memory stays with the thread that made the buffer, for its
// next buffer of the same `Slot`: a small image's call then finds its pages
// mapped, where fresh memory costs a page fault every 4 KB on every call.
// Larger buffers are plain allocations, and so is a slot that the thread
// still holds: Python code run between a call's steps may call again.
//
// A zeroed slot is handed back zeroed: its users clear what they set.
template <class T, int Slot>
class Kept {
 public:
  static constexpr size_t kKeptBytes = size_t{1} << 20;

  explicit Kept(size_t n, bool zeroed = false) : size_(n) {
    Store& s = store();
    if (n <= kKeptBytes / sizeof(T) && !s.busy.exchange(true)) {
      held_ = &s;
      if (s.capacity < n) {
        s.memory.reset();
        s.memory.reset(zeroed ? new T[n]() : new T[n]);
        s.capacity = n;
      }
      data_ = s.memory.get();
    } else {
      own_.reset(zeroed ? new T[n ? n : 1]() : new T[n ? n : 1]);
      data_ = own_.get();
    }
  }
  Kept(Kept&& other) noexcept
      : own_(std::move(other.own_)), data_(other.data_), size_(other.size_), held_(other.held_) {
    other.held_ = nullptr;
  }
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  Kept& operator=(Kept&&) = delete;
  ~Kept() {
    if (held_) held_->busy.store(false);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  // Fewer values than made room for.
  void shrink(size_t n) { size_ = n < size_ ? n : size_; }

 private:
  struct Store {
    std::unique_ptr<T[]> memory;
    size_t capacity = 0;
    std::atomic<bool> busy{false};  // released by whichever thread ends the buffer
  };
  static Store& store() {
    thread_local Store s;
    return s;
  }

  std::unique_ptr<T[]> own_;
  T* data_ = nullptr;
  size_t size_ = 0;
  Store* held_ = nullptr;
};

}  // namespace huebit
