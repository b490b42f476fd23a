#include "parser/unknown_capture.h"

#include <cstring>

#include "common/py_error.h"
#include "descriptor/instance.h"
#include "common/wire.h"

namespace velum::unknown {

Status AddRecord(PyObject* msg, uint32_t number, Ref record) {
  VELUM_ASSIGN_OR_RETURN(PyObject* store, GetOrInitUnknownFields(msg));
  // Python code can reach the dict; hold it while its items are replaced.
  Ref hold = Ref::borrow(store);
  Ref key = Ref::steal(PyLong_FromUnsignedLong(number));
  if (!key) return Status::Pending();
  Ref list = Ref::borrow(PyDict_GetItemWithError(store, key.get()));
  if (!list) {
    // Whatever made the lookup fail (a missing key above all), the number
    // starts a fresh list.
    PyErr_Clear();
    list = Ref::steal(PyList_New(0));
    if (!list) return Status::Pending();
    if (PyDict_SetItem(store, key.get(), list.get()) < 0) return Status::Pending();
  } else if (!PyList_Check(list.get())) {
    return TypeCheckError(list.get(), "list");
  }
  if (PyList_Append(list.get(), record.get()) < 0) return Status::Pending();
  return Status::Ok();
}

Status AddRawRecord(PyObject* msg, uint32_t number, const uint8_t* data, size_t size) {
  Ref record = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
  if (!record) return Status::Pending();
  return AddRecord(msg, number, std::move(record));
}

Status AddVarintRecord(PyObject* msg, uint32_t number, uint32_t tag, uint64_t value) {
  uint8_t bytes[2 * wire::kMaxVarintBytes];
  size_t size = wire::EncodeVarint(tag, bytes);
  size += wire::EncodeVarint(value, bytes + size);
  return AddRawRecord(msg, number, bytes, size);
}

Status AddEntryRecord(PyObject* msg, uint32_t number, uint32_t tag, const uint8_t* entry, size_t size) {
  uint8_t head[2 * wire::kMaxVarintBytes];
  size_t head_size = wire::EncodeVarint(tag, head);
  head_size += wire::EncodeVarint(size, head + head_size);
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX) - head_size) return Status(ErrorKind::kMemory, "record too large");
  Ref record = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head_size + size)));
  if (!record) return Status::Pending();
  char* out = PyBytes_AS_STRING(record.get());
  std::memcpy(out, head, head_size);
  if (size != 0) std::memcpy(out + head_size, entry, size);
  return AddRecord(msg, number, std::move(record));
}

}  // namespace velum::unknown
