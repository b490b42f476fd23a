#include "common/kept_floats.h"

namespace velum::floats::detail {

PyObject* g_kept[kKeptMax > 0 ? kKeptMax : 1];
int g_count = 0;

}  // namespace velum::floats::detail
