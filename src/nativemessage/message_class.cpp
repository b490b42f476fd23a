#include "nativemessage/message_class.h"

#include <climits>
#include <cstring>
#include <new>


#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "common/status.h"
#include "descriptor/field_names.h"
#include "descriptor/field_table.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"
#include "descriptor/name_index.h"
#include "descriptor/runtime_names.h"
#include "field_ops/new_instance.h"
#include "nativemessage/native_message.h"
#include "nativemessage/slot_members.h"
#include "oneof/oneof.h"

namespace velum {

namespace {

// type() spends most of a message class on work a generated namespace does
// not need: it checks and mangles each slot name, and looks every special
// method up along the MRO to fill the slots of the new type. Here the class is
// made bare by PyType_FromMetaclass, its field slots' descriptors are added to
// it, and its special-method slots are copied from one class type() made for
// the same bases: every generated class defines no special method of its own,
// so they are the same.

struct Names {
  PyObject* slots = nullptr;
  PyObject* module = nullptr;
  PyObject* qualname = nullptr;
  PyObject* name = nullptr;
  PyObject* match_args = nullptr;
  PyObject* doc = nullptr;
  PyObject* slot_members = nullptr;
};
Names g_names;

// The bases the template was made for (owned), and the template (owned).
PyObject* g_template_bases = nullptr;
PyTypeObject* g_template = nullptr;

Status ReadyNames() {
  if (g_names.slots != nullptr) return Status::Ok();
  Names names;
  const std::pair<PyObject**, const char*> wanted[] = {
      {&names.slots, "__slots__"},   {&names.module, "__module__"},         {&names.qualname, "__qualname__"},
      {&names.name, "__name__"},     {&names.match_args, "__match_args__"}, {&names.doc, "__doc__"},
      {&names.slot_members, "__slot_members__"},
  };
  for (const auto& [slot, text] : wanted) {
    *slot = PyUnicode_InternFromString(text);
    if (*slot == nullptr) return Status::Pending();  // the few made stay: interned names are immortal
  }
  g_names = names;
  return Status::Ok();
}

// Field slots start where NativeMessage's part of an instance ends.
Py_ssize_t SlotsStart() noexcept {
  constexpr Py_ssize_t kAlign = alignof(PyObject*);
  return (NativeMessageType()->tp_basicsize + kAlign - 1) / kAlign * kAlign;
}

void Dealloc(PyObject* self);
int Traverse(PyObject* self, visitproc visit, void* arg);
int Clear(PyObject* self);

// The generated class among the types of `self`: its own type, or for an
// instance of a subclass made by type() the nearest base whose `slot` is ours
// (that subclass handles its own slots and dict first, then calls ours).
template <class Fn>
PyTypeObject* Generated(PyObject* self, Fn PyTypeObject::*slot, Fn ours) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  while (type->*slot != ours) type = type->tp_base;
  return type;
}

// NativeMessage's instances are exactly a NativeMessageObject (its basic
// size), so its part ends there: SlotsStart() without asking its type, for
// the walks that run on every instance freed or visited.
constexpr Py_ssize_t kSlotsStart = kFieldSlotsStart;

PyObject** FirstSlot(PyObject* self) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + kSlotsStart);
}

PyObject** EndSlot(PyObject* self, const PyTypeObject* generated) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + generated->tp_basicsize);
}

// Both ends are taken once: a visit or a release may run code the compiler cannot see
// through, so an end in the loop's condition would be reloaded every slot.
void ClearSlots(PyObject* self, const PyTypeObject* generated) noexcept {
  PyObject** const end = EndSlot(self, generated);
  for (PyObject** slot = FirstSlot(self); slot != end; ++slot) Py_CLEAR(*slot);
}

