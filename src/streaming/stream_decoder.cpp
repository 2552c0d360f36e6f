#include "streaming/stream_decoder.h"

#include <algorithm>

#include "common/pyref.h"
#include "common/status.h"
#include "format/endian.h"
#include "packed/document.h"

namespace quarl {
namespace {

struct FrameHeader {
  uint64_t payload_length;
  uint8_t type;
  uint8_t flags;
};

FrameHeader read_frame_header(const uint8_t* p) noexcept {
  return {read_u32(p), p[4], p[5]};
}

}  // namespace

// The buffer is sized by the first chunk, so that creating a decoder is cheap.
StreamDecoder::StreamDecoder(uint64_t max_frame_size, HandshakeMode mode) noexcept
    : max_frame_size_(max_frame_size),
      mode_(mode),
      handshake_received_(mode == HandshakeMode::absent) {}

PyObject* StreamDecoder::feed(std::span<const uint8_t> chunk) {
  if (chunk.empty()) return PyList_New(0);
  if (is_eos_ || failure_) {
    // Nothing after the end of the stream, or after a failure that holds
    // until clear(), is ever parsed, so it is counted rather than stored: a
    // peer cannot grow the buffer past that point, nor make a failed frame
    // cost its decoding again.
    discarded_ += chunk.size();
    return is_eos_ ? PyList_New(0) : raise_failure();
  }
  compact();
  if (buffer_.capacity() == 0) buffer_.reserve(STREAM_BUFFER_INITIAL_CAPACITY);
  buffer_.append(chunk);
  bool wait_for_handshake = false;
  PyObject* values = nullptr;
  if (!read_handshake(wait_for_handshake).ok()) {
    remember_failure();
  } else if (wait_for_handshake) {
    values = PyList_New(0);
  } else {
    values = read_frames();
  }
  trim();
  return values;
}

// The buffer keeps its storage, so a decoder that carries one stream after
// another does not grow its buffer again for each (up to the large-buffer
// limit, see trim()).
void StreamDecoder::clear() noexcept {
  buffer_.clear();
  read_position_ = 0;
  handshake_received_ = mode_ == HandshakeMode::absent;
  is_eos_ = false;
  discarded_ = 0;
  failure_.reset();
  trim();
}

uint64_t StreamDecoder::pending_bytes() const noexcept {
  return pending() + discarded_;
}

size_t StreamDecoder::pending() const noexcept { return buffer_.size() - read_position_; }

// Moving the pending bytes only once the consumed prefix is large and at
// least half the buffer bounds the bytes moved by the bytes consumed.
void StreamDecoder::compact() noexcept {
  if (read_position_ == 0) return;
  if (read_position_ == buffer_.size()) {
    buffer_.clear();
    read_position_ = 0;
  } else if (read_position_ >= STREAM_COMPACT_MIN_CONSUMED &&
             read_position_ >= buffer_.size() / 2) {
    buffer_.erase_front(read_position_);
    read_position_ = 0;
  }
}

void StreamDecoder::trim() noexcept {
  if (pending() == 0 && buffer_.capacity() > LARGE_BUFFER_KEEP_LIMIT) {
    buffer_.release_storage();
    read_position_ = 0;
  }
}

namespace {

// A new exception of the same class with the same arguments, as meeting the
// same bytes again would raise; or the exception itself where its class
// cannot be called that way.
PyRef copy_exception(PyObject* exception) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  PyRef args = PyRef::steal(PyObject_GetAttrString(exception, "args"));
  PyRef copy;
  if (args && PyTuple_Check(args.get())) copy = PyRef::steal(PyObject_Call(type, args.get(), nullptr));
  if (!copy || !PyExceptionInstance_Check(copy.get())) {
    PyErr_Clear();
    copy = PyRef::borrow(exception);
  }
  return copy;
}

}  // namespace

