// The inspect tool's walk over a document: the decoder's own checks, in its
// order and with its errors, keeping no object and describing every field.
#include "decoder/listing.h"

#include <vector>

#include "common/pyref.h"
#include "common/utf8.h"
#include "decoder/decoder_state.h"
#include "decoder/parser.h"
#include "format/endian.h"
#include "format/limits.h"
#include "format/tags.h"

namespace quarl {
namespace {

constexpr uint64_t NO_FAULT = UINT64_MAX;
constexpr uint64_t TAG_SIZE = 1;
constexpr uint64_t LENGTH_FIELD = sizeof(uint32_t);
constexpr uint64_t KEY_FIELD = sizeof(uint32_t);
constexpr uint64_t LIST_HEADER = TAG_SIZE + sizeof(uint32_t);

bool is_length_prefixed(uint8_t tag) noexcept {
  return tag == TAG_STRING || tag == TAG_BYTES || (tag >= TAG_DATETIME && tag <= TAG_DECIMAL);
}

bool is_known_tag(uint8_t tag) noexcept {
  return tag == TAG_NONE || tag == TAG_FALSE || tag == TAG_TRUE || (tag & ~LOW_NIBBLE) == TAG_SMALL_INT ||
         tag == TAG_FLOAT64 || tag == TAG_LIST || tag == TAG_DICT || tag == TAG_FLOAT_ARRAY ||
         is_length_prefixed(tag);
}

// The header and string table, with the checks and messages of the document
// reader; leaves `pos` after the table.
Status list_prefix(std::span<const uint8_t> document, RowSink& rows, size_t& count, size_t& pos,
                   uint64_t& fault) {
  fault = 0;
  if (document.size() < DOCUMENT_HEADER_SIZE) {
    return raise(PyExc_ValueError, "Decompressed buffer too small for QUARL header");
  }
  if (document[0] != DOCUMENT_MAGIC_0 || document[1] != DOCUMENT_MAGIC_1) {
    return raise(PyExc_ValueError, "Invalid QUARL magic number");
  }
  count = read_u16(document.data() + DOCUMENT_STRING_COUNT_OFFSET);
  fault = NO_FAULT;
  if (!rows.add(RowCode::header, 0, DOCUMENT_HEADER_SIZE, 0, count).ok()) return Status::failure();
  size_t len = document.size();
  pos = DOCUMENT_HEADER_SIZE;
  for (size_t i = 0; i < count; ++i) {
    fault = pos;
    if (pos >= len) return raise(PyExc_ValueError, "Unexpected end of buffer in string table");
    size_t length = document[pos];
    if (length > len - pos - 1) {
      return raise(PyExc_ValueError, "String extends beyond buffer in string table");
    }
    Utf8Error error;
    if (!validate_utf8(document.data() + pos + 1, length, error)) {
      return raise_invalid_utf8("string table", error);
    }
    fault = NO_FAULT;
    if (!rows.add(RowCode::entry, pos, pos + 1 + length, 0, i).ok()) return Status::failure();
    pos += 1 + length;
  }
  return Status::success();
}

}  // namespace

void RowSink::mute(uint64_t offset, uint32_t indent) noexcept {
  if (muted_++ == 0) {
    cut_offset_ = offset;
    cut_indent_ = indent;
  }
}

Status RowSink::add(RowCode code, uint64_t offset, uint64_t end, uint32_t indent, uint64_t number) {
  if (muted_ != 0) return Status::success();
  return add_always(code, offset, end, indent, number);
}

Status RowSink::add_always(RowCode code, uint64_t offset, uint64_t end, uint32_t indent,
                           uint64_t number) {
  rows_.reserve_extra(ROW_SIZE);
  rows_.append_u64_unchecked(offset);
  rows_.append_u64_unchecked(end);
  rows_.append_u64_unchecked(number);
  rows_.append_u32_unchecked(indent);
  rows_.push_unchecked(static_cast<uint8_t>(code));
  return rows_.size() >= FLUSH_SIZE ? flush() : Status::success();
}

Status RowSink::flush() {
  if (rows_.empty()) return Status::success();
  PyRef batch = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows_.data()),
                                                       static_cast<Py_ssize_t>(rows_.size())));
  rows_.clear();
  if (!batch) return Status::failure();
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(emit_, batch.get(), nullptr));
  return result ? Status::success() : Status::failure();
}

Status QuarlParser::list(RowSink& rows, uint64_t& fault) {
  fault = NO_FAULT;
  if (!rows.add(RowCode::value_heading, pos_, pos_, 0, 0).ok()) return Status::failure();
  if (!list_value(rows, 0, 0, fault).ok()) return Status::failure();
  if (pos_ < len_) return rows.add(RowCode::trailing, pos_, len_, 0, 0);
  return Status::success();
}