int Traverse(PyObject* self, visitproc visit, void* arg) {
  const PyTypeObject* generated = Generated(self, &PyTypeObject::tp_traverse, &Traverse);
  PyObject** const end = EndSlot(self, generated);
  for (PyObject** slot = FirstSlot(self); slot != end; ++slot) Py_VISIT(*slot);
  return TraverseNativePart(self, visit, arg);
}

int Clear(PyObject* self) {
  ClearSlots(self, Generated(self, &PyTypeObject::tp_clear, &Clear));
  ClearNativePart(self);
  return 0;
}

#ifndef Py_GIL_DISABLED
// A Value about to be kept whose one slot holds a Oneof no one else holds:
// the Oneof stays in the slot, stripped, for the Value's next life
// (TakeKeptWhole) to fill, instead of being freed here and another taken
// then. False when the slot is to be cleared as usual.
bool KeepValueOneof(PyObject* self, PyTypeObject* type, const PyTypeObject* generated) noexcept {
  // Unknown fields are released after this, which may run code: such a
  // Value takes the usual road.
  if (!ValueSlotOnly(generated->tp_basicsize) || AsNative(self)->unknown_fields != nullptr ||
      !WillKeep(type, WellKnownType::kValue))
    return false;
  PyObject** slot = ValueSlot(self);
  PyObject* held = *slot;
  if (held == nullptr || !oneof::Strippable(held)) return false;
  oneof::Strip(held);
  // What the Oneof held may have filled the kept list meanwhile: the Value
  // is then freed, and its Oneof with it.
  if (!WillKeep(type, WellKnownType::kValue)) [[unlikely]] {
    *slot = nullptr;
    oneof::ReleaseStripped(held);
  }
  return true;
}

// How many message deallocations are running, on whichever thread holds the
// interpreter lock (a thread that lets it go mid-way leaves its count in, so
// the sum only overstates each thread's own depth). Up to kShallowFrees deep
// a message is freed without the interpreter's trashcan, whose thread-state
// lookup is most of the cost of freeing a small message; deeper ones go
// through it, so a long chain of nested messages still cannot exhaust the
// stack.
unsigned g_freeing = 0;
constexpr unsigned kShallowFrees = 64;
#endif

void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // A __del__ assigned to the class later; a subclass runs its own first.
  if (type->tp_dealloc == &Dealloc && type->tp_finalize != nullptr) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  }
  PyObject_GC_UnTrack(self);
#ifndef Py_GIL_DISABLED
  if (g_freeing < kShallowFrees) [[likely]] {
    ++g_freeing;
    const PyTypeObject* generated = Generated(self, &PyTypeObject::tp_dealloc, &Dealloc);
    // One comparison with a global for every other message freed.
    if (type != KeptValueClass() || !KeepValueOneof(self, type, generated)) [[likely]]
      ClearSlots(self, generated);
    FreeInstance(self, type);
    --g_freeing;
    return;
  }
#endif
  // Long chains of nested messages are freed without deep recursion.
  Py_TRASHCAN_BEGIN(self, Dealloc)
  ClearSlots(self, Generated(self, &PyTypeObject::tp_dealloc, &Dealloc));
  FreeInstance(self, type);
  Py_TRASHCAN_END
}

bool IsDunder(PyObject* name) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  return n >= 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

bool SameText(PyObject* a, PyObject* b) noexcept {
  if (a == b) return true;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
         memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Whether type() would give `key` of a namespace no meaning beyond a class
// attribute: a plain name (to be checked against the slots), or one of the
// dunders a generated namespace holds.
bool PlainKey(PyObject* key) noexcept {
  if (!PyUnicode_CheckExact(key)) return false;
  if (!IsDunder(key)) return true;
  return key == g_names.slots || key == g_names.module || key == g_names.qualname || key == g_names.match_args ||
         key == g_names.doc;
}

// Whether no slot is `key` (type() refuses a slot shadowed by a class attribute,
// with its own error); the slots are exact strs.
bool ShadowsNoSlot(PyObject* key, PyObject* slots) noexcept {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(slots); ++i) {
    if (SameText(key, PyTuple_GET_ITEM(slots, i))) return false;
  }
  return true;
}

