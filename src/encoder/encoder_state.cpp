#include "encoder/encoder_state.h"

#include "format/limits.h"

namespace quarl {

Status EncoderState::prepare_once() {
  if (!ObjectLayout::verified(layout).ok()) return Status::failure();
  payload_buffer = DocumentBuffer(CODEC_BUFFER_INITIAL_CAPACITY, BytesStorage(layout.bytes_text_offset));
  prepared = true;
  return Status::success();
}

}  // namespace quarl
