// Writers killed at random moments: the registry store must stay whole
// (SQLite's integrity check) and keep every write a call acknowledged.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>

#include "registry/registry_handler.h"
#include "tests/support/environment.h"
#include "tests/support/store_check.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

constexpr int kills = 100;

// Writes values until killed, telling the parent the number of each write
// that returned success.
[[noreturn]] void write_until_killed(int round, int report)
{
    auto registry = make_registry_handler();
    for (int i = 0;; ++i) {
        const Bstr name(from_utf8("r" + std::to_string(round) + "-" + std::to_string(i)));
        Bstr outcome;
        const Variant value = Variant::from_string(Bstr(std::u16string(64 + i % 200, u'x')));
        if (registry->WriteRegValue(HKEYS::current_user, Bstr(u"Software\\Crash").get(), name.get(),
                                    value.get(), outcome.put()) == S_OK) {
            const std::string line = std::to_string(i) + "\n";
            if (write(report, line.data(), line.size()) < 0) {
                _exit(2);
            }
        }
    }
}

using vh::test::store_integrity;

TEST(CrashSafety, KilledWritersLoseNothingAcknowledged)
{
    test::TempDir dir;
    const std::string store = (dir.path() / "registry.db").string();
    vh::test::set_environment("VORNHALL_REGISTRY", store.c_str());
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> delay_us(0, 20000);
    std::set<std::string> acknowledged;

    for (int round = 0; round < kills; ++round) {
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipe_ends[0]);
            write_until_killed(round, pipe_ends[1]);
        }
        close(pipe_ends[1]);
        // The kill comes at a random moment once the writer is under way,
        // however slowly a loaded machine starts it.
        std::string reported;
        char buffer[4096];
        ssize_t n = 0;
        while (reported.find('\n') == std::string::npos &&
               (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0) {
            reported.append(buffer, static_cast<std::size_t>(n));
        }
        usleep(static_cast<useconds_t>(delay_us(random)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0) {
            reported.append(buffer, static_cast<std::size_t>(n));
        }
        close(pipe_ends[0]);
        // Only whole lines were acknowledged; a line cut by the kill was not.
        std::size_t start = 0;
        for (std::size_t end; (end = reported.find('\n', start)) != std::string::npos; start = end + 1) {
            acknowledged.insert("r" + std::to_string(round) + "-" + reported.substr(start, end - start));
        }
    }

    EXPECT_EQ(store_integrity(store), "ok");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Crash", 0, KEY_READ, &key), 0L);
    std::size_t found = 0;
    for (const auto& name : acknowledged) {
        DWORD type = 0;
        found += RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, nullptr) == 0 && type == REG_SZ
                     ? 1
                     : 0;
    }
    RegCloseKey(key);
    EXPECT_EQ(found, acknowledged.size());
    EXPECT_GE(acknowledged.size(), static_cast<std::size_t>(kills)) << "every writer acknowledged a write";
}

}  // namespace
}  // namespace vh
