#include "nativemessage/native_message.h"

#include <iterator>
#include <new>

#include "common/method_def.h"
#include "common/py_error.h"
#include "descriptor/runtime_names.h"
#include "common/arg_binding.h"
#include "field_ops/field_select.h"
#include "field_ops/new_instance.h"
#include "json_parse/json_reader.h"
#include "json_sink/json_writer.h"
#include "nativemessage/operations.h"
#include "parser/decode_input.h"
#include "reverse_buffer/encoder.h"

namespace velum {

namespace {

PyTypeObject* g_type = nullptr;

}  // namespace

// ---- instance lifecycle -------------------------------------------------

namespace {

int NativeMessage_traverse(PyObject* self, visitproc visit, void* arg) { return TraverseNativePart(self, visit, arg); }

int NativeMessage_clear(PyObject* self) {
  ClearNativePart(self);
  return 0;
}

// The dealloc of instances whose class is not generated here (made by
// type(), whose own dealloc releases the field slots first).
void NativeMessage_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  FreeInstance(self, Py_TYPE(self));
}

// ---- presence -----------------------------------------------------------

constexpr args::Param kFieldNumberParams[] = {{"field_number", false, true}};
constinit args::Signature kGetPresent("NativeMessage._get_field_number_present()", kFieldNumberParams);
constinit args::Signature kSetPresent("NativeMessage._set_field_number_present()", kFieldNumberParams);
constinit args::Signature kIsFieldSet("NativeMessage._is_field_number_set()", kFieldNumberParams);
constinit args::Signature kClearPresent("NativeMessage._clear_field_number_present()", kFieldNumberParams);

Result<uint32_t> BindFieldNumber(const args::Signature& sig, PyObject* const* argv, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* found[1];
  VELUM_TRY(args::Bind(sig, argv, nargs, kwnames, found));
  uint32_t number = 0;
  VELUM_TRY(args::ToUint32(found[0], "field_number", &number));
  return number;
}

PyObject* GetFieldNumberPresent(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Result<uint32_t> number = BindFieldNumber(kGetPresent, argv, nargs, kwnames);
    if (!number.ok()) return Raise(std::move(number).status());
    return PyBool_FromLong(AsNative(self)->presence.Get(number.value()));
  });
}

PyObject* SetFieldNumberPresent(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Result<uint32_t> number = BindFieldNumber(kSetPresent, argv, nargs, kwnames);
    if (!number.ok()) return Raise(std::move(number).status());
    PresenceBits& bits = AsNative(self)->presence;
    if (!bits.Set(number.value())) return Raise(bits.FailureStatus(number.value()));
    Py_RETURN_NONE;
  });
}

PyObject* ClearFieldNumberPresent(PyObject* self, PyObject* const* argv, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Result<uint32_t> number = BindFieldNumber(kClearPresent, argv, nargs, kwnames);
    if (!number.ok()) return Raise(std::move(number).status());
    PresenceBits& bits = AsNative(self)->presence;
    if (!bits.Clear(number.value())) return Raise(bits.FailureStatus(number.value()));
    Py_RETURN_NONE;
  });
}

PyObject* GetPresent(PyObject* self, void*) noexcept {
  return Guard([&]() -> PyObject* {
    RawVector<uint32_t> numbers = AsNative(self)->presence.List();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < numbers.size(); ++i) {
      PyObject* number = PyLong_FromUnsignedLong(numbers[i]);
      if (number == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
  });
}

// ---- unknown fields -----------------------------------------------------

PyObject* GetUnknownFields(PyObject* self, void*) noexcept {
  PyObject* store = AsNative(self)->unknown_fields;
  return Py_NewRef(store != nullptr ? store : Py_None);
}

// Whether the field of that number is written by the encoders: the same
// selection, so has_field and repr agree with the output.
PyObject* IsFieldNumberSet(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    Result<uint32_t> number = BindFieldNumber(kIsFieldSet, argv, nargs, kwnames);
    if (!number.ok()) return Raise(std::move(number).status());
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    const FieldSpec* spec = AsMarshaler(marshaler->get())->index.Find(number.value());
    if (spec == nullptr) Py_RETURN_FALSE;
    Result<bool> set = IsFieldSet(*spec, self);
    if (!set.ok()) return Raise(std::move(set).status());
    return PyBool_FromLong(set.value());
  });
}

