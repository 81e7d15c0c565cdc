#pragma once

#include <cstdlib>
#include <memory>

namespace zorva {

// Memory from the C heap that reports exhaustion as null. operator new cannot serve here,
// not even its nothrow form: the runtime implements that by throwing and catching
// std::bad_alloc, and a throw itself needs heap memory (see WideString).
struct HeapDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <typename T>
using HeapArray = std::unique_ptr<T[], HeapDeleter>;

// Room for `count` elements of a trivial type, uninitialised; null when there is none.
template <typename T>
[[nodiscard]] HeapArray<T> AllocateArray(size_t count) noexcept
{
    return HeapArray<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

}  // namespace zorva
