// vornhall: the command-line client of the component.
//
// Its ini and reg verbs drive the component the way a script host does: it
// creates objects by their programmatic identifiers through the registration
// in the registry store, and calls their members late-bound, by name,
// through IDispatch. What no member does (export and import of .reg text,
// access rights on keys) the registry tools do over the registry functions
// directly, and register and unregister call the module's own entry points.
#include <algorithm>
#include <cstdio>

#include "cli/client.h"
#include "cli/verbs.h"
#include "vornhall_version.h"

namespace {

using namespace vh::cli;

struct Group {
    const char* name;  // "" for verbs without a group
    const char* title;
    const VerbTable& (*verbs)();
};

const Group groups[] = {
    {"ini", "Profile (INI) files, through the iniHandler class", &ini_verbs},
    {"reg", "Registry keys and values, through the RegistryHandler class", &reg_verbs},
    {"", "The component's registration", &module_verbs},
};

void print_group(std::FILE* out, const Group& group)
{
    std::fprintf(out, "%s:\n", group.title);
    for (const auto& [name, verb] : group.verbs()) {
        std::fprintf(out, "  vornhall %-52s %s\n", verb.usage, verb.summary);
    }
}

void print_help(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: vornhall [--json] <group> <verb> [arguments]\n"
                 "  or:  vornhall --help | --version\n"
                 "Drives the Vornhall component as a script host does: creates its iniHandler and\n"
                 "RegistryHandler objects by name and calls their members late-bound.\n");
    for (const Group& group : groups) {
        std::fprintf(out, "\n");
        print_group(out, group);
    }
    std::fprintf(out,
                 "\n"
                 "ROOT is HKCR, HKCU, HKLM or HKU (or HKEY_CURRENT_USER and so on); KEY is a path\n"
                 "with \"\\\" between its parts. --json prints one JSON document instead of lines.\n"
                 "\n"
                 "Objects are created through the registration in the registry store. When the\n"
                 "store has no registration of the component yet, the first command that needs\n"
                 "it registers the module vornhall was installed with, and says so once.\n"
                 "\n"
                 "Exit status:\n"
                 "  0  success\n"
                 "  1  not found (a key, a value, a file)\n"
                 "  2  wrong usage\n"
                 "  3  the operation failed (the message names the status)\n"
                 "\n"
                 "Environment:\n"
                 "  VORNHALL_REGISTRY  the registry store, one SQLite file\n"
                 "                     (default $XDG_DATA_HOME/vornhall/registry.db)\n"
                 "  VORNHALL_MODULE    the module to register (default Vornhall.so beside\n"
                 "                     vornhall, else ../lib/vornhall/Vornhall.so from it)\n"
                 "  VORNHALL_WINDIR    the folder of win.ini for the profile service\n"
                 "  VORNHALL_CODEPAGE  1252 for a Windows-1252 ANSI code page (default UTF-8)\n");
}

// The group a command names without a verb ("vornhall ini"), or with --help.
const Group* group_alone(const Args& words)
{
    for (const Group& group : groups) {
        if (*group.name != '\0' && words[0] == group.name &&
            (words.size() == 1 || (words.size() == 2 && (words[1] == "--help" || words[1] == "-h")))) {
            return &group;
        }
    }
    return nullptr;
}

// The verb the words name, and where its arguments start.
std::pair<const Verb*, std::size_t> find_verb(const Args& words)
{
    for (const Group& group : groups) {
        const bool grouped = *group.name != '\0';
        if (grouped && (words[0] != group.name || words.size() < 2)) {
            continue;
        }
        const std::string& name = words[grouped ? 1 : 0];
        if (const auto found = group.verbs().find(name); found != group.verbs().end()) {
            return {&found->second, grouped ? 2 : 1};
        }
    }
    return {nullptr, 0};
}

int run(Args words, const Output& out)
{
    const auto [verb, first] = find_verb(words);
    if (verb == nullptr) {
        std::string command;
        for (std::size_t i = 0; i < std::min<std::size_t>(words.size(), 2); ++i) {
            command += (i == 0 ? "" : " ") + words[i];
        }
        throw Failure{"unknown command \"" + command + "\" (see vornhall --help)", exit_usage};
    }
    const Args args(words.begin() + static_cast<std::ptrdiff_t>(first), words.end());
    if (args.size() < verb->min_args || args.size() > verb->max_args) {
        throw Failure{std::string("usage: vornhall ") + verb->usage, exit_usage};
    }
    return verb->run(args, out);
}

}  // namespace

int main(int argc, char** argv)
{
    Args words(argv + 1, argv + argc);
    const auto json_flag = std::find(words.begin(), words.end(), "--json");
    const Output out(json_flag != words.end());
    if (json_flag != words.end()) {
        words.erase(json_flag);
    }
    if (words.empty() || words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        print_help(words.empty() ? stderr : stdout);
        return words.empty() ? exit_usage : exit_ok;
    }
    if (words[0] == "--version") {
        out.result("vornhall " VH_VERSION_TEXT, json_string(VH_VERSION_TEXT));
        return exit_ok;
    }
    if (const Group* group = group_alone(words)) {
        // A group without a verb is wrong usage: its verbs on standard error.
        print_group(words.size() == 1 ? stderr : stdout, *group);
        return words.size() == 1 ? exit_usage : exit_ok;
    }
    CoInitialize(nullptr);
    int code = exit_failed;
    try {
        code = run(words, out);
    } catch (const Failure& failure) {
        out.failure(failure.message, failure.code);
        code = failure.code;
    } catch (const vh::Error& error) {
        out.failure("failed (" + hex(error.status()) + ")", exit_failed);
    }
    CoUninitialize();
    return code;
}
