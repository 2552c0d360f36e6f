// Sizes and limits of the document, envelope and stream formats.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarl {

// Most values on one path from the top-level value, both ends included.
inline constexpr uint64_t MAX_DEPTH = 128;

// Every length and count field is an unsigned 32-bit number.
inline constexpr uint64_t MAX_U32_FIELD = UINT32_MAX;

// Packed document header: magic "QL", compress-requested byte, fixed byte 1,
// 16-bit string count.
inline constexpr uint8_t DOCUMENT_MAGIC_0 = 0x51;
inline constexpr uint8_t DOCUMENT_MAGIC_1 = 0x4C;
inline constexpr size_t DOCUMENT_MAGIC_SIZE = 2;
inline constexpr uint8_t DOCUMENT_FIXED_BYTE = 1;
inline constexpr size_t DOCUMENT_HEADER_SIZE = 6;
inline constexpr size_t DOCUMENT_STRING_COUNT_OFFSET = 4;
// The magic read as a little-endian 16-bit number: an envelope whose size
// field has these low 16 bits would be taken for a plain document.
inline constexpr uint32_t DOCUMENT_MAGIC_LE16 = 0x4C51;

// String-table section: 16-bit count, 8-bit entry lengths.
inline constexpr size_t MAX_STRING_COUNT = 65535;
inline constexpr size_t MAX_KEY_BYTES = 255;
// Key indices whose low byte equals the dict terminator are never handed out.
inline constexpr uint32_t KEY_INDEX_LOW_BYTE_MASK = 0xFF;

// Compression envelopes.
inline constexpr size_t MIN_COMPRESS_SIZE = 257;
inline constexpr size_t PARALLEL_THRESHOLD = 1000000;
inline constexpr size_t PARALLEL_CHUNK_SIZE = 262144;
// Envelope headers: the single-block envelope's size field, the parallel
// envelope's total and chunk count, and a chunk record's length field.
inline constexpr size_t ENVELOPE_SIZE_FIELD = 4;
inline constexpr size_t PARALLEL_HEADER_SIZE = 8;
inline constexpr size_t CHUNK_RECORD_LENGTH_FIELD = 4;
// Every byte of an LZ4 block yields at most this many output bytes (a
// match-length extension byte adds at most 255, and no other byte adds more),
// so a declared size above 255 times the compressed length is forged and is
// refused before anything is allocated for it.
inline constexpr uint64_t LZ4_MAX_OUTPUT_PER_BYTE = 255;

// Root lists with at least this many items try the batch path for models.
inline constexpr size_t BATCH_MIN_ITEMS = 9;

// Stream format.
inline constexpr uint8_t STREAM_MAGIC_0 = 0x51;
inline constexpr uint8_t STREAM_MAGIC_1 = 0x4D;
inline constexpr size_t STREAM_MAGIC_SIZE = 2;
inline constexpr uint8_t STREAM_VERSION = 1;
inline constexpr size_t HANDSHAKE_SIZE = 4;
inline constexpr size_t FRAME_HEADER_SIZE = 6;
inline constexpr uint8_t FRAME_TYPE_EOS = 0x00;
inline constexpr uint8_t FRAME_TYPE_DATA = 0x01;
inline constexpr uint8_t FRAME_TYPE_SKIP = 0x02;
inline constexpr uint8_t FRAME_FLAG_COMPRESSED = 0x01;
inline constexpr uint64_t DEFAULT_MAX_FRAME_SIZE = 67108864;
inline constexpr size_t STREAM_BUFFER_INITIAL_CAPACITY = 8192;
// The stream buffer moves its pending bytes to the front only once the
// consumed prefix is at least this large (and at least half the buffer).
inline constexpr size_t STREAM_COMPACT_MIN_CONSUMED = 32768;

// Buffers grown past this are released when the call that grew them ends.
inline constexpr size_t LARGE_BUFFER_KEEP_LIMIT = 64 * 1024 * 1024;

// Initial sizes of the codec's buffers and string table.
inline constexpr size_t CODEC_BUFFER_INITIAL_CAPACITY = 4096;
// Plain documents from this size on are handed out as the result instead of
// copied out of the codec's buffer.
inline constexpr size_t DOCUMENT_HAND_OUT_MIN_SIZE = 64 * 1024;

}  // namespace quarl