// Only what the bytes decide is remembered: a MemoryError, or an interrupt
// that arrived during the decode, is raised once and the frame read again.
void StreamDecoder::remember_failure() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return;
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // A copy is kept, so the frames of the traceback the caller sees are not.
  if (value != nullptr) failure_ = copy_exception(value);
  PyErr_Restore(type, value, traceback);
}

PyObject* StreamDecoder::raise_failure() const noexcept {
  PyRef fresh = copy_exception(failure_.get());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(fresh.get())), fresh.get());
  return nullptr;
}

Status StreamDecoder::read_handshake(bool& wait) {
  if (handshake_received_ || pending() < STREAM_MAGIC_SIZE) return Status::success();
  const uint8_t* p = buffer_.data() + read_position_;
  if (p[0] == STREAM_MAGIC_0 && p[1] == STREAM_MAGIC_1) {
    if (pending() < HANDSHAKE_SIZE) {
      wait = true;
      return Status::success();
    }
    if (p[2] != STREAM_VERSION) {
      return raise_format(PyExc_ValueError, "Unsupported stream version: %d (expected %d)",
                          static_cast<int>(p[2]), static_cast<int>(STREAM_VERSION));
    }
    read_position_ += HANDSHAKE_SIZE;
  } else if (mode_ == HandshakeMode::required) {
    return raise(PyExc_ValueError, "Expected stream handshake 'QM' not found");
  }
  handshake_received_ = true;
  return Status::success();
}

PyObject* StreamDecoder::read_frames() {
  PyRef values = PyRef::steal(PyList_New(0));
  if (!values) return nullptr;
  while (pending() >= FRAME_HEADER_SIZE) {
    const uint8_t* frame = buffer_.data() + read_position_;
    FrameHeader header = read_frame_header(frame);
    if (header.payload_length > max_frame_size_) {
      clear();
      return PyErr_Format(PyExc_ValueError, "Frame size %llu exceeds maximum allowed %llu",
                          static_cast<unsigned long long>(header.payload_length),
                          static_cast<unsigned long long>(max_frame_size_));
    }
    if (header.type == FRAME_TYPE_EOS) {
      end_stream(header.payload_length);
      break;
    }
    size_t available = pending() - FRAME_HEADER_SIZE;
    if (available < header.payload_length) break;
    size_t frame_size = FRAME_HEADER_SIZE + header.payload_length;
    if (header.type == FRAME_TYPE_SKIP) {
      read_position_ += frame_size;
      continue;
    }
    if (header.type != FRAME_TYPE_DATA) {
      clear();
      return PyErr_Format(PyExc_ValueError, "Unknown frame type: 0x%02x",
                          static_cast<unsigned int>(header.type));
    }
    // The buffer stays put while the payload decodes: feed holds this
    // decoder exclusively, so no callback can reach it.
    std::span<const uint8_t> payload(frame + FRAME_HEADER_SIZE, header.payload_length);
    // An envelope is refused from its declared document size when that is
    // above the frame limit too, before anything is allocated for it.
    PyRef value = PyRef::steal(decode_packed(
        codec_, payload, (header.flags & FRAME_FLAG_COMPRESSED) != 0, max_frame_size_));
    if (!value) {
      remember_failure();
      return nullptr;
    }
    if (PyList_Append(values.get(), value.get()) < 0) return nullptr;
    read_position_ += frame_size;
  }
  return values.release();
}

// The end-of-stream frame may declare a payload that has not arrived; the
// read position stops at the buffer's end and whatever follows is counted as
// bytes after the end of the stream.
void StreamDecoder::end_stream(uint64_t payload_length) noexcept {
  size_t skipped = static_cast<size_t>(
      std::min<uint64_t>(FRAME_HEADER_SIZE + payload_length, pending()));
  read_position_ += skipped;
  discarded_ = pending();
  buffer_.clear();
  read_position_ = 0;
  is_eos_ = true;
}

}  // namespace quarl