PyObject* GetOrInitUnknownFieldsMethod(PyObject* self, PyObject*) noexcept {
  return Guard([&]() -> PyObject* {
    Result<PyObject*> store = GetOrInitUnknownFields(self);
    if (!store.ok()) return Raise(std::move(store).status());
    return Py_NewRef(store.value());
  });
}

// ---- codec entry points -------------------------------------------------

constexpr args::Param kFromBinaryParams[] = {{"data", false, true}, {"ignore_unknown_fields", true, false}};
constinit args::Signature kFromBinary("NativeMessage.from_binary()", kFromBinaryParams);
constexpr args::Param kToBinaryParams[] = {{"write_unknown_fields", true, false}};
constinit args::Signature kToBinary("NativeMessage.to_binary()", kToBinaryParams);
constexpr args::Param kMergeFromBinaryParams[] = {{"data", false, true}, {"ignore_unknown_fields", false, true}};
constinit args::Signature kMergeFromBinary("NativeMessage._merge_from_binary()", kMergeFromBinaryParams);
constexpr args::Param kJsonWriteParams[] = {{"registry", true, false},
                                            {"always_emit_implicit", true, false},
                                            {"print_enums_as_ints", true, false},
                                            {"use_proto_field_name", true, false}};
constinit args::Signature kToJson("NativeMessage.to_json()", kJsonWriteParams);
constinit args::Signature kToJsonValue("NativeMessage._to_json_value()", kJsonWriteParams);
// The public names of the value tree, bound here rather than in Python so that
// a call costs no forwarding frame.
constinit args::Signature kToDict("NativeMessage.to_dict()", kJsonWriteParams);
constinit args::Signature kToJsonValuePublic("NativeMessage.to_json_value()", kJsonWriteParams);
constexpr args::Param kJsonReadParams[] = {
    {"json", false, true}, {"ignore_unknown_fields", true, false}, {"registry", true, false}};
constinit args::Signature kFromJson("NativeMessage.from_json()", kJsonReadParams);
constinit args::Signature kMergeFromJson("NativeMessage._merge_from_json()", kJsonReadParams);
constexpr args::Param kJsonValueReadParams[] = {
    {"data", false, true}, {"ignore_unknown_fields", true, false}, {"registry", true, false}};
constinit args::Signature kFromJsonValue("NativeMessage._from_json_value()", kJsonValueReadParams);
constinit args::Signature kFromDict("NativeMessage.from_dict()", kJsonValueReadParams);
// from_json_value has always called its input `value`.
constexpr args::Param kFromJsonValuePublicParams[] = {
    {"value", false, true}, {"ignore_unknown_fields", true, false}, {"registry", true, false}};
constinit args::Signature kFromJsonValuePublic("NativeMessage.from_json_value()", kFromJsonValuePublicParams);
constexpr args::Param kDeepCopyParams[] = {{"_memo", false, true}};
constinit args::Signature kDeepCopy("NativeMessage.__deepcopy__()", kDeepCopyParams);
constexpr args::Param kMergeFromParams[] = {{"source", false, true}, {"ignore_unknown_fields", false, true}};
constinit args::Signature kMergeFrom("NativeMessage._merge_from()", kMergeFromParams);

// Fills the caller's options in place, as BindJsonRead does: they hold the
// call's caches, which are not worth moving.
Status BindJsonWrite(const args::Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                     JsonWriteOptions& options) {
  PyObject* found[4];
  VELUM_TRY(args::Bind(sig, argv, nargs, kwnames, found));
  options.registry = args::NoneAsAbsent(found[0]);
  VELUM_TRY(args::ToBool(found[1], "always_emit_implicit", &options.always_emit_implicit));
  VELUM_TRY(args::ToBool(found[2], "print_enums_as_ints", &options.print_enums_as_ints));
  VELUM_TRY(args::ToBool(found[3], "use_proto_field_name", &options.use_proto_field_name));
  return Status::Ok();
}

