// Capture of records the decoder cannot place in a field. They are kept in the
// instance's unknown-field dict ({field number: [bytes, ...]}) so that a later
// encode writes them back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ref.h"
#include "common/status.h"

namespace velum::unknown {

// Appends `record` (a bytes object) to the list of `number` in the store of
// `msg` (a NativeMessage), creating the store and the list as needed.
Status AddRecord(PyObject* msg, uint32_t number, Ref record);

// A record taken verbatim from the input: [data, data + size).
Status AddRawRecord(PyObject* msg, uint32_t number, const uint8_t* data, size_t size);

// A record rebuilt from a tag and a varint value, both in shortest form (an
// enum number outside a closed enum).
Status AddVarintRecord(PyObject* msg, uint32_t number, uint32_t tag, uint64_t value);

// A dropped map entry: the field's tag and the entry length re-encoded in
// shortest form, then the entry bytes as received.
Status AddEntryRecord(PyObject* msg, uint32_t number, uint32_t tag, const uint8_t* entry, size_t size);

}  // namespace velum::unknown
