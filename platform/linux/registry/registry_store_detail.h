// What the two halves of the store (registry_store_file.cpp: opening and
// identifying the file; registry_store.cpp: transactions and queries) share.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/linux/registry/registry_store.h"

namespace vh::registry {

// Now, in FILETIME ticks (100 ns since 1601).
inline std::int64_t filetime_now()
{
    using namespace std::chrono;
    constexpr std::int64_t ticks_1601_to_1970 = 11644473600LL * 10000000LL;
    const auto since_1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return ticks_1601_to_1970 + since_1970 / 100;
}

// Every statement the store runs, prepared once per connection.
struct Store::Statements {
    explicit Statements(Connection& db)
        : begin_read(db, "BEGIN"),
          begin_write(db, "BEGIN IMMEDIATE"),
          commit(db, "COMMIT"),
          rollback(db, "ROLLBACK"),
          key(db, "SELECT parent, denied, version, boot IS NOT NULL FROM keys WHERE id = ?1"),
          child(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2"),
          add_child(
              db,
              "INSERT INTO keys(parent, name, folded, class, written, boot) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
              "RETURNING id"),
          mark_volatile(db, "UPDATE store SET volatile_boot = ?1 WHERE volatile_boot IS NOT ?1"),
          depth(db,
                "WITH RECURSIVE up(id) AS (SELECT parent FROM keys WHERE id = ?1 "
                "UNION SELECT keys.parent FROM keys JOIN up ON keys.id = up.id) SELECT count(id) FROM up"),
          has_children(db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"),
          remove_values(db, "DELETE FROM vals WHERE key = ?1"),
          remove_key(db, "DELETE FROM keys WHERE id = ?1"),
          set_denied(db, "UPDATE keys SET denied = ?2 WHERE id = ?1"),
          touch(db, "UPDATE keys SET version = version + 1, written = ?2 WHERE id = ?1"),
          subkeys(db, "SELECT id, name FROM keys WHERE parent = ?1 ORDER BY folded"),
          subkey_details(db, "SELECT class, written FROM keys WHERE id = ?1"),
          values(db, "SELECT name, folded, type, length(data) FROM vals WHERE key = ?1 ORDER BY seq"),
          value(db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2"),
          put_value(db,
                    "INSERT INTO vals(key, folded, name, seq, type, data) VALUES (?1, ?2, ?3, "
                    "(SELECT coalesce(max(seq), 0) + 1 FROM vals WHERE key = ?1), ?4, ?5) "
                    "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data"),
          remove_value(db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2 RETURNING 1")
    {
    }

    Statement begin_read;
    Statement begin_write;
    Statement commit;
    Statement rollback;
    Statement key;
    Statement child;
    Statement add_child;
    Statement mark_volatile;
    Statement depth;
    Statement has_children;
    Statement remove_values;
    Statement remove_key;
    Statement set_denied;
    Statement touch;
    Statement subkeys;
    Statement subkey_details;
    Statement values;
    Statement value;
    Statement put_value;
    Statement remove_value;
};

}  // namespace vh::registry
