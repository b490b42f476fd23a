// The _velum_ext module: its definition, the execution slot that registers the
// classes and functions, and initialize_message_type.
#include "common/method_def.h"
#include "common/py_error.h"
#include "descriptor/runtime_names.h"
#include "common/arg_binding.h"
#include "nativemessage/message_class.h"
#include "nativemessage/native_message.h"
#include "nativemessage/release_collection.h"
#include "oneof/oneof.h"
#include "descriptor/marshaler.h"
#include "descriptor/declare.h"
#include "descriptor/field_resolve.h"
#include "descriptor/field_table.h"
#include "descriptor/slot_constructor.h"
#include "descriptor/slot_traverse.h"
#include "descriptor/schema_graph.h"
#include "descriptor/class_attribute.h"
#include "parser/schema_records.h"
#include "wkt_registry/wkt_record.h"

namespace velum {

namespace {

constexpr args::Param kInitializeParams[] = {{"message_type", false, true}};
constinit args::Signature kInitialize("initialize_message_type()", kInitializeParams);

Status InitializeMessageType(PyObject* cls) {
  if (!PyType_Check(cls)) {
    return WithNote(FormatError(ErrorKind::kType, "expected a type, got '%s'", Py_TYPE(cls)->tp_name),
                    "while processing 'message_type'");
  }
  VELUM_ASSIGN_OR_RETURN(const RuntimeNames* names, GetRuntimeNames());
  Ref existing;
  VELUM_TRY(ReadClassAttribute(cls, names->name(Name::kExtMarshaler), existing));
  if (existing) return Status::Ok();  // initialised already, possibly through a base class
  Ref desc;
  VELUM_TRY(ReadClassAttribute(cls, names->name(Name::kDesc), desc));
  if (!desc) {
    // Absent: the attribute read raises its own AttributeError.
    desc = Ref::steal(PyObject_GetAttr(cls, names->name(Name::kDesc)));
    if (!desc) return Status::Pending();
  }
  VELUM_ASSIGN_OR_RETURN(Ref marshaler, BuildMarshaler(*names, desc.get()));
  if (Status s = StoreClassAttribute(cls, names->name(Name::kExtMarshaler), marshaler.get()); !s.ok()) return s;
  AdoptSlotMembers(reinterpret_cast<PyTypeObject*>(cls), marshaler.get());
  // Calls of the class itself skip the argument tuple and dict (subclasses
  // do not inherit this and keep the ordinary type call).
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) && PyType_IsSubtype(type, NativeMessageType())) {
    type->tp_vectorcall = NativeMessage_vectorcall;
  }
  NoteClassMade();
  return Status::Ok();
}

PyObject* InitializeMessageTypeFn(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return Guard([&]() -> PyObject* {
    PyObject* found[1];
    if (Status s = args::Bind(kInitialize, argv, nargs, kwnames, found); !s.ok()) return Raise(std::move(s));
    if (Status s = InitializeMessageType(found[0]); !s.ok()) return Raise(std::move(s));
    Py_RETURN_NONE;
  });
}

PyMethodDef kInitializeDef = {"initialize_message_type", VELUM_FASTCALL(InitializeMessageTypeFn),
                              METH_FASTCALL | METH_KEYWORDS,
                              VELUM_SIGNATURE_DOC("initialize_message_type(message_type)")};

PyMethodDef kGenericSetattrDef = {
    "generic_setattr", VELUM_FASTCALL(GenericSetattr), METH_FASTCALL | METH_KEYWORDS,
    VELUM_SIGNATURE_DOC("generic_setattr(obj, name, value)") "Set an attribute with PyObject_GenericSetAttr, "
    "which Python code cannot otherwise call directly.\n\n"
    "The runtime needs it because NativeMessage implements __setattr__ natively: the\n"
    "standard setattr would call back into it and recurse without end."};

