// Run-time loading of libraries by their Windows names (LoadLibraryA, GetProcAddress).
//
// A name "X.DLL" (any letter case; the ".DLL" may be left out) stands for the shared library
// "libx.so", so "RASAPI32.DLL" loads "librasapi32.so". It is searched
//   1. in the directory given by the environment variable PELORIN_RAS_LIBRARY_DIR when that
//      is set and not empty, and then nowhere else (tests point it at their own builds); it
//      must be an absolute path, a relative one finds nothing;
//   2. otherwise beside the program file (the directory of GetModuleFileName()),
//   3. then in the system's library directories, as the dynamic loader searches a bare name.
// The current directory is never searched on purpose. Names holding a path separator are
// refused. Libraries stay loaded until the process ends.
#pragma once

#include <string>

namespace os {

using HMODULE = void*;
using FARPROC = void*;

// The loaded library, or null when it cannot be found or loaded.
HMODULE LoadLibraryA(const char* name);

// The address of the exported function `name`, or null when `module` has no such export.
FARPROC GetProcAddress(HMODULE module, const char* name);

// The function `entry` exported by the module `file` beside the program (a module of this
// program's own, loaded only when first needed). Once found it stays loaded; a failure, said in
// `failure`, is tried again at the next call (the module may be installed meanwhile).
void* ProgramModuleEntry(const char* file, const char* entry, std::string* failure);

// The file name that `name` maps to ("RASAPI32.DLL" -> "librasapi32.so"); empty for a name
// that cannot be mapped.
std::string SharedLibraryFileName(const std::string& name);

}  // namespace os