// Fills the caller's options in place: they hold the call's caches, which
// are not worth moving.
Status BindJsonRead(const args::Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** input, JsonReadOptions& options) {
  PyObject* found[3];
  VELUM_TRY(args::Bind(sig, argv, nargs, kwnames, found));
  *input = found[0];
  VELUM_TRY(args::ToBool(found[1], "ignore_unknown_fields", &options.ignore_unknown_fields));
  options.registry = args::NoneAsAbsent(found[2]);
  return Status::Ok();
}

PyObject* FromBinary(PyObject* cls, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[2];
    if (Status s = args::Bind(kFromBinary, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    bool ignore_unknown = false;
    if (Status s = args::ToBool(found[1], "ignore_unknown_fields", &ignore_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Result<Ref> marshaler = MarshalerOfType(cls);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    Result<Ref> result = DecodeNew(*AsMarshaler(marshaler->get()), found[0], ignore_unknown,
                                   reinterpret_cast<PyTypeObject*>(cls));
    return ReturnNew(std::move(result));
  });
}

PyObject* ToBinary(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[1];
    if (Status s = args::Bind(kToBinary, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    bool write_unknown = true;
    if (Status s = args::ToBool(found[0], "write_unknown_fields", &write_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    Result<Ref> result = EncodeToBytes(*AsMarshaler(marshaler->get()), self, write_unknown);
    return ReturnNew(std::move(result));
  });
}

PyObject* MergeFromBinary(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[2];
    if (Status s = args::Bind(kMergeFromBinary, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    bool ignore_unknown = false;
    if (Status s = args::ToBool(found[1], "ignore_unknown_fields", &ignore_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    if (Status s = DecodeInto(*AsMarshaler(marshaler->get()), self, found[0], ignore_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Py_RETURN_NONE;
  });
}

PyObject* ToJsonCommon(const args::Signature& sig, bool as_text, PyObject* self, PyObject* const* argv,
                       Py_ssize_t nargs, PyObject* kwnames) {
  JsonWriteOptions options;
  // Most calls pass nothing: the defaults stand, and no parameter is required.
  if (PyVectorcall_NARGS(nargs) != 0 || kwnames != nullptr) {
    if (Status s = BindJsonWrite(sig, argv, nargs, kwnames, options); !s.ok()) return Raise(std::move(s));
  }
  // The instance's cached marshaler is held by the instance, which the
  // caller holds for the call; only an instance without one is looked up.
  Ref looked_up;
  PyObject* marshaler = AsNative(self)->marshaler;
  if (marshaler == nullptr) [[unlikely]] {
    Result<Ref> found = MarshalerOfInstance(self);
    if (!found.ok()) return Raise(std::move(found).status());
    looked_up = std::move(found).value();
    marshaler = looked_up.get();
  }
  // The result initialises ReturnNew's parameter directly, with no move between.
  return ReturnNew(as_text ? WriteJsonText(*AsMarshaler(marshaler), self, options)
                           : WriteJsonValue(*AsMarshaler(marshaler), self, options));
}

PyObject* ToJson(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return ToJsonCommon(kToJson, true, self, argv, nargs, kwnames); });
}

PyObject* ToJsonValue(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return ToJsonCommon(kToJsonValue, false, self, argv, nargs, kwnames); });
}

PyObject* ToDict(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return ToJsonCommon(kToDict, false, self, argv, nargs, kwnames); });
}

PyObject* ToJsonValuePublic(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return ToJsonCommon(kToJsonValuePublic, false, self, argv, nargs, kwnames); });
}

PyObject* FromJsonCommon(const args::Signature& sig, bool from_text, PyObject* cls, PyObject* const* argv,
                         Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* input = nullptr;
  JsonReadOptions options;
  if (Status s = BindJsonRead(sig, argv, nargs, kwnames, &input, options); !s.ok()) return Raise(std::move(s));
  Result<Ref> marshaler = MarshalerOfType(cls);
  if (!marshaler.ok()) return Raise(std::move(marshaler).status());
  Result<Ref> result = ReadJsonNew(*AsMarshaler(marshaler->get()), input, from_text, options,
                                   reinterpret_cast<PyTypeObject*>(cls));
  return ReturnNew(std::move(result));
}

