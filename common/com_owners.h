#pragma once

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace zorva {

template <typename T>
class ComPtr;

template <typename T>
[[nodiscard]] HRESULT CoCreate(REFCLSID clsid, DWORD context, ComPtr<T>& object) noexcept;

// Owns one COM interface reference and releases it on every way out of its scope; a move
// hands the reference over and leaves the source empty. An interface is only ever asked
// for by its C++ type, whose interface ID __uuidof names, so that the ID asked for and the
// type the answer is used as cannot disagree.
template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        // Taken before the old reference goes: its release may run code that reaches `other`.
        T* const taken = std::exchange(other.pointer_, nullptr);
        reset();
        pointer_ = taken;
        return *this;
    }

    T* get() const noexcept { return pointer_; }
    T* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    // For an out-parameter: releases what is held first.
    T** put() noexcept
    {
        reset();
        return &pointer_;
    }

    void reset() noexcept
    {
        if (pointer_ != nullptr) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }

    // QueryInterface for the interface U: `target` holds it on success and is empty
    // otherwise. E_POINTER when this holds nothing to ask.
    template <typename U>
    [[nodiscard]] HRESULT query_to(ComPtr<U>& target) const noexcept
    {
        if (pointer_ == nullptr) {
            target.reset();
            return E_POINTER;
        }
        return pointer_->QueryInterface(__uuidof(U), target.put_void());
    }

    // The interface U, or an empty pointer when the object does not offer it (or this holds
    // nothing).
    template <typename U>
    [[nodiscard]] ComPtr<U> try_query() const noexcept
    {
        ComPtr<U> target;
        static_cast<void>(query_to(target));
        return target;
    }

private:
    template <typename U>
    friend class ComPtr;
    friend HRESULT CoCreate<T>(REFCLSID clsid, DWORD context, ComPtr<T>& object) noexcept;

    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    T* pointer_ = nullptr;
};

// CoCreateInstance of `clsid` for the interface T: `object` holds it on success.
template <typename T>
[[nodiscard]] HRESULT CoCreate(REFCLSID clsid, DWORD context, ComPtr<T>& object) noexcept
{
    return CoCreateInstance(clsid, nullptr, context, __uuidof(T), object.put_void());
}

// Owns a BSTR handed out by a COM method: the caller must free it with SysFreeString.
class UniqueBstr {
public:
    UniqueBstr() noexcept = default;
    ~UniqueBstr() { SysFreeString(text_); }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    BSTR get() const noexcept { return text_; }
    BSTR* put() noexcept
    {
        SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }

private:
    BSTR text_ = nullptr;
};

// The calling thread's membership of a COM apartment for one scope. COM is left only if
// this object entered it: uninitialising after a failed CoInitializeEx (a thread already
// in an apartment of the other kind) would tear down the caller's apartment.
class ComApartment {
public:
    explicit ComApartment(DWORD model) noexcept : result_(CoInitializeEx(nullptr, model)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(result_)) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // S_OK for a thread that was outside COM, S_FALSE inside the same kind of apartment.
    HRESULT Result() const noexcept { return result_; }

private:
    HRESULT result_;
};

}  // namespace zorva
