// Single-block and parallel LZ4 envelopes around packed documents.
#include "packed/compression.h"

#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "format/endian.h"
#include "format/limits.h"
#include "packed/chunk_pool.h"

// Decoded output is written into reused buffers without zeroing them first:
// from 1.9 on, liblz4 writes zeros for a match at offset 0 (the only match
// that could read output not yet written), so no earlier content shows.
static_assert(LZ4_VERSION_NUMBER >= 10900, "liblz4 1.9 or later is required");

namespace quarl {
namespace {

// liblz4 counts bytes in int.
constexpr uint64_t LZ4_API_MAX_BYTES = INT_MAX;

// The LZ4 block layout, used only to describe blocks that liblz4 refused.
constexpr unsigned LZ4_RUN_BITS = 4;
constexpr unsigned LZ4_RUN_MASK = 0x0F;
constexpr uint64_t LZ4_MIN_MATCH = 4;
constexpr uint8_t LZ4_LENGTH_CONTINUES = 0xFF;
constexpr size_t LZ4_OFFSET_BYTES = 2;

constexpr size_t CHUNK_RECORD_HEADER = CHUNK_RECORD_LENGTH_FIELD + ENVELOPE_SIZE_FIELD;
constexpr size_t NO_CHUNK = SIZE_MAX;

// Below this many document bytes the LZ4 work is shorter than the wait that
// taking the interpreter lock back can cost while other threads run.
constexpr size_t LOCK_RELEASE_MIN_SIZE = 256 * 1024;

// Lets other Python threads run during LZ4 work on large documents. Only
// bytes that no Python code can move or free are touched meanwhile: buffers
// the codec owns, the caller's immutable input, and blocks whose owners the
// codec holds references to. The codec stays marked in use, so a call on it
// from another thread fails instead of reaching its state.
class LockReleased {
 public:
  explicit LockReleased(size_t document_size) noexcept
      : state_(document_size >= LOCK_RELEASE_MIN_SIZE ? PyEval_SaveThread() : nullptr) {}
  ~LockReleased() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  PyThreadState* state_;
};

uint64_t max_block_output(uint64_t compressed_size) noexcept {
  return compressed_size * LZ4_MAX_OUTPUT_PER_BYTE;
}

bool size_field_reads_as_magic(size_t size) noexcept {
  return static_cast<uint16_t>(size) == DOCUMENT_MAGIC_LE16;
}

bool has_document_magic(std::span<const uint8_t> input) noexcept {
  return input.size() >= DOCUMENT_MAGIC_SIZE && input[0] == DOCUMENT_MAGIC_0 &&
         input[1] == DOCUMENT_MAGIC_1;
}

size_t compress_block(const uint8_t* source, size_t size, uint8_t* out, size_t capacity) noexcept {
  return static_cast<size_t>(LZ4_compress_default(reinterpret_cast<const char*>(source),
                                                  reinterpret_cast<char*>(out),
                                                  static_cast<int>(size), static_cast<int>(capacity)));
}

// Bytes produced, or a negative number when the block is malformed or would
// overflow `capacity`. The caller has checked both sizes against the int range.
int decompress_block(std::span<const uint8_t> block, uint8_t* out, size_t capacity) noexcept {
  uint8_t sink = 0;
  return LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                             reinterpret_cast<char*>(capacity == 0 ? &sink : out),
                             static_cast<int>(block.size()), static_cast<int>(capacity));
}

// Empties `buffer` and gives it `size` bytes of room, without copying the
// storage it may have to give up.
void reset_for(ByteBuffer& buffer, size_t size) {
  buffer.clear();
  if (size > buffer.capacity()) buffer.release_storage();
  buffer.resize_uninitialized(size);
}

// ---- Compression -----------------------------------------------------------

using Pieces = std::vector<std::span<const uint8_t>>;

// Bytes after the value are ignored by every reader, so one more byte keeps
// the size field from reading as the document magic.
constexpr uint8_t PADDING[1] = {0};

size_t total_size(const Pieces& pieces) noexcept {
  size_t size = 0;
  for (std::span<const uint8_t> piece : pieces) size += piece.size();
  return size;
}

// The document in one stretch: its only piece, or the pieces gathered.
std::span<const uint8_t> in_one_piece(const Pieces& document, size_t size, ByteBuffer& scratch) {
  if (document.size() == 1) return document.front();
  reset_for(scratch, 0);
  scratch.reserve(size);
  for (std::span<const uint8_t> piece : document) scratch.append(piece);
  return scratch.view();
}

void write_single_block(std::span<const uint8_t> document, ByteBuffer& out, Pieces& envelope) {
  size_t bound = static_cast<size_t>(LZ4_compressBound(static_cast<int>(document.size())));
  reset_for(out, ENVELOPE_SIZE_FIELD + bound);
  write_u32(out.data(), static_cast<uint32_t>(document.size()));
  size_t written;
  {
    LockReleased unlocked(document.size());
    written = compress_block(document.data(), document.size(), out.data() + ENVELOPE_SIZE_FIELD, bound);
  }
  out.truncate(ENVELOPE_SIZE_FIELD + written);
  envelope.push_back(out.view());
}

// Where each chunk's bytes lie: inside one piece, read in place, or across
// pieces, gathered into `scratch` on the calling thread first (only chunks
// at the edges of spliced blocks).
class ChunkSources {
 public:
  ChunkSources(const Pieces& document, size_t size, ByteBuffer& scratch) {
    size_t count = (size + PARALLEL_CHUNK_SIZE - 1) / PARALLEL_CHUNK_SIZE;
    sources_.resize(count);
    std::vector<size_t> gathered_at(count, NOT_GATHERED);
    reset_for(scratch, 0);
    Cursor cursor{document};
    for (size_t i = 0; i < count; ++i) {
      size_t chunk = std::min(PARALLEL_CHUNK_SIZE, size - i * PARALLEL_CHUNK_SIZE);
      if (cursor.left_in_piece() >= chunk) {
        sources_[i] = cursor.here();
        cursor.skip(chunk);
      } else {
        gathered_at[i] = scratch.size();
        cursor.copy(chunk, scratch);
      }
    }
    for (size_t i = 0; i < count; ++i) {
      if (gathered_at[i] != NOT_GATHERED) sources_[i] = scratch.data() + gathered_at[i];
    }
  }
  size_t count() const noexcept { return sources_.size(); }
  const uint8_t* operator[](size_t index) const noexcept { return sources_[index]; }

