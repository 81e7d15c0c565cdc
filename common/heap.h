#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace zorva {

// Memory from the C heap that reports exhaustion as null. operator new cannot serve here,
// not even its nothrow form: the runtime implements that by throwing and catching
// std::bad_alloc, and a throw itself needs heap memory (see WideString).
struct HeapDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <typename T>
using HeapArray = std::unique_ptr<T[], HeapDeleter>;

// Room for `count` elements, uninitialised; null when there is none, also when the size
// in bytes would not fit a size_t (it would wrap round to a small block).
template <typename T>
[[nodiscard]] HeapArray<T> AllocateArray(size_t count) noexcept
{
    // malloc and free run no constructor or destructor.
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>,
                  "a heap array holds elements that need no constructor or destructor");
    if (count > SIZE_MAX / sizeof(T)) {
        return nullptr;
    }
    return HeapArray<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

}  // namespace zorva
