#pragma once

#include <windows.h>

#include <setupapi.h>

#include <type_traits>

namespace zorva {

// For owners of handles that report failure as INVALID_HANDLE_VALUE rather than null. That
// value is a cast of -1 to a pointer, which no constant expression may hold, so an owner
// names this function instead of the value.
inline HANDLE InvalidHandleValue() noexcept
{
    return INVALID_HANDLE_VALUE;
}

// Owns one handle-like value of type T and gives it back to the system through Close on
// every way out of its scope. Invalid is the value that means "nothing held": null by
// default, otherwise a function that returns it (see InvalidHandleValue).
template <typename T, auto Close, auto Invalid = nullptr>
class UniqueAny {
public:
    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Empty(); }

    // For an out-parameter: releases what is held first.
    T* put() noexcept
    {
        reset();
        return &value_;
    }

    T release() noexcept
    {
        const T value = value_;
        value_ = Empty();
        return value;
    }

    void reset(T value = Empty()) noexcept
    {
        if (value_ != Empty()) {
            static_cast<void>(Close(value_));
        }
        value_ = value;
    }

private:
    static T Empty() noexcept
    {
        if constexpr (std::is_null_pointer_v<decltype(Invalid)>) {
            return nullptr;
        } else {
            return Invalid();
        }
    }

    T value_ = Empty();
};

using UniqueHkey = UniqueAny<HKEY, RegCloseKey>;
// Process, thread, job and event handles: null when there is none.
using UniqueHandle = UniqueAny<HANDLE, CloseHandle>;
// A device information set: SetupDiGetClassDevsW reports failure as INVALID_HANDLE_VALUE.
using UniqueDevInfo = UniqueAny<HDEVINFO, SetupDiDestroyDeviceInfoList, InvalidHandleValue>;

}  // namespace zorva
