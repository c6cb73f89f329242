// Profile writes from several processes at once, and writers killed in the
// middle of a write: no entry that a write acknowledged may be lost, and the
// file must never be torn.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using vh::test::read_file;
using vh::test::TempDir;

// Runs body in a child process, which ends when body returns.
template <typename Body>
pid_t spawn(const Body& body)
{
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    return child;
}

// The key names of a section, read with a buffer large enough for all.
std::set<std::string> key_names(const char* section, const std::string& file)
{
    std::vector<char> buffer(1 << 20);
    const DWORD count = GetPrivateProfileStringA(section, nullptr, "", buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), file.c_str());
    std::set<std::string> names;
    for (DWORD at = 0; at < count;) {
        const std::string name(buffer.data() + at);
        names.insert(name);
        at += static_cast<DWORD>(name.size()) + 1;
    }
    return names;
}

TEST(ProfileConcurrency, ConcurrentWritersLoseNoEntry)
{
    constexpr int writers = 4;
    constexpr int keys_each = 250;
    TempDir dir;
    const std::string file = dir.file("shared.ini");
    int start[2];
    ASSERT_EQ(pipe(start), 0);

    std::vector<pid_t> children;
    for (int writer = 0; writer < writers; ++writer) {
        children.push_back(spawn([&] {
            char go;
            close(start[1]);
            if (read(start[0], &go, 1) != 0) {  // wait until all are ready
                _exit(2);
            }
            for (int k = 0; k < keys_each; ++k) {
                const std::string key = "w" + std::to_string(writer) + "k" + std::to_string(k);
                if (!WritePrivateProfileStringA("shared", key.c_str(), key.c_str(), file.c_str())) {
                    _exit(1);
                }
            }
        }));
    }
    close(start[0]);
    close(start[1]);
    // Meanwhile a reader, taking no lock, must never see an entry vanish.
    std::size_t seen = 0;
    for (std::size_t running = children.size(); running > 0;) {
        const std::size_t now = key_names("shared", file).size();
        EXPECT_GE(now, seen);
        seen = now;
        for (pid_t& child : children) {
            int status = 0;
            if (child != 0 && waitpid(child, &status, WNOHANG) == child) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                child = 0;
                --running;
            }
        }
    }

    const std::set<std::string> names = key_names("shared", file);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(writers * keys_each));
    for (const std::string& name : names) {
        char value[32];
        GetPrivateProfileStringA("shared", name.c_str(), "", value, sizeof value, file.c_str());
        EXPECT_EQ(name, value);
    }
}

// A section of a quarter megabyte that every write copies, so that a
// write takes long enough for a kill to land inside it.
const std::string padding = [] {
    std::string bytes = "[padding]\r\n";
    for (int i = 0; i < 1000; ++i) {
        bytes += "p" + std::to_string(i) + "=" + std::string(250, 'x') + "\r\n";
    }
    return bytes;
}();

// The file that a run of acknowledged writes must leave.
std::string file_with(const std::vector<std::string>& keys)
{
    std::string bytes = padding + (keys.empty() ? "" : "[crash]\r\n");
    for (const std::string& key : keys) {
        bytes += key + "=" + key + "\r\n";
    }
    return bytes;
}

TEST(ProfileConcurrency, KilledWriterLosesNothingAcknowledged)
{
    TempDir dir;
    const std::string file = dir.file("crash.ini");
    vh::test::write_file(file, padding);
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<std::string> written;

    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto key = [round](int i) { return "r" + std::to_string(round) + "k" + std::to_string(i); };
        int acks[2];
        ASSERT_EQ(pipe(acks), 0);
        const pid_t child = spawn([&] {
            close(acks[0]);
            for (int i = 0;; ++i) {
                if (!WritePrivateProfileStringA("crash", key(i).c_str(), key(i).c_str(), file.c_str()) ||
                    write(acks[1], &i, sizeof i) != sizeof i) {
                    _exit(1);
                }
            }
        });
        close(acks[1]);
        // Once the writer is under way, kill it at a random moment.
        int acknowledged = 0;
        for (int i = 0; acknowledged == 0 && read(acks[0], &i, sizeof i) == sizeof i; acknowledged = i + 1) {
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        for (int i = 0; read(acks[0], &i, sizeof i) == sizeof i; acknowledged = i + 1) {
        }
        close(acks[0]);
        for (int i = 0; i < acknowledged; ++i) {
            written.push_back(key(i));
        }

        // Whole lines only: every acknowledged entry, and perhaps the one
        // whose acknowledgement the kill cut off.
        const std::string bytes = read_file(file);
        if (bytes != file_with(written)) {
            written.push_back(key(acknowledged));
            ASSERT_TRUE(bytes == file_with(written))
                << "torn or incomplete file of " << bytes.size() << " bytes ending in "
                << bytes.substr(bytes.size() - std::min<std::size_t>(bytes.size(), 40));
        }
        ASSERT_EQ(key_names("crash", file), std::set<std::string>(written.begin(), written.end()));

        // Besides the file, at most the killed writer's new version.
        std::vector<std::string> others;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename() != "crash.ini") {
                others.push_back(entry.path().filename().string());
            }
        }
        ASSERT_LE(others.size(), 1u);
    }
}

}  // namespace