 private:
  static constexpr size_t NOT_GATHERED = SIZE_MAX;

  struct Cursor {
    const Pieces& pieces;
    size_t piece = 0;
    size_t offset = 0;

    void settle() noexcept {
      while (piece < pieces.size() && offset == pieces[piece].size()) ++piece, offset = 0;
    }
    size_t left_in_piece() noexcept {
      settle();
      return piece < pieces.size() ? pieces[piece].size() - offset : 0;
    }
    const uint8_t* here() const noexcept { return pieces[piece].data() + offset; }
    void skip(size_t count) noexcept { offset += count; }
    void copy(size_t count, ByteBuffer& out) {
      while (count != 0) {
        size_t take = std::min(count, left_in_piece());
        if (take == 0) return;  // the pieces hold fewer bytes than claimed
        out.append(here(), take);
        skip(take);
        count -= take;
      }
    }
  };

  std::vector<const uint8_t*> sources_;
};

// Every chunk is compressed straight into a slot of the output that has room
// for the chunk's worst case; the envelope then lists the records in place.
struct ChunkCompression {
  const ChunkSources& sources;
  size_t document_size;
  uint8_t* slots;
  size_t slot_size;

  void operator()(size_t index) noexcept {
    size_t size = std::min(PARALLEL_CHUNK_SIZE, document_size - index * PARALLEL_CHUNK_SIZE);
    uint8_t* record = slots + index * slot_size;
    size_t written = compress_block(sources[index], size, record + CHUNK_RECORD_HEADER,
                                    slot_size - CHUNK_RECORD_HEADER);
    write_u32(record, static_cast<uint32_t>(ENVELOPE_SIZE_FIELD + written));
    write_u32(record + CHUNK_RECORD_LENGTH_FIELD, static_cast<uint32_t>(size));
  }
};

void write_parallel(const Pieces& document, size_t size, ByteBuffer& out, ByteBuffer& scratch,
                    Pieces& envelope) {
  ChunkSources sources(document, size, scratch);
  size_t count = sources.count();
  size_t slot_size = CHUNK_RECORD_HEADER +
                     static_cast<size_t>(LZ4_compressBound(static_cast<int>(PARALLEL_CHUNK_SIZE)));
  reset_for(out, PARALLEL_HEADER_SIZE + count * slot_size);
  write_u32(out.data(), static_cast<uint32_t>(size));
  write_u32(out.data() + ENVELOPE_SIZE_FIELD, static_cast<uint32_t>(count));
  ChunkCompression job{sources, size, out.data() + PARALLEL_HEADER_SIZE, slot_size};
  {
    LockReleased unlocked(size);
    run_chunks(count, job);
  }

  envelope.emplace_back(out.data(), PARALLEL_HEADER_SIZE);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = job.slots + i * slot_size;
    envelope.emplace_back(record, CHUNK_RECORD_LENGTH_FIELD + read_u32(record));
  }
}

