// Keeps the cyclic garbage collector out of the building of a decoded tree.
#pragma once

#include <Python.h>

namespace quarl {

// Every list and dict the decoder creates counts towards the collector's
// next run, and each run walks the young part of the growing tree again,
// though a freshly decoded tree cannot hold a cycle: on large documents the
// collector would take most of the decode time. The pause defers that work
// to the collector's first run after the decode. Python code called from the
// decoder runs inside a Resumed scope and sees the collector exactly as its
// caller left it, including changes that code makes itself.
class CollectorPause {
 public:
  CollectorPause() noexcept : enabled_outside_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (enabled_outside_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

  class Resumed {
   public:
    explicit Resumed(CollectorPause& pause) noexcept : pause_(pause) {
      if (pause_.enabled_outside_) PyGC_Enable();
    }
    ~Resumed() { pause_.enabled_outside_ = PyGC_Disable() != 0; }
    Resumed(const Resumed&) = delete;
    Resumed& operator=(const Resumed&) = delete;

   private:
    CollectorPause& pause_;
  };

 private:
  bool enabled_outside_;
};

}  // namespace quarl
