#include "tests/support/store_check.h"

#include <sqlite3.h>

namespace vh::test {

std::string store_integrity(const std::string& path)
{
    sqlite3* db = nullptr;
    std::string verdict = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        verdict.clear();
        sqlite3_stmt* check = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK) {
            while (sqlite3_step(check) == SQLITE_ROW) {
                const unsigned char* row = sqlite3_column_text(check, 0);
                verdict += (verdict.empty() ? "" : "\n") +
                           std::string(row != nullptr ? reinterpret_cast<const char*>(row) : "");
            }
        }
        sqlite3_finalize(check);
        if (verdict.empty()) {
            verdict = sqlite3_errmsg(db);
        }
    }
    sqlite3_close(db);
    return verdict;
}

}  // namespace vh::test
