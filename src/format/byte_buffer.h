// A growable, contiguous byte buffer that keeps its storage when emptied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "format/endian.h"

namespace quarl {

// Plain heap storage.
struct MallocStorage {
  // Storage for at least `capacity` bytes that keeps the first `size` ones;
  // throws std::bad_alloc and keeps the old storage when memory runs out.
  uint8_t* reallocate(uint8_t* data, size_t /*size*/, size_t capacity) {
    void* grown = std::realloc(data, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    return static_cast<uint8_t*>(grown);
  }
  void release(uint8_t* data) noexcept { std::free(data); }
};

// Growth throws std::bad_alloc; the binding layer turns it into MemoryError.
// The storage decides where the bytes live.
template <typename Storage>
class BasicByteBuffer {
 public:
  BasicByteBuffer() noexcept = default;
  explicit BasicByteBuffer(size_t capacity, Storage storage = Storage()) : storage_(std::move(storage)) {
    reserve(capacity);
  }
  BasicByteBuffer(const BasicByteBuffer&) = delete;
  BasicByteBuffer& operator=(const BasicByteBuffer&) = delete;
  BasicByteBuffer(BasicByteBuffer&& other) noexcept
      : storage_(std::move(other.storage_)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  BasicByteBuffer& operator=(BasicByteBuffer&& other) noexcept {
    if (this != &other) {
      storage_.release(data_);
      storage_ = std::move(other.storage_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~BasicByteBuffer() { storage_.release(data_); }

  uint8_t* data() noexcept { return data_; }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<const uint8_t> view() const noexcept { return {data_, size_}; }

  void clear() noexcept { size_ = 0; }
  // Drops the content and the storage.
  void release_storage() noexcept {
    storage_.release(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
  }
  Storage& storage() noexcept { return storage_; }
  // Empties the buffer without releasing its storage, which the storage has
  // handed to a new owner.
  void forget_storage() noexcept {
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

  // Makes room for `extra` more bytes without changing the size.
  void reserve_extra(size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }
  void reserve(size_t capacity) {
    if (capacity > capacity_) grow(capacity - size_);
  }

  // Sets the size; new bytes are uninitialised.
  void resize_uninitialized(size_t size) {
    if (size > capacity_) grow(size - size_);
    size_ = size;
  }
  void resize_zeroed(size_t size) {
    size_t old = size_;
    resize_uninitialized(size);
    if (size > old) std::memset(data_ + old, 0, size - old);
  }
  void truncate(size_t size) noexcept {
    if (size < size_) size_ = size;
  }
  // Removes the first `count` bytes, moving the rest to the front.
  void erase_front(size_t count) noexcept {
    if (count >= size_) {
      size_ = 0;
      return;
    }
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
  }

  void push(uint8_t byte) {
    reserve_extra(1);
    data_[size_++] = byte;
  }
  void append(const void* bytes, size_t count) {
    if (count == 0) return;
    reserve_extra(count);
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  void append(std::span<const uint8_t> bytes) { append(bytes.data(), bytes.size()); }
  void append_u32(uint32_t v) {
    reserve_extra(4);
    write_u32(data_ + size_, v);
    size_ += 4;
  }
  void append_u64(uint64_t v) {
    reserve_extra(8);
    write_u64(data_ + size_, v);
    size_ += 8;
  }

  // Direct writing after reserve_extra(): the first free byte, and the count
  // of bytes written there.
  uint8_t* tail() noexcept { return data_ + size_; }
  void advance(size_t count) noexcept { size_ += count; }

  // Appends without a capacity check, after reserve_extra() made room.
  void push_unchecked(uint8_t byte) noexcept { data_[size_++] = byte; }
  void append_unchecked(const void* bytes, size_t count) noexcept {
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
  }
  void append_u32_unchecked(uint32_t v) noexcept {
    write_u32(data_ + size_, v);
    size_ += 4;
  }
  void append_u64_unchecked(uint64_t v) noexcept {
    write_u64(data_ + size_, v);
    size_ += 8;
  }

 private:
  void grow(size_t extra) {
    size_t needed = size_ + extra;
    if (needed < size_) throw std::bad_alloc();
    size_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (capacity < needed) {
      size_t next = capacity + capacity / 2;
      capacity = next > capacity ? next : needed;
    }
    data_ = storage_.reallocate(data_, size_, capacity);
    capacity_ = capacity;
  }

  [[no_unique_address]] Storage storage_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

using ByteBuffer = BasicByteBuffer<MallocStorage>;

}  // namespace quarl
