// The vornhall client, run as a user runs it.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"
#include "vornhall_version.h"

namespace {

struct Outcome {
    int code = -1;
    std::string out;
};

// Runs the client with a shell command line's arguments; stderr joins
// stdout. `before` is shell text run first (a folder to go to, a limit).
Outcome run(const std::string& args, const std::string& before = "")
{
    Outcome result;
    const std::string command = before + std::string(VH_CLIENT_PATH) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// Runs the client as run() does, with a terminal for its output (a
// pseudo-terminal, which turns each line end into CR LF).
Outcome run_on_terminal(const std::string& args)
{
    Outcome result;
    const std::string command = std::string(VH_CLIENT_PATH) + " " + args + " 2>&1";
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) {
        return result;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) {  // EIO once the child is gone
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

class Client : public ::testing::Test {
protected:
    void SetUp() override
    {
        vh::test::use_private_folder(dir.path());
        ASSERT_EQ(run("register").code, 0);
    }
    std::string file(const std::string& name) { return "'" + dir.file(name) + "'"; }
    vh::test::TempDir dir;
};

TEST_F(Client, IniVerbsWorkOnARealFile)
{
    const std::string f = file("s.ini");
    EXPECT_EQ(run("ini set " + f + " Window Width 800").code, 0);
    EXPECT_EQ(run("ini set " + f + " Window Title '  My  title '").code, 0);
    EXPECT_EQ(run("ini set " + f + " Other Key 1").code, 0);
    Outcome got = run("ini get " + f + " window WIDTH");
    EXPECT_EQ(got.code, 0);
    EXPECT_EQ(got.out, "800\n");
    EXPECT_EQ(run("ini get " + f + " Window Title").out, "My  title\n");
    EXPECT_EQ(run("ini get " + f + " Window Depth 24").out, "24\n");
    EXPECT_EQ(run("ini sections " + f).out, "Window\nOther\n");
    EXPECT_EQ(run("ini keys " + f + " Window").out, "Width\nTitle\n");
    EXPECT_EQ(run("ini delete-key " + f + " Window Width").code, 0);
    EXPECT_EQ(run("ini keys " + f + " Window").out, "Title\n");
    EXPECT_EQ(run("ini delete-section " + f + " Other").code, 0);
    EXPECT_EQ(run("ini sections " + f).out, "Window\n");
    EXPECT_EQ(vh::test::read_file(dir.file("s.ini")), "[Window]\r\nTitle=  My  title \r\n");
}

TEST_F(Client, RegistryVerbsWriteReadListAndDelete)
{
    const std::string key = "'Software\\Demo'";
    EXPECT_EQ(run("reg write HKCU " + key + " Width --number 800").code, 0);
    EXPECT_EQ(run("reg write hkey_current_user " + key + " Title --text 'Hello there'").code, 0);
    EXPECT_EQ(run("reg write HKCU " + key + " On --bool true").code, 0);
    EXPECT_EQ(run("reg write HKCU 'Software\\Demo\\Sub' x --number -1").code, 0);
    EXPECT_EQ(run("reg read HKCU " + key + " WIDTH").out, "800\n");
    EXPECT_EQ(run("reg read HKCU " + key + " On").out, "true\n");
    EXPECT_EQ(run("reg read HKCU 'Software\\Demo\\Sub' x").out, "-1\n");
    EXPECT_EQ(run("reg values HKCU " + key).out,
              "Width = 800 (number)\nTitle = Hello there\nOn = true (boolean)\n");
    EXPECT_EQ(run("reg keys HKCU " + key).out, "Sub\n");
    EXPECT_EQ(run("reg check HKCU " + key).code, 0);

    EXPECT_EQ(run("reg delete-value HKCU " + key + " Title").code, 0);
    EXPECT_EQ(run("reg read HKCU " + key + " Title").code, 1);
    EXPECT_EQ(run("reg delete-all-values HKCU " + key).code, 0);
    EXPECT_EQ(run("reg values HKCU " + key).out, "");
    EXPECT_EQ(run("reg keys HKCU " + key).out, "Sub\n");
    EXPECT_EQ(run("reg delete-key HKCU " + key).code, 0);
    EXPECT_EQ(run("reg check HKCU " + key).code, 1);
}

TEST_F(Client, ExportedTreesImportBackWhole)
{
    const std::string key = "'Software\\Tree'";
    ASSERT_EQ(run("reg write HKCU " + key + " n --number 42").code, 0);
    ASSERT_EQ(run("reg write HKCU 'Software\\Tree\\Leaf' t --text 'a \"quoted\" text'").code, 0);
    const std::string file = "'" + dir.file("tree.reg") + "'";
    ASSERT_EQ(run("reg export HKCU " + key + " " + file).code, 0);
    const std::string text = vh::test::read_file(dir.file("tree.reg"));
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("\"n\"=dword:0000002a"), std::string::npos) << text;
    ASSERT_EQ(run("reg delete-key HKCU " + key).code, 0);
    Outcome imported = run("reg import " + file);
    EXPECT_EQ(imported.code, 0) << imported.out;
    EXPECT_EQ(run("reg read HKCU 'Software\\Tree\\Leaf' t").out, "a \"quoted\" text\n");
    EXPECT_EQ(run("reg read HKCU " + key + " n").out, "42\n");
    EXPECT_EQ(run("reg export HKCU 'Software\\Missing' -").code, 1);
    vh::test::write_file(dir.file("bad.reg"),
                         "Windows Registry Editor Version 5.00\r\n\r\n\"x\"=dword:1\r\n");
    Outcome bad = run("reg import '" + dir.file("bad.reg") + "'");
    EXPECT_EQ(bad.code, 3);
    EXPECT_NE(bad.out.find("line 3"), std::string::npos) << bad.out;
}

TEST_F(Client, ProtectedKeysAreRefusedWithAClearMessage)
{
    const std::string key = "'Software\\Locked'";
    ASSERT_EQ(run("reg write HKCU " + key + " v --number 1").code, 0);
    EXPECT_EQ(run("reg protect HKCU " + key + " read").code, 0);
    Outcome refused = run("reg check HKCU " + key);
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.out.find("status 5"), std::string::npos) << refused.out;
    EXPECT_EQ(run("reg protect HKCU " + key + " write").code, 0);
    Outcome denied = run("reg delete-value HKCU " + key + " v");
    EXPECT_EQ(denied.code, 3);
    EXPECT_NE(denied.out.find("0x80070005"), std::string::npos) << denied.out;
    EXPECT_EQ(run("reg protect HKCU " + key + " none").code, 0);
    EXPECT_EQ(run("reg read HKCU " + key + " v").out, "1\n");
    EXPECT_EQ(run("reg protect HKCU 'Software\\Missing' all").code, 1);
    EXPECT_EQ(run("reg write HKXX " + key + " v --number 1").code, 2);
    EXPECT_EQ(run("reg write HKCU " + key + " v --float 1").code, 2);
}

TEST_F(Client, JsonOutputIsOneDocumentPerCommand)
{
    const std::string f = file("j.ini");
    EXPECT_EQ(run("--json ini set " + f + " S K 'say \"hi\"'").out, "{\"ok\": true}\n");
    EXPECT_EQ(run("--json ini get " + f + " S K").out, "{\"result\": \"say \\\"hi\\\"\"}\n");
    EXPECT_EQ(run("ini sections " + f + " --json").out, "[\"S\"]\n");
    EXPECT_EQ(run("reg write HKCU Software\\\\J n --number 7").code, 0);
    EXPECT_EQ(run("reg write HKCU Software\\\\J b --bool false").code, 0);
    EXPECT_EQ(run("--json reg values HKCU Software\\\\J").out,
              "[{\"name\": \"n\", \"kind\": \"number\", \"value\": 7}, "
              "{\"name\": \"b\", \"kind\": \"boolean\", \"value\": false}]\n");
    Outcome missing = run("--json reg read HKCU Software\\\\J none");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("{\"ok\": false, \"exit\": 1, \"error\": "), std::string::npos) << missing.out;
}

