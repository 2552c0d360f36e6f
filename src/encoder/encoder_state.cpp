#include "encoder/encoder_state.h"

#include "format/limits.h"

namespace quarl {

void EncoderState::prepare_once() {
  layout = ObjectLayout::verified();
  payload_buffer = DocumentBuffer(CODEC_BUFFER_INITIAL_CAPACITY, BytesStorage(layout.bytes_text_offset));
  prepared = true;
}

}  // namespace quarl
