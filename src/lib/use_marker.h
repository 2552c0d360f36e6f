// The use marker that refuses overlapping calls on one instance.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quarl {

// Free (0), shared by n readers (n > 0) or held exclusively (-1). The
// interpreter lock is held for every call, so the marker is only ever busy
// when a call re-enters an instance whose call is still running.
class UseMarker {
 public:
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = EXCLUSIVE;
    return true;
  }
  void release_exclusive() noexcept { state_ = 0; }
  bool try_shared() noexcept {
    if (state_ == EXCLUSIVE) return false;
    ++state_;
    return true;
  }
  void release_shared() noexcept { --state_; }

 private:
  static constexpr int64_t EXCLUSIVE = -1;
  int64_t state_ = 0;
};

// Holds an instance exclusively for one method call.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(UseMarker& marker) noexcept : marker_(marker), held_(marker.try_exclusive()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveUse() {
    if (held_) marker_.release_exclusive();
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  bool held() const noexcept { return held_; }

 private:
  UseMarker& marker_;
  bool held_;
};

// Holds an instance shared for one property read.
class SharedUse {
 public:
  explicit SharedUse(UseMarker& marker) noexcept : marker_(marker), held_(marker.try_shared()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedUse() {
    if (held_) marker_.release_shared();
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  bool held() const noexcept { return held_; }

 private:
  UseMarker& marker_;
  bool held_;
};

}  // namespace quarl