PyObject* FromJson(PyObject* cls, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return FromJsonCommon(kFromJson, true, cls, argv, nargs, kwnames); });
}

PyObject* FromJsonValue(PyObject* cls, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return FromJsonCommon(kFromJsonValue, false, cls, argv, nargs, kwnames); });
}

PyObject* FromDict(PyObject* cls, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return FromJsonCommon(kFromDict, false, cls, argv, nargs, kwnames); });
}

PyObject* FromJsonValuePublic(PyObject* cls, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&] { return FromJsonCommon(kFromJsonValuePublic, false, cls, argv, nargs, kwnames); });
}

PyObject* MergeFromJson(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* input = nullptr;
    JsonReadOptions options;
    if (Status s = BindJsonRead(kMergeFromJson, argv, nargs, kwnames, &input, options); !s.ok()) {
      return Raise(std::move(s));
    }
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    if (Status s = ReadJsonInto(*AsMarshaler(marshaler->get()), self, input, options); !s.ok()) {
      return Raise(std::move(s));
    }
    Py_RETURN_NONE;
  });
}

// ---- copy and merge -----------------------------------------------------

PyObject* Copy(PyObject* self, PyObject*) noexcept {
  return Guard([&]() -> PyObject* {
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    Result<Ref> result = ShallowCopy(*AsMarshaler(marshaler->get()), self);
    return ReturnNew(std::move(result));
  });
}

PyObject* DeepCopyMethod(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[1];
    if (Status s = args::Bind(kDeepCopy, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    Result<Ref> result = DeepCopy(*AsMarshaler(marshaler->get()), self);
    return ReturnNew(std::move(result));
  });
}

