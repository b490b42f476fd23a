// The names a field shows in Python and JSON, derived from its proto name when a
// loaded message's fields are resolved (see field_resolve.h).
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// Whether the str `name` is a Python identifier, as str.isidentifier() says; ASCII
// names, nearly all, are checked here without a Unicode database lookup a character.
bool IsIdentifier(PyObject* name);

// Whether the bytes of an ASCII name, `size` of them, make an identifier; false
// also for any byte beyond ASCII, which IsIdentifier decides for the name's str.
bool IsAsciiIdentifier(const unsigned char* text, size_t size);

// The JSON name protoc derives from a field name: lowerCamelCase at underscores.
// ASCII names are converted here; any other is handed to `fallback(name)`, the
// runtime's own rule, since Unicode case mapping may change a name's length.
Result<Ref> JsonName(PyObject* name, PyObject* fallback);

// Whether `json` (`json_size` bytes) is the JSON name JsonName derives from the
// ASCII name `name` (`name_size` bytes); false for a name beyond ASCII. Such a
// JSON name need not be kept as text: it is made again from the name when needed.
// `ascii`: the name is known to be ASCII (it is checked otherwise).
bool IsDerivedJsonName(const unsigned char* name, size_t name_size, const unsigned char* json, size_t json_size,
                       bool ascii = false);

// Python attribute names for the `str`s of `names` (a list), unique within it: a
// name in `keywords` or `reserved`, or in `extra` unless that is null, gets a
// trailing underscore (more than one when that is taken too), and so does a
// repeated name. Names that need no change keep it whatever their order. Returns a
// new list, or `names` itself when nothing changes. `longest` is the length of
// the longest name in `keywords` and `reserved` (LongestName): a longer name
// cannot be in them, and is not looked up.
Result<Ref> AssignLocalNames(PyObject* names, PyObject* keywords, PyObject* reserved, PyObject* extra,
                             Py_ssize_t longest = PY_SSIZE_T_MAX);

// The length of the longest name in a set of names, or PY_SSIZE_T_MAX when it
// holds anything but exact strs (whose equality only the set can decide).
Py_ssize_t LongestName(PyObject* set);

}  // namespace velum