// Whether the slots are identifiers type() would keep as written and none is
// one of the namespace's first plain names (`names`, `count` of them). One pass
// over the slots, whose strs are spread over memory.
bool PlainSlots(PyObject* slots, PyObject* const* names, size_t count) noexcept {
  if (!PyTuple_CheckExact(slots)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(slots); ++i) {
    PyObject* slot = PyTuple_GET_ITEM(slots, i);
    if (!PyUnicode_CheckExact(slot) || !IsIdentifier(slot) || IsDunder(slot)) return false;
    for (size_t j = 0; j < count; ++j) {
      if (SameText(names[j], slot)) return false;
    }
  }
  return true;
}

bool OnlyStrs(PyObject* tuple) noexcept {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(tuple, i))) return false;
  }
  return true;
}

bool TemplateMatches(PyObject* bases) noexcept {
  if (g_template_bases == nullptr || PyTuple_GET_SIZE(g_template_bases) != PyTuple_GET_SIZE(bases)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    if (PyTuple_GET_ITEM(g_template_bases, i) != PyTuple_GET_ITEM(bases, i)) return false;
  }
  return true;
}

// Owned by the caller: making a class may run other threads, which may
// replace the cached template meanwhile.
Result<Ref> TemplateFor(PyObject* bases) {
  if (TemplateMatches(bases)) return Ref::borrow(reinterpret_cast<PyObject*>(g_template));
  Ref ns = Ref::steal(PyDict_New());
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref module = Ref::steal(PyUnicode_FromString("velum"));
  Ref name = Ref::steal(PyUnicode_FromString("_MessageClassTemplate"));
  if (!ns || !empty || !module || !name) return Status::Pending();
  if (PyDict_SetItem(ns.get(), g_names.slots, empty.get()) < 0 ||
      PyDict_SetItem(ns.get(), g_names.module, module.get()) < 0) {
    return Status::Pending();
  }
  PyObject* type_type = reinterpret_cast<PyObject*>(&PyType_Type);
  Ref made = Ref::steal(PyObject_CallFunctionObjArgs(type_type, name.get(), bases, ns.get(), nullptr));
  if (!made) return Status::Pending();
  if (!PyType_Check(made.get())) return Status(ErrorKind::kType, "template class cannot be converted to a type");
  // Another thread may have made one for the same bases while type() ran.
  if (TemplateMatches(bases)) return Ref::borrow(reinterpret_cast<PyObject*>(g_template));
  Py_XSETREF(g_template_bases, Py_NewRef(bases));
  Py_XSETREF(g_template, reinterpret_cast<PyTypeObject*>(Py_NewRef(made.get())));
  return made;
}

// The special-method slots type() fills from the MRO, as it filled them for
// the template; instance layout, allocation and collector slots stay ours.
void CopyDispatch(PyTypeObject* to, const PyTypeObject* from) noexcept {
  auto* heap_to = reinterpret_cast<PyHeapTypeObject*>(to);
  const auto* heap_from = reinterpret_cast<const PyHeapTypeObject*>(from);
  heap_to->as_async = heap_from->as_async;
  heap_to->as_number = heap_from->as_number;
  heap_to->as_mapping = heap_from->as_mapping;
  heap_to->as_sequence = heap_from->as_sequence;
  heap_to->as_buffer = heap_from->as_buffer;
  to->tp_getattro = from->tp_getattro;
  to->tp_setattro = from->tp_setattro;
  to->tp_repr = from->tp_repr;
  to->tp_str = from->tp_str;
  to->tp_hash = from->tp_hash;
  to->tp_call = from->tp_call;
  to->tp_richcompare = from->tp_richcompare;
  to->tp_iter = from->tp_iter;
  to->tp_iternext = from->tp_iternext;
  to->tp_descr_get = from->tp_descr_get;
  to->tp_descr_set = from->tp_descr_set;
  to->tp_init = from->tp_init;
  to->tp_new = from->tp_new;
  to->tp_finalize = from->tp_finalize;
}

