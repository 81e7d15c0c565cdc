#pragma once

#include "prefix/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace zorva_test {

// Puts root\path back as it was when the guard was made: whether the key exists, and its
// whole subtree with every value. Tests that write into shared parts of the prefix's
// registry leave them as they found them, however they end.
class RegistryGuard {
public:
    RegistryGuard(HKEY root, std::wstring path)
        : root_(root), path_(std::move(path)), saved_(SnapshotTree(root_, path_))
    {
    }

    ~RegistryGuard()
    {
        if (!RestoreTree(root_, path_, saved_)) {
            ADD_FAILURE() << "could not restore the registry below " << std::string(path_.begin(), path_.end())
                          << "; a key there is probably still locked by a test";
        }
    }

    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;

private:
    HKEY root_;
    std::wstring path_;
    RegTree saved_;  // empty: there was no key
};

}  // namespace zorva_test