// ---- Descriptions of chunk failures ----------------------------------------

struct Description {
  char text[160];

  void say(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
};

// Reads an LZ4 length extension onto `length`; false when the block ends first.
bool read_length_extension(std::span<const uint8_t> block, size_t& pos, uint64_t& length) {
  for (;;) {
    if (pos >= block.size()) return false;
    uint8_t byte = block[pos++];
    length += byte;
    if (byte != LZ4_LENGTH_CONTINUES) return true;
  }
}

// liblz4 reports only where it stopped, so a refused (non-empty) block is
// walked again, sequence by sequence, to name its first fault.
void describe_refused_block(std::span<const uint8_t> block, uint64_t capacity, Description& out) {
  size_t pos = 0;
  uint64_t produced = 0;
  for (;;) {
    if (pos >= block.size()) {
      return out.say("the block ends after a match instead of with literals");
    }
    uint8_t token = block[pos++];
    uint64_t literals = token >> LZ4_RUN_BITS;
    if (literals == LZ4_RUN_MASK && !read_length_extension(block, pos, literals)) {
      return out.say("the block ends inside a literal length");
    }
    if (literals > block.size() - pos) {
      return out.say("%llu literals run past the end of the block",
                     static_cast<unsigned long long>(literals));
    }
    if (literals > capacity - produced) {
      return out.say("the block holds more than the declared %llu bytes",
                     static_cast<unsigned long long>(capacity));
    }
    pos += literals;
    produced += literals;
    if (pos == block.size()) break;
    if (block.size() - pos < LZ4_OFFSET_BYTES) {
      return out.say("the block ends inside a match offset");
    }
    unsigned offset = read_u16(block.data() + pos);
    pos += LZ4_OFFSET_BYTES;
    if (offset == 0) return out.say("0 is not a valid match offset");
    if (offset > produced) {
      return out.say("match offset %u reaches before the start of the chunk", offset);
    }
    uint64_t match = (token & LZ4_RUN_MASK) + LZ4_MIN_MATCH;
    if ((token & LZ4_RUN_MASK) == LZ4_RUN_MASK && !read_length_extension(block, pos, match)) {
      return out.say("the block ends inside a match length");
    }
    if (match > capacity - produced) {
      return out.say("the block holds more than the declared %llu bytes",
                     static_cast<unsigned long long>(capacity));
    }
    produced += match;
  }
  // Every sequence reads well: what is left are LZ4's rules for the last
  // bytes of a block, which liblz4 checks against the end of the output.
  out.say("the block breaks the end-of-block rules");
}

// ---- Decompression ---------------------------------------------------------

// The single-block attempt decodes into `scratch`. A block that yields fewer
// or more bytes than declared is a failed attempt, as is a declared size that
// the block could not produce (which allocates nothing): a document cut short
// is never padded out to its declared size.
bool try_single_block(std::span<const uint8_t> input, ByteBuffer& scratch) {
  uint64_t declared = read_u32(input.data());
  std::span<const uint8_t> block = input.subspan(ENVELOPE_SIZE_FIELD);
  if (declared > max_block_output(block.size()) || declared > LZ4_API_MAX_BYTES ||
      block.size() > LZ4_API_MAX_BYTES) {
    return false;
  }
  reset_for(scratch, declared);
  LockReleased unlocked(declared);
  int produced = decompress_block(block, scratch.data(), declared);
  return produced >= 0 && static_cast<uint64_t>(produced) == declared;
}

struct Chunk {
  std::span<const uint8_t> block;  // the LZ4 block after the chunk's size field
  uint32_t declared = 0;
  size_t offset = 0;  // where the chunk is decoded in the output
  int produced = 0;
};

Status fail_chunk(const Description& description) {
  return raise_format(PyExc_ValueError, "LZ4 chunk decompression failed: %s", description.text);
}

// Takes a record's declared size and LZ4 block; false, with the fault
// described, when the block cannot be decoded or cannot produce that size.
// Refusing such sizes here bounds the room reserved for the chunks by the
// input, whatever the envelope claims.
bool take_chunk(std::span<const uint8_t> record, Chunk& chunk, Description& fault,
                size_t& fault_in_record) {
  fault_in_record = 0;
  if (record.size() < ENVELOPE_SIZE_FIELD) {
    fault.say("a block of %zu bytes has no room for its 4-byte size", record.size());
    return false;
  }
  chunk.declared = read_u32(record.data());
  chunk.block = record.subspan(ENVELOPE_SIZE_FIELD);
  if (chunk.block.empty()) {
    fault_in_record = ENVELOPE_SIZE_FIELD;
    fault.say("the block is empty");
    return false;
  }
  if (chunk.block.size() > LZ4_API_MAX_BYTES) {
    fault.say("a block of %zu bytes is larger than LZ4 can decode", chunk.block.size());
    return false;
  }
  if (chunk.declared > max_block_output(chunk.block.size())) {
    fault.say("the declared %u bytes are more than %zu compressed bytes can hold", chunk.declared,
              chunk.block.size());
    return false;
  }
  if (chunk.declared > LZ4_API_MAX_BYTES) {
    fault.say("the declared %u bytes are more than an LZ4 block can hold", chunk.declared);
    return false;
  }
  return true;
}

// Walks the records after the parallel header and lays their chunks out one
// after another in `room` bytes. Framing faults anywhere come before a chunk's
// own fault; after a chunk fault the walk only checks the framing.
Status read_chunks(std::span<const uint8_t> input, std::vector<Chunk>& chunks, size_t& room,
                   size_t& fault_offset) {
  uint32_t count = read_u32(input.data() + ENVELOPE_SIZE_FIELD);
  if (count > (input.size() - PARALLEL_HEADER_SIZE) / CHUNK_RECORD_LENGTH_FIELD) {
    fault_offset = ENVELOPE_SIZE_FIELD;
    return raise(PyExc_ValueError, "Invalid chunks count in parallel compression header");
  }
  Description fault;
  bool faulty = false;
  room = 0;
  size_t pos = PARALLEL_HEADER_SIZE;
  size_t chunk_fault = 0;
  for (uint32_t i = 0; i < count; ++i) {
    fault_offset = pos;
    if (input.size() - pos < CHUNK_RECORD_LENGTH_FIELD) {
      return raise(PyExc_ValueError, "Unexpected end of data in parallel compression chunk headers");
    }
    size_t length = read_u32(input.data() + pos);
    pos += CHUNK_RECORD_LENGTH_FIELD;
    if (input.size() - pos < length) {
      return raise(PyExc_ValueError, "Unexpected end of data in parallel compression chunk data");
    }
    if (!faulty) {
      Chunk chunk;
      size_t in_record = 0;
      faulty = !take_chunk(input.subspan(pos, length), chunk, fault, in_record);
      if (faulty) chunk_fault = pos + in_record;
      if (!faulty) {
        chunk.offset = room;
        room += chunk.declared;
        chunks.push_back(chunk);
      }
    }
    pos += length;
  }
  fault_offset = chunk_fault;
  return faulty ? fail_chunk(fault) : Status::success();
}

// Each chunk is decoded into its own stretch of the output; only the bytes
// it produces are kept.
struct ChunkDecompression {
  std::vector<Chunk>& chunks;
  uint8_t* out;
  std::atomic<size_t> first_failure{NO_CHUNK};