// Each base keeps a weak reference to the new class among its subclasses. One
// without a callback refers to nothing the collector follows (its traversal
// visits only the callback), so it can be in no cycle; tracked, it would be
// one more object a class that every young collection scans. A base that is
// a heap type keeps them in a dict keyed by the subclass's address.
#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
void UntrackSubclassRefs(PyTypeObject* type) noexcept {
  PyObject* bases = type->tp_bases;
  if (bases == nullptr || !PyTuple_Check(bases)) return;
  Ref key = Ref::steal(PyLong_FromVoidPtr(type));
  if (!key) {
    PyErr_Clear();
    return;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases, i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
    auto* subclasses = static_cast<PyObject*>(base->tp_subclasses);
    if (subclasses == nullptr || !PyDict_CheckExact(subclasses)) continue;
    PyObject* ref = PyDict_GetItemWithError(subclasses, key.get());  // (exact int keys: no code runs)
    if (ref == nullptr) {
      PyErr_Clear();
      continue;
    }
    if (PyWeakref_CheckRefExact(ref) && reinterpret_cast<PyWeakReference*>(ref)->wr_callback == nullptr &&
        PyObject_GC_IsTracked(ref)) {
      PyObject_GC_UnTrack(ref);
    }
  }
}
#else
void UntrackSubclassRefs(PyTypeObject*) noexcept {}
#endif

// A dotted name spares the warning about a type without a module; the class's
// own __module__ and __name__ replace both parts.
Status TypeNameText(PyObject* name, RawString& out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) return Status::Pending();
  if (static_cast<Py_ssize_t>(strlen(text)) != size) return Status(ErrorKind::kValue, "type name must not contain null characters");
  try {
    out.append("_.").append(text, static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "out of memory");
  }
  return Status::Ok();
}

