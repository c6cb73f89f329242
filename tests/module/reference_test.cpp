// docs/reference.md against what is built: every member of both member
// tables has its section, with its dispatch identifier and parameter names,
// every section names a member that exists, and every verb of the client
// is described, so that a new member or verb cannot go undocumented.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "automation/values.h"
#include "ini/ini_members.h"
#include "registry/registry_members.h"
#include "tests/support/temp_dir.h"

namespace vh {
namespace {

const std::string& reference()
{
    static const std::string text = test::read_file(VH_REFERENCE_PATH);
    return text;
}

// The sections of the reference whose heading is "### <Class>.<Member>",
// each with its text up to the next heading.
std::map<std::string, std::string> member_sections()
{
    std::map<std::string, std::string> sections;
    std::istringstream lines(reference());
    std::string line;
    std::string* current = nullptr;
    while (std::getline(lines, line)) {
        if (line.rfind("#", 0) == 0) {
            current = nullptr;
            if (line.rfind("### ", 0) == 0) {
                std::string name = line.substr(4);
                if (name.rfind("iniHandler.", 0) == 0 || name.rfind("RegistryHandler.", 0) == 0) {
                    current = &sections[name];
                }
            }
            continue;
        }
        if (current != nullptr) {
            *current += line + "\n";
        }
    }
    return sections;
}

std::string hex(DISPID id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
    return text;
}

void expect_documented(const char* class_name, const InterfaceTable& table,
                       const std::map<std::string, std::string>& sections)
{
    for (const Member& member : table.members) {
        const std::string name = std::string(class_name) + "." + to_utf8(member.name);
        const auto found = sections.find(name);
        ASSERT_NE(found, sections.end()) << "docs/reference.md has no section \"### " << name << "\"";
        EXPECT_NE(found->second.find("`" + hex(member.id) + "`"), std::string::npos)
            << name << ": dispatch identifier " << hex(member.id);
        for (const Param& param : member.parameters()) {
            EXPECT_NE(found->second.find("`" + to_utf8(param.name) + "`"), std::string::npos)
                << name << ": parameter " << to_utf8(param.name);
        }
    }
}

TEST(Reference, EveryMemberOfBothTablesHasItsSection)
{
    const auto sections = member_sections();
    expect_documented("iniHandler", ini_handler_table(), sections);
    expect_documented("RegistryHandler", registry_handler_table(), sections);
}

TEST(Reference, EverySectionNamesAMemberThatIsBuilt)
{
    std::set<std::string> built;
    for (const Member& m : ini_handler_table().members) {
        built.insert("iniHandler." + to_utf8(m.name));
    }
    for (const Member& m : registry_handler_table().members) {
        built.insert("RegistryHandler." + to_utf8(m.name));
    }
    for (const auto& [name, text] : member_sections()) {
        EXPECT_TRUE(built.count(name) == 1)
            << "docs/reference.md describes " << name << ", which no table has";
    }
}

TEST(Reference, TheRootKeyConstantsAreListed)
{
    for (const char* row :
         {"| `HKEY_CLASSES_ROOT` | `0x80000000` |", "| `HKEY_CURRENT_USER` | `0x80000001` |",
          "| `HKEY_LOCAL_MACHINE` | `0x80000002` |", "| `HKEY_USERS` | `0x80000003` |"}) {
        EXPECT_NE(reference().find(row), std::string::npos) << row;
    }
}

TEST(Reference, EveryVerbOfTheClientIsDescribed)
{
    std::string help;
    FILE* pipe = popen(VH_CLIENT_PATH " --help", "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    for (std::size_t n = 0; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        help.append(buffer, n);
    }
    ASSERT_EQ(pclose(pipe), 0);

    // "  vornhall ini get FILE SECTION KEY [DEFAULT]      summary": the usage
    // runs up to the blanks before the summary.
    std::istringstream lines(help);
    std::string line;
    int verbs = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  vornhall ", 0) != 0) {
            continue;
        }
        const std::string usage = line.substr(2, line.find("  ", 2) - 2);
        // In a table of the reference a "|" is written "\|".
        std::string in_table;
        for (char c : usage) {
            in_table += c == '|' ? std::string("\\|") : std::string(1, c);
        }
        EXPECT_TRUE(reference().find("`" + usage + "`") != std::string::npos ||
                    reference().find("`" + in_table + "`") != std::string::npos)
            << usage;
        ++verbs;
    }
    EXPECT_GT(verbs, 10);
    for (const char* code : {"| 0 |", "| 1 |", "| 2 |", "| 3 |"}) {
        EXPECT_NE(reference().find(code), std::string::npos) << "exit code " << code;
    }
}

}  // namespace
}  // namespace vh
