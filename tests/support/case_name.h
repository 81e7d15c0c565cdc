#pragma once

#include <gtest/gtest.h>

#include <string>

namespace zorva_test {

// Names each instance of a table-driven test after its row's `name`, so that a failure
// reads "Hosts/DottedIpv4" rather than "Hosts/2".
struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const
    {
        return std::string(info.param.name);
    }
};

}  // namespace zorva_test
