#include "descriptor/enum_table.h"

#include <new>

#include "common/native_box.h"
#include "descriptor/value_type.h"

namespace velum {

namespace {

PyTypeObject* g_type = nullptr;

int EnumTable_traverse(PyObject* self, visitproc visit, void* arg) {
  EnumTable* table = AsEnumTable(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(table->desc.get());
  Py_VISIT(table->enum_class.get());
  Py_VISIT(table->default_value.get());
  for (const EnumValueEntry& entry : table->values) Py_VISIT(entry.member.get());
  return 0;
}

int EnumTable_clear(PyObject* self) {
  EnumTable* table = AsEnumTable(self);
  table->numbers_by_name.clear();  // before the names its keys point into
  table->dense.clear();
  table->sparse.clear();
  table->values.clear();
  table->enum_class.reset();
  table->default_value.reset();
  table->desc.reset();
  return 0;
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<EnumTable, AsEnumTable>)},
    {Py_tp_traverse, reinterpret_cast<void*>(EnumTable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(EnumTable_clear)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.DescEnum",
    sizeof(EnumTableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

Result<PyTypeObject*> Type() { return ReadyType(g_type, kSpec); }

Result<int32_t> ToInt32(PyObject* value) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return Status::Pending();
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
    return Status(ErrorKind::kOverflow, "enum value number out of range for int32");
  }
  return static_cast<int32_t>(v);
}

Result<Ref> GetStr(PyObject* obj, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (!value) return Status::Pending();
  if (!PyUnicode_Check(value.get())) {
    return Status(ErrorKind::kType, "descriptor name attribute cannot be converted to str");
  }
  return value;
}

// A `str` member of an enum value descriptor, from its slot when it has one.
Result<Ref> ValueStr(const RuntimeNames& names, PyObject* value_desc, Name name) {
  VELUM_ASSIGN_OR_RETURN(Ref value, names.read(value_desc, RuntimeClass::kDescEnumValue, name));
  if (!PyUnicode_Check(value.get())) {
    return Status(ErrorKind::kType, "descriptor name attribute cannot be converted to str");
  }
  return value;
}

bool StartsWith(PyObject* text, const char* prefix) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  size_t n = strlen(prefix);
  return static_cast<size_t>(size) >= n && memcmp(utf8, prefix, n) == 0;
}

// Everything but the class and its members, which wait for EnsureMembers.
Status FillTable(const RuntimeNames& names, PyObject* desc, EnumTable* table) {
  VELUM_ASSIGN_OR_RETURN(table->type_name, GetStr(desc, names.name(Name::kTypeName)));
  VELUM_ASSIGN_OR_RETURN(Ref open, names.read(desc, RuntimeClass::kDescEnum, Name::kOpen));
  if (!PyBool_Check(open.get())) return Status(ErrorKind::kType, "DescEnum.open cannot be converted to bool");
  table->open = open.get() == Py_True;
  VELUM_ASSIGN_OR_RETURN(Ref values, names.read(desc, RuntimeClass::kDescEnum, Name::kValues));
  if (!PyList_Check(values.get())) return Status(ErrorKind::kType, "DescEnum.values cannot be converted to list");
  table->values.reserve(static_cast<size_t>(PyList_GET_SIZE(values.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
    VELUM_ASSIGN_OR_RETURN(Ref number_obj, names.read(value.get(), RuntimeClass::kDescEnumValue, Name::kNumber));
    VELUM_ASSIGN_OR_RETURN(int32_t number, ToInt32(number_obj.get()));
    VELUM_ASSIGN_OR_RETURN(Ref local_name, ValueStr(names, value.get(), Name::kLocalName));
    VELUM_ASSIGN_OR_RETURN(Ref name, ValueStr(names, value.get(), Name::kName));
    VELUM_ASSIGN_OR_RETURN(Ref json_name, names.read(value.get(), RuntimeClass::kDescEnumValue, Name::kJsonName));
    if (json_name.get() == Py_None) {
      json_name = name.clone();  // a value without a JSON name is known by its name
    } else if (!PyUnicode_Check(json_name.get())) {
      return Status(ErrorKind::kType, "descriptor name attribute cannot be converted to str");
    }
    table->values.push_back(
        EnumValueEntry{number, std::move(name), std::move(local_name), std::move(json_name), Ref()});
  }
  if (table->values.empty()) return Status(ErrorKind::kValue, "enum must have at least one value");

  int32_t lo = INT32_MAX, hi = INT32_MIN;
  for (const EnumValueEntry& entry : table->values) {
    lo = std::min(lo, entry.number);
    hi = std::max(hi, entry.number);
  }
  int64_t span = static_cast<int64_t>(hi) - lo + 1;
  if (span <= 2 * static_cast<int64_t>(table->values.size()) + 16) {
    table->dense_min = lo;
    table->dense.assign(static_cast<size_t>(span), nullptr);
    for (const EnumValueEntry& entry : table->values) {
      // The first value declared with a number is its canonical member (aliases).
      const EnumValueEntry*& slot = table->dense[static_cast<size_t>(entry.number - lo)];
      if (slot == nullptr) slot = &entry;
    }
  } else {
    for (const EnumValueEntry& entry : table->values) table->sparse.emplace(entry.number, &entry);
  }

  table->is_null_value = false;
  if (PyUnicode_CompareWithASCIIString(table->type_name.get(), "google.protobuf.NullValue") == 0) {
    Ref file = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kFile)));
    if (!file) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(Ref file_name, GetStr(file.get(), names.name(Name::kName)));
    table->is_null_value = StartsWith(file_name.get(), "google/protobuf/");
  }
  return Status::Ok();
}

// The JSON reader's map of value names, made with the members: JSON is read
// only through instances, as the members are, and most loaded enums never are.
Status FillNames(EnumTable* table) {
  table->numbers_by_name.clear();  // (a failed first try may have left some)
  table->numbers_by_name.reserve(table->values.size());
  for (const EnumValueEntry& entry : table->values) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(entry.name.get(), &size);
    if (utf8 == nullptr) return Status::Pending();
    table->numbers_by_name.emplace(std::string_view(utf8, static_cast<size_t>(size)), entry.number);
  }
  return Status::Ok();
}

