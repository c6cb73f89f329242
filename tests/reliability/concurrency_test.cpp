// Several processes, and threads in apartments of their own (one object per
// thread), reading and writing one profile file and one registry store at
// once: no entry may be lost and no call may fail.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ini/ini_handler.h"
#include "registry/registry_handler.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

constexpr int processes = 3;
constexpr int threads = 3;
constexpr int entries = 60;

// One writer: its own apartment, its own two objects; every entry written is
// read back at once through a fresh listing of the same key.
int write_entries(const Bstr& file, const std::string& who)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int failures = 0;
    {
        auto ini = make_ini_handler();
        auto registry = make_registry_handler();
        failures += ini->put_FileName(file.get()) == S_OK ? 0 : 1;
        for (int i = 0; i < entries; ++i) {
            const Bstr name(from_utf8(who + "-" + std::to_string(i)));
            VARIANT_BOOL stored = VARIANT_FALSE;
            failures +=
                ini->WriteValue(Bstr(u"shared").get(), name.get(), decimal(i).get(), &stored) == S_OK &&
                        stored == VARIANT_TRUE
                    ? 0
                    : 1;
            Bstr outcome;
            const Variant value = Variant::from_int32(i);
            failures += registry->WriteRegValue(HKEYS::current_user, Bstr(u"Software\\Shared").get(),
                                                name.get(), value.get(), outcome.put()) == S_OK
                            ? 0
                            : 1;
            HKEYS root = HKEYS::current_user;
            Bstr path(u"Software\\Shared");
            Bstr sought = name;
            Variant read;
            failures += registry->ReadRegValue(&root, &path.slot(), &sought.slot(), read.put()) == S_OK &&
                                read.kind() == VT_I4 && read.get().lVal == i
                            ? 0
                            : 1;
        }
    }
    CoUninitialize();
    return failures;
}

TEST(Concurrency, ProcessesAndApartmentThreadsLoseNothing)
{
    test::TempDir dir;
    vh::test::use_private_folder(dir.path());
    const Bstr file(from_utf8(dir.file("shared.ini")));

    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::atomic<int> failures{0};
            std::vector<std::thread> workers;
            for (int t = 0; t < threads; ++t) {
                workers.emplace_back([&, t] {
                    failures += write_entries(file, "p" + std::to_string(p) + "t" + std::to_string(t));
                });
            }
            for (auto& w : workers) {
                w.join();
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer saw a failing call";
    }

    // Everything is there: in the file, and in the store.
    const std::string content = test::read_file(dir.file("shared.ini"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Shared", 0, KEY_READ, &key), 0L);
    int in_file = 0;
    int in_store = 0;
    for (int p = 0; p < processes; ++p) {
        for (int t = 0; t < threads; ++t) {
            for (int i = 0; i < entries; ++i) {
                const std::string name =
                    "p" + std::to_string(p) + "t" + std::to_string(t) + "-" + std::to_string(i);
                in_file += content.find(name + "=" + std::to_string(i) + "\r\n") != std::string::npos ? 1 : 0;
                DWORD data = 0;
                DWORD size = sizeof data;
                in_store += RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(&data), &size) == 0 &&
                                    data == static_cast<DWORD>(i)
                                ? 1
                                : 0;
            }
        }
    }
    RegCloseKey(key);
    EXPECT_EQ(in_file, processes * threads * entries);
    EXPECT_EQ(in_store, processes * threads * entries);
}

}  // namespace
}  // namespace vh
