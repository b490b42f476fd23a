// Resolving the extensions a batch of loaded files declares, in one call: each
// one's extendee and type looked up, its field and extension descriptors made
// and listed in its scope. Schemas with many extensions (options, test sets)
// spent as long on a Python step per extension as on everything else in their
// files.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_resolver.h"

namespace velum::field_resolver {

// `resolver.extensions(work, types, layout, makers)`: for each (field record,
// file, scope, features) of `work` (scope None at file level), the extension
// the runtime's own step makes, appended to the scope's (or file's) extensions
// and to `makers[2]`. `types` is (messages, enums, known messages, known enums);
// `layout` (DescFile, its package and extensions members, DescMessage's
// type_name and nested-extensions members, the field record's extendee member,
// Features and its field_presence, message_encoding and repeated_field_encoding
// members); `makers` (the DescExtension filler, fallback(record, file, scope,
// features), the batch's list of extensions). An extension settled here needs
// nothing reported or made in Python; any other goes to `fallback` in its turn,
// which raises with the runtime's text or makes it.
Status ResolveExtensions(const FieldResolver& r, PyObject* const* args);

}  // namespace velum::field_resolver