PyMethodDef kSlotConstructorDef = {
    "_slot_constructor", VELUM_FASTCALL(SlotConstructorFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_slot_constructor(cls, members)") "A callable making instances of `cls` whose slots,\n"
    "given as member descriptors, are filled from its positional arguments; __init__ is not run."};

PyMethodDef kSlotSetterDef = {
    "_slot_setter", VELUM_FASTCALL(SlotSetterFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_slot_setter(cls, members)") "A callable `setter(obj, values)` setting the slots of\n"
    "`obj`, given as member descriptors of `cls`, from the tuple `values`."};

PyMethodDef kSlotTraverseDef = {
    "_slot_traverse", VELUM_FASTCALL(SlotTraverseFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_slot_traverse(cls, atomic)") "Makes the collector visit every object slot of `cls`\n"
    "but those named in `atomic`, which hold only objects that refer to nothing."};

PyMethodDef kUntrackLeafDef = {
    "_untrack_leaf", VELUM_FASTCALL(UntrackLeafFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_untrack_leaf(obj)") "Takes `obj` out of the collector's lists when it refers to nothing\n"
    "but its type; returns whether it did."};

PyMethodDef kSchemaGraphSetupDef = {
    "_schema_graph_setup", VELUM_FASTCALL(SchemaGraphSetupFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_schema_graph_setup(file_class, kinds)") "Configures which objects a released\n"
    "`_SchemaGraph` may free: the descriptor classes, with the slots naming their file and class."};

PyMethodDef kFieldResolverDef = {
    "_field_resolver", VELUM_FASTCALL(FieldResolverFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_field_resolver(config)") "A callable resolving the fields of loaded messages; `config`\n"
    "is the runtime's tuple of the classes, slots and shared values it builds from."};

PyMethodDef kDeclarerDef = {
    "_declarer", VELUM_FASTCALL(DeclarerFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_declarer(config)") "A callable declaring the messages and enums of loaded files;\n"
    "`config` is the runtime's tuple of the record classes, slots, fillers and helpers it uses."};

PyMethodDef kSchemaRecordTypesDef = {
    "_schema_record_types", VELUM_FASTCALL(SchemaRecordTypesFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_schema_record_types()") "The types of the descriptor records schema loading reads,\n"
    "by descriptor message name."};

PyMethodDef kReadSchemaFileDef = {
    "_read_schema_file", VELUM_FASTCALL(ReadSchemaFileFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_read_schema_file(data)") "The records of a serialized FileDescriptorProto, or None when\n"
    "the general decoder must read it."};

PyMethodDef kMessageClassDef = {
    "_message_class", VELUM_FASTCALL(MessageClassFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_message_class(bases, name, namespace)") "The generated message class type(name, bases,\n"
    "namespace) would make, or None when the namespace needs type() itself."};

PyMethodDef kAttributeNamesDef = {
    "_attribute_names", VELUM_FASTCALL(AttributeNamesFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_attribute_names(fields, oneofs)") "The (__slots__, __match_args__) of a message class\n"
    "from its field and oneof descriptors."};

PyMethodDef kReferencedMessagesDef = {
    "_referenced_messages", VELUM_FASTCALL(ReferencedMessagesFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_referenced_messages(fields)") "The message descriptors that the fields name as the type\n"
    "of a value, a list element or a map value."};

PyMethodDef kReleaseTokenDef = {
    "_release_token", VELUM_FASTCALL(ReleaseTokenFn), METH_FASTCALL,
    VELUM_SIGNATURE_DOC("_release_token()") "A token for a registry to hold: let go after message classes were made,\n"
    "it schedules a young collection."};

// Appends `name` to the module's __all__ (created when missing) and sets it.
Status AddItem(PyObject* module, const char* name, PyObject* item) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::Pending();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Status::Pending();
  }
  if (!PyList_Check(all.get())) return Status(ErrorKind::kType, "__all__ cannot be converted to list");
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return Status::Pending();
  if (PyObject_SetAttr(module, text.get(), item) < 0) return Status::Pending();
  return Status::Ok();
}

Result<Ref> NewFunction(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Status::Pending();
  Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!fn) return Status::Pending();
  return fn;
}

Status AddFunction(PyObject* module, PyMethodDef* def) {
  VELUM_ASSIGN_OR_RETURN(Ref fn, NewFunction(module, def));
  return AddItem(module, def->ml_name, fn.get());
}

// A function for the runtime only: an attribute, not exported in __all__.
Status AddRuntimeFunction(PyObject* module, PyMethodDef* def) {
  VELUM_ASSIGN_OR_RETURN(Ref fn, NewFunction(module, def));
  return PyModule_AddObjectRef(module, def->ml_name, fn.get()) < 0 ? Status::Pending() : Status::Ok();
}

Status Exec(PyObject* module) {
  if (!PyModule_Check(module)) return Status(ErrorKind::kType, "object cannot be converted to a module");
  VELUM_TRY(ReadyMarshalerTypes());
  wkt::InstallWellKnownHooks();
  VELUM_TRY(AddItem(module, "MessageMarshaler", reinterpret_cast<PyObject*>(MarshalerType())));
  VELUM_TRY(ReadyNativeMessageType());
  VELUM_TRY(AddItem(module, "NativeMessage", reinterpret_cast<PyObject*>(NativeMessageType())));
  VELUM_TRY(AddFunction(module, &kInitializeDef));
  VELUM_TRY(oneof::Ready());
  VELUM_TRY(AddItem(module, "Oneof", reinterpret_cast<PyObject*>(oneof::Type())));
  VELUM_TRY(AddFunction(module, &kGenericSetattrDef));
  VELUM_TRY(AddRuntimeFunction(module, &kSlotConstructorDef));
  VELUM_TRY(AddRuntimeFunction(module, &kSlotSetterDef));
  VELUM_TRY(AddRuntimeFunction(module, &kSlotTraverseDef));
  VELUM_TRY(AddRuntimeFunction(module, &kUntrackLeafDef));
  VELUM_TRY(AddRuntimeFunction(module, &kSchemaGraphSetupDef));
  VELUM_TRY(AddRuntimeFunction(module, &kFieldResolverDef));
  VELUM_TRY(AddRuntimeFunction(module, &kDeclarerDef));
  VELUM_TRY(AddRuntimeFunction(module, &kMessageClassDef));
  VELUM_TRY(AddRuntimeFunction(module, &kSchemaRecordTypesDef));
  VELUM_TRY(AddRuntimeFunction(module, &kReadSchemaFileDef));
  VELUM_TRY(AddRuntimeFunction(module, &kAttributeNamesDef));
  VELUM_TRY(AddRuntimeFunction(module, &kReferencedMessagesDef));
  VELUM_TRY(AddRuntimeFunction(module, &kReleaseTokenDef));
  // What a loaded message's `_resolve` holds once its class is made from its fields' table.
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * table_type, FieldTableType());
  if (PyModule_AddObjectRef(module, "_FieldTable", reinterpret_cast<PyObject*>(table_type)) < 0) {
    return Status::Pending();
  }
  // What a registry holds of the schemas it loaded (frees them with itself).
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * graph_type, SchemaGraphType());
  if (PyModule_AddObjectRef(module, "_SchemaGraph", reinterpret_cast<PyObject*>(graph_type)) < 0) {
    return Status::Pending();
  }
  return Status::Ok();
}

int ModuleExec(PyObject* module) noexcept {
  return Guard([&]() -> int {
    Status status = Exec(module);
    return status.ok() ? 0 : RaiseInt(std::move(status));
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ModuleExec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_velum_ext",
    "Native core of the velum Protocol Buffers runtime, implemented in C++.",
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace velum

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__velum_ext() {
  return PyModuleDef_Init(&velum::kModuleDef);
}