Result<Ref> MakeClass(PyObject* bases, PyObject* name, PyObject* ns) {
  VELUM_TRY(ReadyNames());
  if (!PyTuple_CheckExact(bases) || PyTuple_GET_SIZE(bases) == 0 ||
      PyTuple_GET_ITEM(bases, 0) != reinterpret_cast<PyObject*>(NativeMessageType()) || !PyUnicode_CheckExact(name) ||
      !PyDict_CheckExact(ns)) {
    return Ref();
  }
  PyObject* slots = PyDict_GetItemWithError(ns, g_names.slots);
  if (slots == nullptr && PyErr_Occurred()) return Status::Pending();
  PyObject* module = PyDict_GetItemWithError(ns, g_names.module);
  if (module == nullptr && PyErr_Occurred()) return Status::Pending();
  PyObject* qualname = PyDict_GetItemWithError(ns, g_names.qualname);
  if (qualname == nullptr && PyErr_Occurred()) return Status::Pending();
  if (slots == nullptr || module == nullptr || qualname == nullptr || !PyUnicode_CheckExact(qualname)) {
    return Ref();
  }
  {
    // The namespace's plain names (borrowed: no code runs meanwhile), checked
    // against the slots in the slots' own pass; any beyond the first few (a
    // class with many nested types) in a pass of its own.
    constexpr size_t kNames = 8;
    PyObject* names[kNames];
    size_t count = 0;
    bool slots_checked = false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(ns, &pos, &key, &value)) {
      if (!PlainKey(key)) return Ref();
      if (IsDunder(key)) continue;
      if (count < kNames) {
        names[count++] = key;
        continue;
      }
      if (!slots_checked && !PlainSlots(slots, nullptr, 0)) return Ref();
      slots_checked = true;
      if (!ShadowsNoSlot(key, slots)) return Ref();
    }
    if (!PlainSlots(slots, names, count)) return Ref();
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(slots);
  if (count > (INT_MAX - SlotsStart()) / Py_ssize_t{sizeof(PyObject*)}) return Ref();
  VELUM_ASSIGN_OR_RETURN(Ref templ, TemplateFor(bases));
  RawString name_text;
  VELUM_TRY(TypeNameText(name, name_text));
  // The class is made without members: the slots' descriptors are added below.
  PyType_Slot type_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&Dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&Traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&Clear)},
      {0, nullptr},
  };
  const Py_ssize_t basicsize = SlotsStart() + count * Py_ssize_t{sizeof(PyObject*)};
  PyType_Spec type_spec = {name_text.c_str(), static_cast<int>(basicsize), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, type_slots};
  Ref cls = Ref::steal(PyType_FromMetaclass(nullptr, nullptr, &type_spec, bases));
  if (!cls) return Status::Pending();
  auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
  if (type->tp_base != NativeMessageType() || type->tp_basicsize != basicsize) {
    return Status(ErrorKind::kRuntime, "unexpected layout of a message class");
  }
  UntrackSubclassRefs(type);
  // As type() keeps them (assigning __class__ compares the slots of both classes).
  reinterpret_cast<PyHeapTypeObject*>(type)->ht_slots = Py_NewRef(slots);
  VELUM_TRY(AddSlotMembers(type, slots, SlotsStart(), g_names.slot_members));
  CopyDispatch(type, reinterpret_cast<PyTypeObject*>(templ.get()));
  // What assigning __name__ and __qualname__ leaves (tp_name is the UTF-8 of
  // the name, checked by TypeNameText), without the attribute protocol's work.
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return Status::Pending();
  type->tp_name = text;
  Py_SETREF(heap->ht_name, Py_NewRef(name));
  Py_SETREF(heap->ht_qualname, Py_NewRef(qualname));
  PyObject* dict = type->tp_dict;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(ns, &pos, &key, &value)) {
    if (key == g_names.qualname) continue;
    if (PyDict_SetItem(dict, key, value) < 0) return Status::Pending();
    // A tuple of names (__slots__, __match_args__) can be in no cycle: the
    // collector would untrack it at its first pass, after scanning it once.
    if (PyTuple_CheckExact(value) && PyObject_GC_IsTracked(value) && OnlyStrs(value)) PyObject_GC_UnTrack(value);
  }
  PyType_Modified(type);
  return cls;
}

// A field's local name from its slot; a oneof's (a class the extension does
// not otherwise read) as the attribute.
Result<Ref> LocalName(const RuntimeNames& names, PyObject* desc, bool field) {
  Ref name;
  if (field) {
    VELUM_ASSIGN_OR_RETURN(name, names.read(desc, RuntimeClass::kDescField, Name::kLocalName));
  } else {
    name = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kLocalName)));
    if (!name) return Status::Pending();
  }
  if (!PyUnicode_Check(name.get())) return Status(ErrorKind::kType, "local_name cannot be converted to str");
  return name;
}

// (__slots__, __match_args__) from the slot names and the attribute names in order.
Result<Ref> NamesPair(PyObject* slots, RawVector<Ref>& order) {
  Ref match = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(order.size())));
  if (!match) return Status::Pending();
  for (size_t i = 0; i < order.size(); ++i) PyTuple_SET_ITEM(match.get(), static_cast<Py_ssize_t>(i), order[i].release());
  Ref slot_tuple = Ref::steal(PyList_AsTuple(slots));
  if (!slot_tuple) return Status::Pending();
  Ref pair = Ref::steal(PyTuple_Pack(2, slot_tuple.get(), match.get()));
  if (!pair) return Status::Pending();
  return pair;
}

