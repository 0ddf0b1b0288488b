// Shared by the crash index's tests: the two stores an index can live in, a fresh index of either for each
// test (an SQLite file, or a database of its own on a throwaway PostgreSQL server), and what a test reads
// back from the stored rows, the same way for both.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <cctype>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "postgres_server.h"
#include "symbol_test_support.h"

namespace hestolvane::decode::testing {

enum class Store { Sqlite, Postgres };

inline std::string StoreName(const ::testing::TestParamInfo<Store>& Info) {
    return Info.param == Store::Sqlite ? "SQLite" : "PostgreSQL";
}

inline void PrintTo(Store Shown, std::ostream* Out) {
    *Out << (Shown == Store::Sqlite ? "SQLite" : "PostgreSQL");
}

// One server for the whole test process, started by the first test that needs it.
inline hestolvane::testing::PostgresServer* SharedServer(std::string& WhyNot) {
    static std::string Failed;
    static std::unique_ptr<hestolvane::testing::PostgresServer> Server;
    if (!Server && Failed.empty()) {
        Server = hestolvane::testing::PostgresServer::Start(Failed);
    }
    WhyNot = Failed;
    return Server.get();
}

// A word the shell passes on as it is: an index URI has '&' and '?' in it.
inline std::string Quoted(const std::string& Word) {
    std::string Text = "'";
    for (char Character : Word) {
        Text += Character == '\'' ? std::string("'\\''") : std::string(1, Character);
    }
    return Text + "'";
}

// A test over both stores. Index(Name) is a fresh, empty index: a file in the test's directory, or a new
// database on the server.
class IndexStoreTest : public ::testing::TestWithParam<Store> {
protected:
    void SetUp() override {
        if (GetParam() == Store::Postgres) {
            std::string WhyNot;
            Server = SharedServer(WhyNot);
            if (Server == nullptr) {
                GTEST_SKIP() << WhyNot;
            }
        }
    }

    std::string Index(const std::string& Name) {
        if (GetParam() == Store::Sqlite) {
            return Work / (Name + ".db");
        }
        const ::testing::TestInfo* Test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string Database = std::string(Test->name()) + "_" + Name;
        for (char& Character : Database) {
            const auto Byte = static_cast<unsigned char>(Character);
            Character = std::isalnum(Byte) != 0 ? static_cast<char>(std::tolower(Byte)) : '_';
        }
        Database = Database.substr(0, 63);
        EXPECT_TRUE(Server->CreateDatabase(Database)) << Database;
        return Server->Uri(Database);
    }

    TemporaryDirectory Work;
    hestolvane::testing::PostgresServer* Server = nullptr;
};

// The rows of a query whose every column is text, from either store.
inline std::vector<std::vector<std::string>> Rows(const std::string& Index, const std::string& Query) {
    std::vector<std::vector<std::string>> Found;
    if (Index.rfind("postgres", 0) == 0) {
        PGconn* Connection = PQconnectdb(Index.c_str());
        PGresult* Result = PQexec(Connection, Query.c_str());
        if (PQresultStatus(Result) == PGRES_TUPLES_OK) {
            for (int Row = 0; Row < PQntuples(Result); ++Row) {
                Found.emplace_back();
                for (int Column = 0; Column < PQnfields(Result); ++Column) {
                    Found.back().emplace_back(PQgetvalue(Result, Row, Column));
                }
            }
        } else {
            ADD_FAILURE() << Query << ": " << PQerrorMessage(Connection);
        }
        PQclear(Result);
        PQfinish(Connection);
        return Found;
    }
    sqlite3* Connection = nullptr;
    sqlite3_stmt* Statement = nullptr;
    if (sqlite3_open_v2(Index.c_str(), &Connection, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(Connection, Query.c_str(), -1, &Statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << Query << ": " << sqlite3_errmsg(Connection);
    } else {
        while (sqlite3_step(Statement) == SQLITE_ROW) {
            Found.emplace_back();
            for (int Column = 0; Column < sqlite3_column_count(Statement); ++Column) {
                const auto* Text = reinterpret_cast<const char*>(sqlite3_column_text(Statement, Column));
                Found.back().emplace_back(Text != nullptr ? Text : "");
            }
        }
    }
    sqlite3_finalize(Statement);
    sqlite3_close(Connection);
    return Found;
}

// Statements run on a PostgreSQL index, to set up what a test needs: several without values, or one with
// its values bound.
inline bool Execute(const std::string& Index, const std::string& Statements,
                    const std::vector<std::string>& Values = {}) {
    PGconn* Connection = PQconnectdb(Index.c_str());
    std::vector<const char*> Bound;
    for (const std::string& Value : Values) {
        Bound.push_back(Value.c_str());
    }
    PGresult* Result = Values.empty() ? PQexec(Connection, Statements.c_str())
                                      : PQexecParams(Connection, Statements.c_str(), static_cast<int>(Bound.size()),
                                                     nullptr, Bound.data(), nullptr, nullptr, 0);
    const bool Done = PQresultStatus(Result) == PGRES_COMMAND_OK || PQresultStatus(Result) == PGRES_TUPLES_OK;
    if (!Done) {
        ADD_FAILURE() << PQerrorMessage(Connection);
    }
    PQclear(Result);
    PQfinish(Connection);
    return Done;
}

inline int64_t RowsIn(const std::string& Index) {
    const auto Found = Rows(Index, "SELECT COUNT(*) FROM reports");
    return Found.size() == 1 ? std::stoll(Found[0][0]) : -1;
}

}  // namespace hestolvane::decode::testing
