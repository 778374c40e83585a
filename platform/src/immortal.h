// immortal.h - objects of the platform that are never destroyed.
#pragma once

#include <memory>

namespace plat {

// The one T of the process, made on first use and never destroyed: threads
// still running while the process exits, and exit handlers, may use it after
// the static destructors have run.
template <class T> T &immortal()
{
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *const object = std::construct_at(reinterpret_cast<T *>(storage));
    return *object;
}

} // namespace plat