// The same names from a message's field table (field_table.h).
Result<Ref> TableAttributeNames(const FieldTable& table) {
  Ref slots = Ref::steal(PyList_New(0));
  if (!slots) return Status::Pending();
  RawVector<Ref> order;
  order.reserve(table.fields.size());
  NameIndex seen(table.fields.size());
  for (const TableField& field : table.fields) {
    PyObject* key = field.oneof < 0 ? field.local_name.get() : table.oneofs[static_cast<size_t>(field.oneof)].get();
    if (field.oneof < 0 && PyList_Append(slots.get(), key) < 0) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(size_t at, seen.FindOrAdd(key, order.size()));
    if (at == order.size()) order.push_back(Ref::borrow(key));
  }
  for (const Ref& oneof : table.oneofs) {
    if (PyList_Append(slots.get(), oneof.get()) < 0) return Status::Pending();
  }
  return NamesPair(slots.get(), order);
}

// What the runtime's comprehensions over the descriptors gave, in one pass
// that reads the field descriptors' slots directly.
Result<Ref> AttributeNames(PyObject* fields, PyObject* oneofs) {
  if (IsFieldTable(fields)) return TableAttributeNames(AsFieldTable(fields));
  // No oneofs may also be the empty tuple a message holds until its list is read.
  const bool no_oneofs = PyTuple_CheckExact(oneofs) && PyTuple_GET_SIZE(oneofs) == 0;
  if (!PyList_Check(fields) || (!PyList_Check(oneofs) && !no_oneofs)) {
    return Status(ErrorKind::kType, "_attribute_names() takes two lists");
  }
  VELUM_ASSIGN_OR_RETURN(const RuntimeNames* names, GetRuntimeNames());
  Ref slots = Ref::steal(PyList_New(0));
  if (!slots) return Status::Pending();
  // Ordered and each name once, as dict.fromkeys; the names are held here,
  // since reading one may run code that drops every other reference to it.
  RawVector<Ref> order;
  order.reserve(static_cast<size_t>(PyList_GET_SIZE(fields)));
  NameIndex seen(static_cast<size_t>(PyList_GET_SIZE(fields)));
  // By index: reading an attribute may run Python code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields); ++i) {
    Ref field = Ref::borrow(PyList_GET_ITEM(fields, i));
    VELUM_ASSIGN_OR_RETURN(Ref oneof, names->read(field.get(), RuntimeClass::kDescField, Name::kOneof));
    Ref key;
    if (oneof.get() == Py_None) {
      VELUM_ASSIGN_OR_RETURN(key, LocalName(*names, field.get(), true));
      if (PyList_Append(slots.get(), key.get()) < 0) return Status::Pending();
    } else {
      VELUM_ASSIGN_OR_RETURN(key, LocalName(*names, oneof.get(), false));
    }
    VELUM_ASSIGN_OR_RETURN(size_t at, seen.FindOrAdd(key.get(), order.size()));
    if (at == order.size()) order.push_back(std::move(key));
  }
  for (Py_ssize_t i = 0; !no_oneofs && i < PyList_GET_SIZE(oneofs); ++i) {
    Ref oneof = Ref::borrow(PyList_GET_ITEM(oneofs, i));
    VELUM_ASSIGN_OR_RETURN(Ref name, LocalName(*names, oneof.get(), false));
    if (PyList_Append(slots.get(), name.get()) < 0) return Status::Pending();
  }
  return NamesPair(slots.get(), order);
}

bool IsA(const RuntimeNames& names, PyObject* obj, RuntimeClass cls) noexcept {
  return names.is(obj, cls) || PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(names.cls(cls)));
}

