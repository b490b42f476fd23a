// Casting a vectorcall-with-keywords function for a PyMethodDef entry.
#pragma once

#define VELUM_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
