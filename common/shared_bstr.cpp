#include "common/shared_bstr.h"

#include "common/heap.h"
#include "common/hresult.h"

#include <climits>
#include <cwchar>
#include <cstdlib>
#include <new>
#include <utility>

namespace zorva {
namespace {

HRESULT LastErrorResult() noexcept
{
    const DWORD error = GetLastError();
    // A failure must never travel as a success code, even if the system left no error.
    return error != ERROR_SUCCESS ? HResultFromWin32(error) : E_FAIL;
}

}  // namespace

HRESULT SharedBstr::Adopt(BSTR text) noexcept
{
    if (text == nullptr) {
        return E_OUTOFMEMORY;
    }
    void* memory = std::malloc(sizeof(Holder));
    if (memory == nullptr) {
        SysFreeString(text);
        return E_OUTOFMEMORY;
    }
    Release();
    holder_ = new (memory) Holder{text, 1};
    return S_OK;
}

HRESULT SharedBstr::AssignAnsi(const char* ansi) noexcept
{
    if (ansi == nullptr) {
        Release();
        return S_OK;
    }
    // The terminator is converted too, so the count includes it.
    const int units = lstrlenA(ansi) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, 0, ansi, units, nullptr, 0);
    if (needed == 0) {
        return LastErrorResult();
    }
    const HeapArray<wchar_t> wide = AllocateArray<wchar_t>(static_cast<size_t>(needed));
    if (!wide) {
        return E_OUTOFMEMORY;
    }
    if (MultiByteToWideChar(CP_ACP, 0, ansi, units, wide.get(), needed) == 0) {
        return LastErrorResult();
    }
    return Adopt(SysAllocString(wide.get()));
}

SharedBstr::SharedBstr(const SharedBstr& other) noexcept : holder_(other.holder_)
{
    if (holder_ != nullptr) {
        InterlockedIncrement(&holder_->references);
    }
}

SharedBstr& SharedBstr::operator=(const SharedBstr& other) noexcept
{
    if (holder_ != other.holder_) {
        SharedBstr copy(other);
        std::swap(holder_, copy.holder_);
    }
    return *this;
}

SharedBstr& SharedBstr::operator=(SharedBstr&& other) noexcept
{
    if (this != &other) {
        Release();
        holder_ = other.holder_;
        other.holder_ = nullptr;
    }
    return *this;
}

HRESULT SharedBstr::Assign(const wchar_t* text) noexcept
{
    if (holder_ != nullptr && text == holder_->text) {
        return S_OK;
    }
    return Adopt(SysAllocString(text));
}

HRESULT SharedBstr::Concatenate(const wchar_t* left, const SharedBstr& right, SharedBstr& result) noexcept
{
    const size_t leftLength = left != nullptr ? std::wcslen(left) : 0;
    const size_t rightLength = right.Length();
    // SysAllocStringLen counts in UINT and stores the byte length in 32 bits.
    if (leftLength > UINT_MAX / 2 - rightLength) {
        return E_OUTOFMEMORY;
    }
    BSTR joined = SysAllocStringLen(nullptr, static_cast<UINT>(leftLength + rightLength));
    if (joined != nullptr && leftLength != 0) {
        // SysAllocStringLen wrote the terminator after leftLength + rightLength units itself.
        std::wmemcpy(joined, left, leftLength);  // NOLINT(bugprone-not-null-terminated-result)
    }
    if (joined != nullptr && rightLength != 0) {
        std::wmemcpy(joined + leftLength, right.get(), rightLength);
    }
    return result.Adopt(joined);
}

void SharedBstr::Release() noexcept
{
    if (holder_ != nullptr && InterlockedDecrement(&holder_->references) == 0) {
        SysFreeString(holder_->text);
        holder_->~Holder();
        std::free(holder_);
    }
    holder_ = nullptr;
}

}  // namespace zorva
