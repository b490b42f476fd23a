// The collection a dropped registry's classes get right away. A loaded schema
// whose classes are made is one web of reference cycles (a class refers to
// itself through its MRO, its member descriptors and its descriptor), so when
// its registry is let go only the cyclic collector can free it. Left to the
// automatic collections, a dropped schema waits for the next one, is often
// moved to an older generation first (when a collection comes while the next
// schema is being loaded) and is then freed much later, cold; a schema of few
// large classes counts so few objects towards a collection that hundreds of
// them pile up before one comes.
//
// A registry therefore holds a release token. When a token is let go after
// message classes were made ready while it lived, a young collection is
// scheduled as a pending call: it runs where the interpreter runs its own
// automatic collections (between bytecodes), never inside the deallocation
// that let the token go, and the releases of many registries at once share
// one. Nothing is scheduled while the collector is disabled.
#pragma once

#include "common/ref.h"

namespace velum {

// Counts a message class made ready (initialize_message_type).
void NoteClassMade() noexcept;

// Module function _release_token(): a new token for a registry to hold.
PyObject* ReleaseTokenFn(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace velum
