#include "common/shared_bstr.h"

#include "common/hresult_error.h"

#include <climits>
#include <memory>
#include <new>

namespace zorva {
namespace {

[[noreturn]] void ThrowLastError()
{
    const DWORD error = GetLastError();
    // A failure must never travel as a success code, even if the system left no error.
    throw HResultError(error != ERROR_SUCCESS ? HResultFromWin32(error) : E_FAIL);
}

}  // namespace

SharedBstr SharedBstr::Adopt(BSTR text)
{
    if (text == nullptr) {
        throw HResultError(E_OUTOFMEMORY);
    }
    SharedBstr result;
    try {
        result.holder_ = new Holder{text, 1};
    } catch (...) {
        SysFreeString(text);
        throw;
    }
    return result;
}

SharedBstr::SharedBstr(const char* ansi)
{
    if (ansi == nullptr) {
        return;
    }
    // The terminator is converted too, so the count includes it.
    const int units = lstrlenA(ansi) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, 0, ansi, units, nullptr, 0);
    if (needed == 0) {
        ThrowLastError();
    }
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[needed]);
    if (!wide) {
        throw HResultError(E_OUTOFMEMORY);
    }
    if (MultiByteToWideChar(CP_ACP, 0, ansi, units, wide.get(), needed) == 0) {
        ThrowLastError();
    }
    *this = Adopt(SysAllocString(wide.get()));
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

SharedBstr& SharedBstr::operator=(const wchar_t* text)
{
    if (holder_ == nullptr || text != holder_->text) {
        *this = Adopt(SysAllocString(text));
    }
    return *this;
}

SharedBstr operator+(const wchar_t* left, const SharedBstr& right)
{
    const size_t leftLength = left != nullptr ? wcslen(left) : 0;
    const size_t rightLength = right.Length();
    // SysAllocStringLen counts in UINT and stores the byte length in 32 bits.
    if (leftLength > UINT_MAX / 2 - rightLength) {
        throw HResultError(E_OUTOFMEMORY);
    }
    BSTR joined = SysAllocStringLen(nullptr, static_cast<UINT>(leftLength + rightLength));
    if (joined != nullptr) {
        CopyMemory(joined, left, leftLength * sizeof(wchar_t));
        CopyMemory(joined + leftLength, right.get(), rightLength * sizeof(wchar_t));
    }
    return SharedBstr::Adopt(joined);
}

void SharedBstr::Release() noexcept
{
    if (holder_ != nullptr && InterlockedDecrement(&holder_->references) == 0) {
        SysFreeString(holder_->text);
        delete holder_;
    }
    holder_ = nullptr;
}

}  // namespace zorva
