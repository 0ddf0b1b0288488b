// The record's tests over each store: a fresh SQLite file, or a fresh database on a PostgreSQL server the
// test process starts itself (skipped, saying so, only when PostgreSQL's binaries are not installed).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lab_test_support.h"
#include "postgres_server.h"
#include "store.h"

namespace hestolvane::lab::testing {

enum class StoreKind { Sqlite, Postgres };

// One server for the whole test process, started by the first test that needs it; nullptr and WhyNot
// when it could not be.
inline hestolvane::testing::PostgresServer* SharedPostgres(std::string& WhyNot) {
    static std::string Failure;
    static const std::unique_ptr<hestolvane::testing::PostgresServer> Server = hestolvane::testing::PostgresServer::Start(Failure);
    WhyNot = Failure;
    return Server.get();
}

inline bool PostgresAbsent(const std::string& WhyNot) {
    return WhyNot.find("not installed") != std::string::npos;
}

// Skips the test when PostgreSQL is not installed, fails it when the server would not start.
#define HESTOLVANE_NEED_POSTGRES(Server)                                              \
    do {                                                                              \
        std::string WhyNot_;                                                          \
        (Server) = ::hestolvane::lab::testing::SharedPostgres(WhyNot_);               \
        if ((Server) == nullptr && ::hestolvane::lab::testing::PostgresAbsent(WhyNot_)) { \
            GTEST_SKIP() << WhyNot_;                                                  \
        }                                                                             \
        ASSERT_NE((Server), nullptr) << WhyNot_;                                      \
    } while (false)

// A fresh database on the shared server, its URI.
inline std::string FreshDatabase(hestolvane::testing::PostgresServer& Server) {
    static unsigned Made = 0;
    const std::string Name = "lab" + std::to_string(++Made);
    return Server.CreateDatabase(Name) ? Server.Uri(Name) : "";
}

class LabStores : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override {
        if (GetParam() == StoreKind::Postgres) {
            HESTOLVANE_NEED_POSTGRES(Server);
        }
    }

    // A record of its own for each call.
    OpenedStore Open() {
        if (GetParam() == StoreKind::Sqlite) {
            return OpenSqliteStore(Work.Path() + "/lab" + std::to_string(++Files) + ".db");
        }
        const std::string Uri = FreshDatabase(*Server);
        if (Uri.empty()) {
            return {nullptr, "the test database could not be created"};
        }
        return OpenPostgresStore(Uri);
    }

    TempDirectory Work;
    hestolvane::testing::PostgresServer* Server = nullptr;
    unsigned Files = 0;
};

}  // namespace hestolvane::lab::testing
