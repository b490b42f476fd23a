#include "wkt_registry/packed_fields.h"

#include "common/utf8_text.h"
#include "descriptor/instance.h"
#include "parser/decode_values.h"

namespace velum::wkt {

namespace {

using wire::WireReader;

bool IsPlainField(const FieldSpec& f) noexcept {
  if (f.shadowed || f.in_oneof() || f.presence == Presence::kRequired) return false;
  if (f.shape == FieldShape::kMap || f.kind.value.tag == ElementTag::kMessage) return false;
  // An explicit field is written when its bit is set; without a bit it never is.
  return f.shape == FieldShape::kList || f.presence == Presence::kImplicit || f.has_presence_bit;
}

// One value of `f`'s element kind. An enum's unknown number of a closed enum
// would go to the unknown fields: not for the short road.
// `out` receives a new reference.
bool ReadElement(const FieldSpec& f, WireReader& reader, PyObject*& out) {
  const ElementKind& kind = f.kind.value;
  if (kind.tag == ElementTag::kEnum) {
    Ref member;
    uint64_t raw = 0;
    if (!decoder::ReadEnum(*kind.table, reader, member, raw).ok() || !member) return false;
    out = member.release();
    return true;
  }
  PyObject* value = nullptr;
  if (!decoder::ReadScalarObject(kind.scalar, reader, value) || value == nullptr) return false;
  out = value;
  return true;
}

// Appends and drops `value`, a new reference.
bool AppendNew(PyObject* list, PyObject* value) {
  const int appended = PyList_Append(list, value);
  Py_DECREF(value);
  return appended == 0;
}

// One record of a list field: one element, or packed elements.
bool ReadListRecord(const FieldSpec& f, WireReader& reader, uint32_t wire_type, PackedFields& out, size_t i) {
  PyObject* list = out.get(i);
  if (list == nullptr) {
    list = PyList_New(0);
    if (list == nullptr) return false;
    out.Set(i, list);
  }
  if (wire_type == kWireLengthDelimited && f.packable) {
    WireReader packed;
    if (!reader.ReadLengthDelimited(packed)) return false;
    if (f.kind.value.tag == ElementTag::kScalar) {
      return decoder::AppendPacked(f.kind.value.scalar, list, packed).ok();
    }
    while (!packed.empty()) {
      PyObject* value = nullptr;
      if (!ReadElement(f, packed, value) || !AppendNew(list, value)) return false;
    }
    return true;
  }
  PyObject* value = nullptr;
  return ReadElement(f, reader, value) && AppendNew(list, value);
}

// As the decoder places records: the field of the number, in its declared wire
// type or, for a list, either element form.
bool Accepts(const FieldSpec& f, uint32_t wire_type) noexcept {
  if (wire_type == f.wire_type) return true;
  return f.shape == FieldShape::kList &&
         (wire_type == f.element_wire_type || (wire_type == kWireLengthDelimited && f.packable));
}

// A string record: its bytes stay in the payload, checked as the decoder's
// str would be (anything but well-formed UTF-8 goes the usual road).
bool ReadText(WireReader& reader, const char*& data, size_t& size) {
  const uint8_t* bytes = nullptr;
  if (!reader.ReadLengthDelimited(bytes, size)) return false;
  if (!utf8::MeasureText(bytes, size).valid) return false;
  data = reinterpret_cast<const char*>(bytes);
  return true;
}

bool ReadRecords(const MessageMarshaler& m, WireReader& reader, PackedFields& out) {
  const FieldSpec* const first = m.fields.data();
  while (!reader.empty()) {
    uint32_t tag = 0;
    if (!reader.ReadTag(tag)) return false;
    const uint32_t wire_type = wire::TagWireType(tag);
    if (tag < 8 || wire_type > kWireFixed32) return false;
    const FieldSpec* f = m.index.Find(wire::TagFieldNumber(tag));
    // A record the decoder would keep as unknown may name an extension.
    if (f == nullptr || !Accepts(*f, wire_type)) return false;
    const auto i = static_cast<size_t>(f - first);
    if (out.InPayload(*f)) {
      const char* data = nullptr;
      size_t size = 0;
      if (!ReadText(reader, data, size)) return false;
      PackedFields::Text& text = out.text(i);
      text.size = f->shape == FieldShape::kList ? text.size + 1 : size;
      text.data = data;
    } else if (f->shape == FieldShape::kList) {
      if (!ReadListRecord(*f, reader, wire_type, out, i)) return false;
    } else {
      PyObject* value = nullptr;
      if (!ReadElement(*f, reader, value)) return false;
      out.Set(i, value);
    }
  }
  return true;
}

}  // namespace

bool PayloadTexts::Next(std::string_view& text) noexcept {
  while (!reader_.empty()) {
    uint32_t tag = 0;
    if (!reader_.ReadTag(tag)) return false;
    const uint32_t number = wire::TagFieldNumber(tag);
    const uint32_t wire_type = wire::TagWireType(tag);
    if (number == number_ && wire_type == kWireLengthDelimited) {
      const uint8_t* data = nullptr;
      size_t size = 0;
      if (!reader_.ReadLengthDelimited(data, size)) return false;
      text = std::string_view(reinterpret_cast<const char*>(data), size);
      return true;
    }
    if (!reader_.SkipField(number, wire_type, 0).ok()) return false;
  }
  return false;
}

bool ReadsPackedDirectly(const MessageMarshaler& m) noexcept {
  const auto* cls = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  // Enum members are filled when a type's first instance is made; until then the
  // usual road makes that instance, and later payloads of the type come this way.
  if (!m.lazy_ready.load(std::memory_order_acquire)) return false;
  if (m.well_known != WellKnownType::kNone || !m.slot_storage || cls == nullptr ||
      cls->tp_new != NativeMessageType()->tp_new || m.fields.size() > PackedFields::kMaxFields || !m.oneofs.empty()) {
    return false;
  }
  for (const FieldSpec& f : m.fields) {
    if (!IsPlainField(f)) return false;
  }
  return true;
}

bool ReadPackedFields(const MessageMarshaler& m, PyObject* data, PackedFields& out) {
  if (!PyBytes_Check(data)) return false;
  wire::ScopedInput bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                          static_cast<size_t>(PyBytes_GET_SIZE(data)));
  bool read = false;
  {
    WireReader reader(bytes.ref());
    read = ReadRecords(m, reader, out);
  }
  if (!read) {
    // The usual decode meets the same fault again and reports it in its words.
    if (PyErr_Occurred()) PyErr_Clear();
    out.Clear();
  }
  return read;
}

}  // namespace velum::wkt
