// The vornhall client, run as a user runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

struct Outcome {
    int code = -1;
    std::string out;
};

// Runs the client with a shell command line's arguments; stderr joins stdout.
Outcome run(const std::string& args)
{
    Outcome result;
    const std::string command = std::string(VH_CLIENT_PATH) + " " + args + " 2>&1";
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

class Client : public ::testing::Test {
protected:
    void SetUp() override { setenv("VORNHALL_WINDIR", dir.path().c_str(), 1); }
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

}  // namespace
