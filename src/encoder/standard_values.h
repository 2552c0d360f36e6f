// The standard library's dates, times, datetimes and UUIDs, written from
// their fields: the text is exactly what isoformat() and `hex` give.
#pragma once

#include <Python.h>

#include "common/status.h"
#include "encoder/type_decisions.h"
#include "encoder/encoder_state.h"

namespace quarl {

// For objects of exactly datetime.date, datetime.time and datetime.datetime.
Status write_standard_date(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo);
Status write_standard_time(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo);
Status write_standard_datetime(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo);
// For objects of exactly uuid.UUID.
Status write_standard_uuid(EncoderState& codec, PyObject* obj, const EncodeNames& names);

}  // namespace quarl
