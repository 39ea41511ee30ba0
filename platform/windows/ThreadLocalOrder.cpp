// Compiled into every Windows executable (see platform/CMakeLists.txt), before main runs.
//
// mingw-w64 keeps thread_local variables in emulated thread storage and runs their destructors
// from a thread-end key of the C++ runtime. Thread-end keys run in the order they were made, and
// the emulated storage makes its own key, which frees that storage, at the first use of any
// thread_local. Were it first, a destructor would run on freed memory: a worker's free lists
// would free garbage at its end. Registering one empty thread-end call first makes the C++
// runtime's key, so thread_local destructors run while their storage is still there.
extern "C" int __cxa_thread_atexit(void (*Destructor)(void*), void* Object, void* Module);

namespace {

const int kThreadEndKeyFirst = __cxa_thread_atexit([](void*) {}, nullptr, nullptr);

}  // namespace
