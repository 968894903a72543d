// The C++ runtime's per-thread exception record, kept in static thread-local
// storage that is allocated with the module.
//
// The module carries its own copy of the C++ runtime (linked statically, see
// CMakeLists.txt). The runtime keeps this record in dynamic thread-local
// storage, which a thread of a loaded module gets on first use: on its first
// exception. When that exception is std::bad_alloc, the allocation of the
// storage fails too, and the loader ends the process instead of raising
// MemoryError. Initial-exec storage is set aside for every thread when the
// module is loaded, so no exception ever needs memory for it; these two
// functions take the place of the runtime's own, which its code calls.
#include <cxxabi.h>

namespace __cxxabiv1 {

// The runtime's layout (Itanium C++ ABI): the exceptions being handled, then
// the count of those thrown and not yet caught.
struct __cxa_eh_globals {
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
};

namespace {
// Zero-initialised for every thread: no exception caught, none in flight.
__attribute__((tls_model("initial-exec"))) thread_local __cxa_eh_globals record{};
}  // namespace

extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept { return &record; }
extern "C" __cxa_eh_globals* __cxa_get_globals_fast() noexcept { return &record; }

}  // namespace __cxxabiv1
