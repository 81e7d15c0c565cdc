// Uses of the library's checked types that must not compile; the build defines one case at
// a time and expects the compiler to refuse it, naming the fault (CMakeLists.txt here).

#include "common/heap.h"
#include "common/wide_string.h"

#include <string>

HRESULT Misuse(zorva::WideString& text)
{
#if defined(NARROW_TEXT_AT_PERCENT_S)
    return text.Format(L"%s\\%s", L"key", "narrow");
#elif defined(WIDE_NUMBER_AT_PERCENT_D)
    return text.Format(L"%d", DWORD64{1});
#elif defined(ARGUMENT_MISSING)
    return text.Format(L"%s\\%s", L"key");
#elif defined(NULL_FORMAT)
    return text.Format(nullptr);
#elif defined(ELEMENT_WITH_DESTRUCTOR)
    return zorva::AllocateArray<std::wstring>(1) ? S_OK : text.Assign(L"");
#endif
}
