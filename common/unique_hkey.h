#pragma once

#include <windows.h>

namespace zorva {

// Owns one open registry key and closes it on every way out of its scope.
class UniqueHkey {
public:
    UniqueHkey() noexcept = default;
    explicit UniqueHkey(HKEY key) noexcept : key_(key) {}
    ~UniqueHkey() { reset(); }

    UniqueHkey(const UniqueHkey&) = delete;
    UniqueHkey& operator=(const UniqueHkey&) = delete;
    UniqueHkey(UniqueHkey&& other) noexcept : key_(other.release()) {}
    UniqueHkey& operator=(UniqueHkey&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    HKEY get() const noexcept { return key_; }
    explicit operator bool() const noexcept { return key_ != nullptr; }

    // For the out-parameter of RegOpenKeyExW/RegCreateKeyExW: closes what is held first.
    HKEY* put() noexcept
    {
        reset();
        return &key_;
    }

    HKEY release() noexcept
    {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }

    void reset(HKEY key = nullptr) noexcept
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
        key_ = key;
    }

private:
    HKEY key_ = nullptr;
};

}  // namespace zorva