// The message a field's value descriptor names, or null (no error) for none.
Result<Ref> TargetOf(const RuntimeNames& names, PyObject* value) {
  RuntimeClass owner = RuntimeClass::kCount;
  Name member = Name::kCount;
  if (IsA(names, value, RuntimeClass::kDescFieldValueScalar) || IsA(names, value, RuntimeClass::kDescFieldValueEnum)) {
    return Ref();
  }
  if (IsA(names, value, RuntimeClass::kDescFieldValueMessage)) {
    VELUM_ASSIGN_OR_RETURN(Ref target, names.read(value, RuntimeClass::kDescFieldValueMessage, Name::kMessage));
    return target;
  }
  if (IsA(names, value, RuntimeClass::kDescFieldValueList)) {
    owner = RuntimeClass::kDescFieldValueList;
    member = Name::kElement;
  } else if (IsA(names, value, RuntimeClass::kDescFieldValueMap)) {
    owner = RuntimeClass::kDescFieldValueMap;
    member = Name::kValue;
  } else {
    return Ref();
  }
  VELUM_ASSIGN_OR_RETURN(Ref target, names.read(value, owner, member));
  if (!IsA(names, target.get(), RuntimeClass::kDescMessage)) return Ref();
  return target;
}

// The same targets from a message's field table (field_table.h).
Result<Ref> TableReferencedMessages(const RuntimeNames& names, const FieldTable& table) {
  Ref targets = Ref::steal(PyList_New(0));
  if (!targets) return Status::Pending();
  for (const TableField& field : table.fields) {
    Ref target;
    if (field.shape == ValueKind::kMap) {
      VELUM_ASSIGN_OR_RETURN(target, TargetOf(names, field.target.get()));
    } else if (field.shape == ValueKind::kMessage ||
               (field.shape == ValueKind::kList && IsA(names, field.target.get(), RuntimeClass::kDescMessage))) {
      target = field.target.clone();
    }
    if (target && PyList_Append(targets.get(), target.get()) < 0) return Status::Pending();
  }
  return targets;
}

Result<Ref> ReferencedMessages(PyObject* fields) {
  if (IsFieldTable(fields)) {
    VELUM_ASSIGN_OR_RETURN(const RuntimeNames* names, GetRuntimeNames());
    return TableReferencedMessages(*names, AsFieldTable(fields));
  }
  if (!PyList_Check(fields)) return Status(ErrorKind::kType, "_referenced_messages() takes a list");
  VELUM_ASSIGN_OR_RETURN(const RuntimeNames* names, GetRuntimeNames());
  Ref targets = Ref::steal(PyList_New(0));
  if (!targets) return Status::Pending();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fields); ++i) {
    Ref field = Ref::borrow(PyList_GET_ITEM(fields, i));
    VELUM_ASSIGN_OR_RETURN(Ref value, names->read(field.get(), RuntimeClass::kDescField, Name::kValue));
    VELUM_ASSIGN_OR_RETURN(Ref target, TargetOf(*names, value.get()));
    if (target && PyList_Append(targets.get(), target.get()) < 0) return Status::Pending();
  }
  return targets;
}

}  // namespace

void AdoptSlotMembers(PyTypeObject* type, PyObject* marshaler) noexcept {
  if (g_names.slot_members == nullptr || !IsMarshaler(marshaler)) return;
  if (PyObject* holder = TrackedSlotMembers(type, g_names.slot_members)) AdoptCompanion(marshaler, holder);
}

PyObject* ReferencedMessagesFn(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 1) {
      PyErr_SetString(PyExc_TypeError, "_referenced_messages() takes 1 positional argument");
      return nullptr;
    }
    Result<Ref> targets = ReferencedMessages(args[0]);
    return ReturnNew(std::move(targets));
  });
}

PyObject* AttributeNamesFn(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "_attribute_names() takes 2 positional arguments");
      return nullptr;
    }
    Result<Ref> names = AttributeNames(args[0], args[1]);
    return ReturnNew(std::move(names));
  });
}

PyObject* MessageClassFn(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return Guard([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "_message_class() takes 3 positional arguments");
      return nullptr;
    }
    Result<Ref> made = MakeClass(args[0], args[1], args[2]);
    if (!made.ok()) return Raise(std::move(made).status());
    if (!made.value()) Py_RETURN_NONE;
    return std::move(made).value().release();
  });
}

}  // namespace velum