TEST_F(Client, ClassesAreCreatedThroughTheRegistration)
{
    EXPECT_EQ(run("unregister").code, 0);
    // No registration, and no module to register on first use.
    vh::test::set_environment("VORNHALL_MODULE", "/no/such/module.so");
    Outcome unregistered = run("ini sections " + file("a.ini"));
    vh::test::unset_environment("VORNHALL_MODULE");
    EXPECT_EQ(unregistered.code, 3);
    EXPECT_NE(unregistered.out.find("not registered"), std::string::npos) << unregistered.out;
    EXPECT_NE(unregistered.out.find("/no/such/module.so"), std::string::npos) << unregistered.out;
    EXPECT_EQ(run("register").code, 0);
    EXPECT_EQ(run("ini sections " + file("a.ini")).code, 0);
    EXPECT_EQ(run("register /no/such/module.so").code, 3);
}

TEST_F(Client, RegistrationStoresTheModulesAbsolutePath)
{
    // The module given by a relative path, from the folder it is in.
    const std::filesystem::path module = dir.path() / "native" / "Vornhall.so";
    std::filesystem::create_directories(module.parent_path());
    std::filesystem::copy_file(std::filesystem::path(VH_CLIENT_PATH).parent_path() / "Vornhall.so", module);
    const std::string in_dir = "cd '" + dir.path().string() + "' && ";
    ASSERT_EQ(run("register", in_dir + "VORNHALL_MODULE=./native/Vornhall.so ").code, 0);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Vornhall.iniHandler", &clsid), S_OK);
    OLECHAR text[CHARS_IN_GUID];
    ASSERT_EQ(StringFromGUID2(clsid, text, CHARS_IN_GUID), CHARS_IN_GUID);
    const std::string server = "CLSID\\" + std::string(text, text + CHARS_IN_GUID - 1) + "\\InprocServer32";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    char stored[4096] = {};
    DWORD size = sizeof stored - 1;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(std::string(stored), std::filesystem::canonical(module).string());

    // Another folder with something else at that relative path: creation
    // still loads the registered file.
    std::filesystem::create_directories(dir.path() / "elsewhere" / "native");
    vh::test::write_file(dir.path() / "elsewhere" / "native" / "Vornhall.so", "not the module\n");
    const Outcome elsewhere =
        run("ini sections " + file("a.ini"), "cd '" + (dir.path() / "elsewhere").string() + "' && ");
    EXPECT_EQ(elsewhere.code, 0) << elsewhere.out;
    ASSERT_EQ(run("register ./native/Vornhall.so", in_dir).code, 0);
    EXPECT_EQ(
        run("ini sections " + file("a.ini"), "cd '" + (dir.path() / "elsewhere").string() + "' && ").code, 0);
}