PyObject* MergeFromMethod(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[2];
    if (Status s = args::Bind(kMergeFrom, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    if (!IsNativeMessage(found[0])) {
      return Raise(WithNote(TypeCheckError(found[0], "NativeMessage"), "while processing 'source'"));
    }
    bool ignore_unknown = false;
    if (Status s = args::ToBool(found[1], "ignore_unknown_fields", &ignore_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Result<Ref> marshaler = MarshalerOfInstance(self);
    if (!marshaler.ok()) return Raise(std::move(marshaler).status());
    if (Status s = MergeMessage(*AsMarshaler(marshaler->get()), self, found[0], ignore_unknown); !s.ok()) {
      return Raise(std::move(s));
    }
    Py_RETURN_NONE;
  });
}

PyObject* NativeMessage_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return Guard([&]() -> PyObject* { return CompareMessages(self, other, op); });
}

// ---- the type -----------------------------------------------------------

PyMethodDef kMethods[] = {
    {"from_binary", VELUM_FASTCALL(FromBinary), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("from_binary($cls, data, *, ignore_unknown_fields=False)")},
    {"to_binary", VELUM_FASTCALL(ToBinary), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("to_binary($self, *, write_unknown_fields=True)")},
    {"to_json", VELUM_FASTCALL(ToJson), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("to_json($self, *, registry=None, always_emit_implicit=False, print_enums_as_ints=False, "
                         "use_proto_field_name=False)")},
    {"from_json", VELUM_FASTCALL(FromJson), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("from_json($cls, json, *, ignore_unknown_fields=False, registry=None)")},
    {"_merge_from_json", VELUM_FASTCALL(MergeFromJson), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_merge_from_json($self, json, *, ignore_unknown_fields=False, registry=None)")},
    {"_to_json_value", VELUM_FASTCALL(ToJsonValue), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_to_json_value($self, *, registry=None, always_emit_implicit=False, "
                         "print_enums_as_ints=False, use_proto_field_name=False)")},
    {"_from_json_value", VELUM_FASTCALL(FromJsonValue), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("_from_json_value($cls, data, *, ignore_unknown_fields=False, registry=None)")},
    {"to_dict", VELUM_FASTCALL(ToDict), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("to_dict($self, *, registry=None, always_emit_implicit=False, print_enums_as_ints=False, "
                         "use_proto_field_name=False)")
     "The JSON form as plain Python values: what `json.loads(self.to_json())` gives.\n\n"
     "Options are those of `to_json`: `registry`, `always_emit_implicit`, `print_enums_as_ints`\n"
     "and `use_proto_field_name`. The result may share str and float objects with the\n"
     "message; the containers are new. Messages of most types give a dict, a few well-known\n"
     "types a str, list or None."},
    {"to_json_value", VELUM_FASTCALL(ToJsonValuePublic), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("to_json_value($self, *, registry=None, always_emit_implicit=False, "
                         "print_enums_as_ints=False, use_proto_field_name=False)")
     "The JSON form as plain Python values (dicts, lists, str, ...)."},
    {"from_dict", VELUM_FASTCALL(FromDict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("from_dict($cls, data, *, ignore_unknown_fields=False, registry=None)")
     "A new message read from the JSON form as plain Python values.\n\n"
     "`data` is what `json.loads` gives for the message's JSON text: dicts, lists, str, int,\n"
     "float, bool and None. Options are those of `from_json`: `ignore_unknown_fields` and\n"
     "`registry`. String fields share the str objects of `data`."},
    {"from_json_value", VELUM_FASTCALL(FromJsonValuePublic), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     VELUM_SIGNATURE_DOC("from_json_value($cls, value, *, ignore_unknown_fields=False, registry=None)")
     "A new message read from the JSON form as plain Python values."},
    {"__copy__", Copy, METH_NOARGS, VELUM_SIGNATURE_DOC("__copy__($self)")},
    {"_merge_from_binary", VELUM_FASTCALL(MergeFromBinary), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_merge_from_binary($self, data, ignore_unknown_fields)")},
    {"__deepcopy__", VELUM_FASTCALL(DeepCopyMethod), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("__deepcopy__($self, _memo)")},
    {"_merge_from", VELUM_FASTCALL(MergeFromMethod), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_merge_from($self, source, ignore_unknown_fields)")},
    {"_get_field_number_present", VELUM_FASTCALL(GetFieldNumberPresent), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_get_field_number_present($self, field_number)")},
    {"_is_field_number_set", VELUM_FASTCALL(IsFieldNumberSet), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_is_field_number_set($self, field_number)")},
    {"_set_field_number_present", VELUM_FASTCALL(SetFieldNumberPresent), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_set_field_number_present($self, field_number)")},
    {"_clear_field_number_present", VELUM_FASTCALL(ClearFieldNumberPresent), METH_FASTCALL | METH_KEYWORDS,
     VELUM_SIGNATURE_DOC("_clear_field_number_present($self, field_number)")},
    {"_get_or_init_unknown_fields", GetOrInitUnknownFieldsMethod, METH_NOARGS,
     VELUM_SIGNATURE_DOC("_get_or_init_unknown_fields($self)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"_present", GetPresent, nullptr, "Field numbers whose presence bit is set.", nullptr},
    {"_unknown_fields", GetUnknownFields, nullptr, "The unknown-field store, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("NativeMessage($cls, *_args, **_kwargs)\n--\n\n"
                       "Base class inserted into Python message types to provide accelerated functions.\n\n"
                       "Messages match definitions on the Python Message class. By having priority\n"
                       "in method resolution order, the accelerated definitions are used instead of\n"
                       "pure Python.")},
    {Py_tp_new, reinterpret_cast<void*>(NativeMessage_new)},
    {Py_tp_init, reinterpret_cast<void*>(NativeMessage_init)},
    {Py_tp_setattro, reinterpret_cast<void*>(NativeMessage_setattro)},
    {Py_tp_richcompare, reinterpret_cast<void*>(NativeMessage_richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(NativeMessage_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(NativeMessage_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(NativeMessage_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "velum_ext.NativeMessage",
    sizeof(NativeMessageObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

Status ReadyNativeMessageType() {
  VELUM_TRY(ReadyInstanceNames());
  if (g_type == nullptr) {
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) return Status::Pending();
    g_type = reinterpret_cast<PyTypeObject*>(type);
    SetNativeMessageType(g_type);
  }
  return Status::Ok();
}

}  // namespace velum