Status QuarlParser::list_value(RowSink& rows, uint32_t indent, uint64_t label, uint64_t& fault) {
  // As parse(): the depth test precedes every read.
  if (++depth_ > MAX_DEPTH) [[unlikely]] {
    fault = pos_;
    too_deep();
    return Status::failure();
  }
  if (!require(TAG_SIZE).ok()) {
    fault = pos_;
    return Status::failure();
  }
  uint64_t start = pos_;
  uint8_t tag = data_[pos_++];
  Status status = tag == TAG_LIST   ? list_list(rows, start, indent, label, fault)
                  : tag == TAG_DICT ? list_dict(rows, start, indent, label, fault)
                                    : list_leaf(rows, start, tag, indent, label, fault);
  --depth_;
  return status;
}

Status QuarlParser::list_list(RowSink& rows, uint64_t start, uint32_t indent, uint64_t label,
                              uint64_t& fault) {
  // The list is shown before its count is judged.
  if (require(LENGTH_FIELD).ok() &&
      !rows.add(RowCode::list, start, start + LIST_HEADER, indent, label).ok()) {
    return Status::failure();
  }
  uint32_t count;
  if (!read_list_count(count).ok()) {
    fault = pos_;
    return Status::failure();
  }
  uint64_t limit = rows.max_items();
  bool muting = false;
  uint64_t hidden_from = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (limit != 0 && i == limit) {
      muting = true;
      hidden_from = pos_;
      rows.mute(pos_, indent + 1);
    }
    if (!list_value(rows, indent + 1, uint64_t{i} + 1, fault).ok()) return Status::failure();
  }
  if (muting && rows.unmute()) {
    return rows.add(RowCode::hidden_items, hidden_from, pos_, indent + 1, count - limit);
  }
  return Status::success();
}

Status QuarlParser::list_dict(RowSink& rows, uint64_t start, uint32_t indent, uint64_t label,
                              uint64_t& fault) {
  if (!rows.add(RowCode::dict, start, start + TAG_SIZE, indent, label).ok()) return Status::failure();
  uint64_t limit = rows.max_items();
  uint64_t entries = 0;
  uint64_t hidden_from = 0;
  for (;;) {
    uint64_t key_start = pos_;
    if (limit != 0 && entries == limit && pos_ < len_ && data_[pos_] != TAG_DICT_END) {
      hidden_from = pos_;
      rows.mute(pos_, indent + 1);
    }
    uint32_t index;
    KeyStep step = next_key(index);
    if (step == KeyStep::end) break;
    if (step == KeyStep::failed) {
      fault = key_start;
      return Status::failure();
    }
    if (!rows.add(RowCode::key, key_start, key_start + KEY_FIELD, indent + 1, index).ok()) {
      return Status::failure();
    }
    if (!list_value(rows, indent + 2, 0, fault).ok()) return Status::failure();
    ++entries;
  }
  uint64_t end = pos_ - TAG_SIZE;
  if (limit != 0 && entries > limit && rows.unmute()) {
    if (!rows.add(RowCode::hidden_entries, hidden_from, end, indent + 1, entries - limit).ok()) {
      return Status::failure();
    }
  }
  return rows.add(RowCode::dict_end, end, pos_, indent, 0);
}

Status QuarlParser::list_leaf(RowSink& rows, uint64_t start, uint8_t tag, uint32_t indent,
                              uint64_t label, uint64_t& fault) {
  bool ok;
  if (tag == TAG_FLOAT_ARRAY) {
    // Bounds are all a float array can fail on; its floats are not built.
    uint32_t count;
    ok = read_float_array_count(count).ok();
    if (ok) pos_ += uint64_t{count} * sizeof(double);
  } else if (tag == TAG_BYTES) {
    uint32_t length;
    ok = read_length_prefix(length).ok();
    if (ok) pos_ += length;
  } else {
    // The decoder's own reading of the value, whose object is dropped at once.
    PyRef value = PyRef::steal(parse_tag(tag));
    ok = static_cast<bool>(value);
  }
  if (!ok) {
    // The field at fault: an unknown tag, a payload whose text was refused,
    // or where the bytes ran out.
    fault = !is_known_tag(tag)                                        ? start
            : is_length_prefixed(tag) && pos_ >= start + LIST_HEADER ? start + LIST_HEADER
                                                                      : pos_;
    return Status::failure();
  }
  return rows.add(RowCode::scalar, start, pos_, indent, label);
}

Status list_document(std::span<const uint8_t> document, RowSink& rows, uint64_t& fault) {
  size_t count = 0;
  size_t pos = 0;
  Status status = list_prefix(document, rows, count, pos, fault);
  DecoderState codec;
  if (status.ok()) status = codec.prepare();
  if (status.ok()) {
    // Only the count of keys matters to a walk that builds no dict.
    std::vector<PyRef> strings(count);
    QuarlParser parser(document, pos, strings, codec);
    status = parser.list(rows, fault);
  }
  if (status.ok()) return rows.flush();
  if (fault == NO_FAULT) return Status::failure();
  // The rows before the fault go out first, with the decoder's error kept.
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Status shown = rows.muted() ? rows.cut() : Status::success();
  if (shown.ok()) shown = rows.flush();
  if (!shown.ok()) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    fault = NO_FAULT;
    return Status::failure();
  }
  PyErr_Restore(type, value, traceback);
  return Status::failure();
}

}  // namespace quarl