PyObject* OwnerOf(EnumTable* table) noexcept {
  return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(table) - offsetof(EnumTableObject, table));
}

}  // namespace

bool IsEnumTable(PyObject* obj) noexcept { return g_type != nullptr && Py_IS_TYPE(obj, g_type); }

Result<Ref> GetEnumTable(const RuntimeNames& names, PyObject* enum_desc) {
  PyObject** cache = names.raw_address(enum_desc, RawSlot::kEnumTable);
  if (cache != nullptr && *cache != nullptr && IsEnumTable(*cache)) return Ref::borrow(*cache);
  // A loaded enum whose class is not made yet gets a table of its own; any
  // other goes through its class as it always did.
  PyObject** type_slot = names.raw_address(enum_desc, RawSlot::kEnumType);
  const bool no_class_yet =
      cache != nullptr && type_slot != nullptr && (*type_slot == nullptr || *type_slot == Py_None);
  Ref cls;
  if (!no_class_yet) {
    VELUM_ASSIGN_OR_RETURN(ValueTypeLookup found,
                           LookupValueType(names, enum_desc, RawSlot::kEnumType, IsEnumTable, "DescEnum"));
    if (found.cached) {
      if (cache != nullptr) Py_XSETREF(*cache, found.cached.clone().release());
      return std::move(found.cached);
    }
    cls = std::move(found.cls);
  }
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, Type());
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return Status::Pending();
  EnumTable* t = new (AsEnumTable(obj.get())) EnumTable();
  t->desc = Ref::borrow(enum_desc);
  t->enum_class = std::move(cls);
  VELUM_TRY(FillTable(names, enum_desc, t));
  // With the class at hand the members cost little; the null enum's default is
  // read when the well-known Value type is built. Either is filled before the
  // table is cached, so that a cached table never misses them.
  if (t->enum_class || t->is_null_value) VELUM_TRY(FillMembers(names, t));
  if (t->enum_class) VELUM_TRY(StoreValueType(names, t->enum_class.get(), obj.get()));
  if (cache != nullptr) Py_XSETREF(*cache, obj.clone().release());
  return obj;
}

Status FillMembers(const RuntimeNames& names, EnumTable* table) {
  return table->members_gate.Run([&]() -> Status {
    Ref cls = table->enum_class.clone();
    const bool had_class = static_cast<bool>(cls);
    if (!had_class) {
      if (!table->desc) return Status(ErrorKind::kRuntime, "enum table was cleared");
      cls = Ref::steal(PyObject_GetAttr(table->desc.get(), names.name(Name::kType)));
      if (!cls) return Status::Pending();
      if (!PyType_Check(cls.get())) return Status(ErrorKind::kType, "DescEnum.type cannot be converted to a type");
    }
    for (EnumValueEntry& entry : table->values) {
      entry.member = Ref::steal(PyObject_GetAttr(cls.get(), entry.local_name.get()));
      if (!entry.member) return Status::Pending();
    }
    table->default_value = table->values[0].member.clone();
    VELUM_TRY(FillNames(table));
    if (!had_class) {
      VELUM_TRY(StoreValueType(names, cls.get(), OwnerOf(table)));
      table->enum_class = std::move(cls);
    }
    return Status::Ok();
  });
}

}  // namespace velum
