// The process-wide pool of worker threads that compress and decompress the
// chunks of parallel envelopes.
#pragma once

#include <cstddef>

namespace quarl {

// One unit of chunk work. Tasks run on worker threads: they touch only byte
// ranges, never a Python object, and they must not throw.
using ChunkTask = void (*)(void* context, size_t index) noexcept;

// Runs task(context, i) for every i below `count` and returns once all of
// them have finished; the calling thread only waits. The pool is created on
// first use (again in a forked child) with one worker per available
// processor, and jobs from several threads run one after another.
void run_on_chunk_pool(size_t count, ChunkTask task, void* context);

// Runs body(i) for every i below `count` on the pool.
template <typename Body>
void run_chunks(size_t count, Body& body) {
  run_on_chunk_pool(
      count, [](void* context, size_t index) noexcept { (*static_cast<Body*>(context))(index); },
      &body);
}

}  // namespace quarl
