// Fuzz target: where the UDN starts in a verb's command-line tail (shellverbs/udn.h). The
// input is the tail's bytes, in whatever ANSI code page, up to the first NUL.

#include "shellverbs/udn.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly the tail and its terminator: a read past the NUL is a heap overflow.
    const auto tail = std::make_unique<char[]>(size + 1);
    std::memcpy(tail.get(), data, size);
    tail[size] = '\0';
    const size_t length = std::strlen(tail.get());

    const char* expected = nullptr;
    for (size_t i = 0; expected == nullptr && i + 5 <= length; ++i) {
        if (std::memcmp(tail.get() + i, "uuid:", 5) == 0) {
            expected = tail.get() + i;
        }
    }
    if (zorva::FindUdn(tail.get()) != expected || zorva::FindUdn(nullptr) != nullptr) {
        std::fprintf(stderr, "oracle: the UDN does not start at the first \"uuid:\" of the tail\n");
        std::abort();
    }
    return 0;
}
