#include "encoder/encoder_state.h"

#include "format/limits.h"

namespace quarl {

void EncoderState::prepare_once() {
  layout = ObjectLayout::verified();
  payload_buffer = DocumentBuffer(CODEC_BUFFER_INITIAL_CAPACITY, BytesStorage(layout.bytes_text_offset));
  prepared = true;
}

EncoderState::~EncoderState() {
  // The table and buffers go first, then the remembered types.
  strings = StringTable();
  spliced.clear();
  payload_buffer.release_storage();
  compressed_buffer.release_storage();
  gather_buffer.release_storage();
  datetime_layouts = LayoutVerdicts();
}

}  // namespace quarl
