#pragma once
// The storage tests that every implementation must pass, run against each (SQLite in
// velmora_service_tests, PostgreSQL in velmora_service_postgres_tests).

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "storage.hpp"
#include "support/test_server.hpp"

namespace velmora::service {

enum class Backend { sqlite, postgres };

class StorageTable : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override;
    // A storage on this test's own database; a second call opens the same database again,
    // as a second service (or a restart) would.
    std::unique_ptr<Storage> open(Clock clock = {}, StorageLimits limits = {});
    // Runs SQL on the test's database outside the storage, as an operator would.
    void execute(const std::string& sql);

    velmora::testing::TempDir dir_;
    std::string place_;
};

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

}  // namespace velmora::service