TEST_F(Client, DeepTreesAreDeletedOnASmallStack)
{
    // A tree 500 levels deep (the platform holds 512) and a client with a
    // stack of 128 KB: a walk that recursed once per level would run out of it.
    std::string path = "Software\\Deep";
    for (int level = 0; level < 500; ++level) {
        path += "\\k";
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    const Outcome deleted = run("reg delete-key HKCU 'Software\\Deep'", "ulimit -s 128 && ");
    EXPECT_EQ(deleted.code, 0) << deleted.out;
    EXPECT_EQ(run("reg check HKCU 'Software\\Deep'").code, 1);
}

TEST_F(Client, NamesAreShownEscapedOnATerminalAndInJson)
{
    // Names that would set the terminal's title, clear it, or send it a
    // command through a C1 control (U+009B, CSI).
    const std::string title = "t\x1b]0;owned\x07";
    const std::string clear = "c\x1b[2J";
    const std::string csi =
        "x\xc2\x9b"
        "31m";
    const std::string key = "'Software\\Odd'";
    for (const std::string& name : {title, clear, csi}) {
        ASSERT_EQ(
            run("reg write HKCU 'Software\\Odd\\" + name + "' '" + name + "' --text '" + name + "'").code, 0);
    }
    const Outcome keys = run_on_terminal("reg keys HKCU " + key);
    EXPECT_EQ(keys.out, "c\\x1b[2J\r\nt\\x1b]0;owned\\x07\r\nx\\u009b31m\r\n");
    const Outcome values = run_on_terminal("reg values HKCU 'Software\\Odd\\" + clear + "'");
    EXPECT_EQ(values.out, "c\\x1b[2J = c\\x1b[2J\r\n");
    const Outcome missing = run_on_terminal("reg read HKCU " + key + " '" + title + "'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out.find('\x1b'), std::string::npos) << missing.out;
    // A file or a pipe gets the names as they are.
    EXPECT_EQ(run("reg keys HKCU " + key).out, clear + "\n" + title + "\n" + csi + "\n");
    // JSON escapes them, DEL and the C1 controls too.
    EXPECT_EQ(run_on_terminal("--json reg keys HKCU " + key).out,
              "[\"c\\u001b[2J\", \"t\\u001b]0;owned\\u0007\", \"x\\u009b31m\"]\r\n");
}

TEST_F(Client, FirstUseOfAStoreRegistersTheModuleOnce)
{
    vh::test::set_environment("VORNHALL_REGISTRY", (dir.path() / "fresh.db").c_str());
    const std::string f = file("first.ini");
    Outcome first = run("ini set " + f + " S K v");
    EXPECT_EQ(first.code, 0) << first.out;
    EXPECT_EQ(first.out.rfind("vornhall: registered ", 0), 0u) << first.out;
    EXPECT_NE(first.out.find("Vornhall.so in this registry store"), std::string::npos) << first.out;
    // The store has the registration now: nothing more is said.
    EXPECT_EQ(run("ini get " + f + " S K").out, "v\n");
    EXPECT_EQ(run("reg write HKCU Software\\First n --number 1").out, "");

    // A store whose registration was removed on purpose is one without it.
    EXPECT_EQ(run("unregister").code, 0);
    Outcome again = run("--json ini get " + f + " S K");
    EXPECT_EQ(again.code, 0);
    EXPECT_NE(again.out.find("vornhall: registered "), std::string::npos) << again.out;
    EXPECT_NE(again.out.find("{\"result\": \"v\"}\n"), std::string::npos) << again.out;
}

TEST_F(Client, VersionAndAGroupWithoutAVerb)
{
    Outcome version = run("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "vornhall " VH_VERSION_TEXT "\n");

    Outcome ini = run("ini");
    EXPECT_EQ(ini.code, 2);
    EXPECT_NE(ini.out.find("vornhall ini get FILE SECTION KEY"), std::string::npos) << ini.out;
    EXPECT_NE(ini.out.find("vornhall ini delete-section"), std::string::npos) << ini.out;
    EXPECT_EQ(ini.out.find("unknown command"), std::string::npos) << ini.out;
    EXPECT_EQ(ini.out.find("vornhall reg "), std::string::npos) << ini.out;

    Outcome reg = run("reg --help");
    EXPECT_EQ(reg.code, 0);
    EXPECT_NE(reg.out.find("vornhall reg write ROOT KEY NAME"), std::string::npos) << reg.out;
    EXPECT_EQ(reg.out.find("vornhall ini "), std::string::npos) << reg.out;
    EXPECT_EQ(run("reg bogus").code, 2);
}

TEST_F(Client, FailuresAndWrongUsageHaveTheirOwnExitCodes)
{
    Outcome missing = run("ini get " + file("no/dir/x.ini") + " A B");
    EXPECT_EQ(missing.code, 3);
    EXPECT_NE(missing.out.find("0x800A004C"), std::string::npos) << missing.out;
    EXPECT_EQ(run("ini get").code, 2);
    EXPECT_EQ(run("nonsense").code, 2);
    EXPECT_EQ(run("").code, 2);
    Outcome help = run("--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("ini get FILE SECTION KEY"), std::string::npos);
}

// A store the registry functions refuse is named as such, not reported as
// a component that is not registered.
TEST_F(Client, AFileThatIsNotAStoreIsNamedAsSuch)
{
    const std::string other = dir.file("notes.txt");
    vh::test::write_file(other, "not a database\n");
    vh::test::set_environment("VORNHALL_REGISTRY", other.c_str());
    const Outcome read = run("reg read HKCU Software x");
    EXPECT_EQ(read.code, 3);
    EXPECT_NE(read.out.find("not a Vornhall registry store (status 1009)"), std::string::npos) << read.out;
    const Outcome exported = run("reg export HKCU Software -");
    EXPECT_EQ(exported.code, 3);
    EXPECT_NE(exported.out.find("not a Vornhall registry store"), std::string::npos) << exported.out;
    EXPECT_EQ(vh::test::read_file(other), "not a database\n");
}

}  // namespace