  void operator()(size_t index) noexcept {
    if (first_failure.load(std::memory_order_relaxed) != NO_CHUNK) return;
    Chunk& chunk = chunks[index];
    chunk.produced = decompress_block(chunk.block, out + chunk.offset, chunk.declared);
    if (chunk.produced < 0) {
      size_t none = NO_CHUNK;
      first_failure.compare_exchange_strong(none, index);
    }
  }
};

// Closes the gaps that chunks shorter than declared left; returns the length.
size_t join_chunks(const std::vector<Chunk>& chunks, uint8_t* out) noexcept {
  size_t end = 0;
  for (const Chunk& chunk : chunks) {
    size_t produced = static_cast<size_t>(chunk.produced);
    if (chunk.offset != end) std::memmove(out + end, out + chunk.offset, produced);
    end += produced;
  }
  return end;
}

Status fail_document_limit(uint64_t size, uint64_t limit) {
  return raise_format(PyExc_ValueError, "Decompressed frame size %llu exceeds maximum allowed %llu",
                      static_cast<unsigned long long>(size), static_cast<unsigned long long>(limit));
}

Status decompress_parallel(std::span<const uint8_t> input, ByteBuffer& scratch,
                           uint64_t max_document, std::span<const uint8_t>& document,
                           size_t& fault_offset) {
  std::vector<Chunk> chunks;
  size_t room = 0;
  if (!read_chunks(input, chunks, room, fault_offset).ok()) return Status::failure();
  fault_offset = 0;
  // Chunks may yield less than they declare, so the room they claim is what
  // would be allocated; it too stays within the limit.
  if (room > max_document) return fail_document_limit(room, max_document);
  reset_for(scratch, room);
  ChunkDecompression job{chunks, scratch.data()};
  size_t total = 0;
  {
    LockReleased unlocked(room);
    run_chunks(chunks.size(), job);
    if (job.first_failure.load() == NO_CHUNK) total = join_chunks(chunks, scratch.data());
  }
  size_t failed = job.first_failure.load();
  if (failed != NO_CHUNK) {
    const Chunk& chunk = chunks[failed];
    fault_offset = static_cast<size_t>(chunk.block.data() - input.data());
    Description description;
    describe_refused_block(chunk.block, chunk.declared, description);
    return fail_chunk(description);
  }
  fault_offset = 0;
  scratch.truncate(total);
  uint32_t declared_total = read_u32(input.data());
  if (total != declared_total) {
    return raise_format(PyExc_ValueError, "Decompressed size mismatch: expected %u, got %zu",
                        declared_total, total);
  }
  document = scratch.view();
  return Status::success();
}

}  // namespace

void release_if_large(ByteBuffer& buffer) noexcept {
  if (buffer.capacity() > LARGE_BUFFER_KEEP_LIMIT) buffer.release_storage();
}

Status compress_document(std::vector<std::span<const uint8_t>>& document, ByteBuffer& out,
                         ByteBuffer& scratch, std::vector<std::span<const uint8_t>>& envelope) {
  size_t size = total_size(document);
  if (size_field_reads_as_magic(size)) {
    document.emplace_back(PADDING, sizeof PADDING);
    ++size;
  }
  if (size > MAX_U32_FIELD) {
    return raise_format(PyExc_ValueError,
                        "document of %zu bytes is too large: documents are limited to %zu bytes",
                        size, static_cast<size_t>(MAX_U32_FIELD));
  }
  if (size < PARALLEL_THRESHOLD) {
    write_single_block(in_one_piece(document, size, scratch), out, envelope);
  } else {
    write_parallel(document, size, out, scratch, envelope);
  }
  return Status::success();
}

Status decompress_document(std::span<const uint8_t> input, bool decompress, ByteBuffer& scratch,
                           std::span<const uint8_t>& document, uint64_t max_document,
                           EnvelopeReading* reading) {
  EnvelopeReading unused;
  EnvelopeReading& out = reading != nullptr ? *reading : unused;
  out.fault_offset = 0;
  out.form = EnvelopeForm::document;
  if (!decompress || has_document_magic(input)) {
    document = input;
    return Status::success();
  }
  if (input.size() < DOCUMENT_MAGIC_SIZE) {
    return raise(PyExc_ValueError, "Buffer too small for QUARL payload");
  }
  if (input.size() < ENVELOPE_SIZE_FIELD) {
    return raise(PyExc_ValueError, "Buffer too small for compressed QUARL data");
  }
  // Both envelope forms begin with the document's size: a size above the
  // limit is refused before either attempt allocates anything.
  uint64_t declared = read_u32(input.data());
  if (declared > max_document) return fail_document_limit(declared, max_document);
  out.form = EnvelopeForm::single_block;
  if (try_single_block(input, scratch)) {
    document = scratch.view();
    return Status::success();
  }
  if (input.size() < PARALLEL_HEADER_SIZE) {
    return raise(PyExc_ValueError, "Buffer too small for compressed QUARL data");
  }
  out.form = EnvelopeForm::parallel;
  return decompress_parallel(input, scratch, max_document, document, out.fault_offset);
}

}  // namespace quarl
