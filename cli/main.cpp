// vornhall: the command-line client of the component.
//
// It drives the component only through its public surface, the way a
// script host does: it creates objects by their programmatic identifiers
// through the registration in the registry store, and calls their members
// late-bound, by name, through IDispatch.
#include <algorithm>
#include <cstdio>

#include "cli/client.h"
#include "cli/verbs.h"

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

void print_help(std::FILE* out)
{
    std::fprintf(out, "usage: vornhall [--json] <group> <verb> [arguments]\n");
    for (const Group& group : groups) {
        std::fprintf(out, "\n%s:\n", group.title);
        for (const auto& [name, verb] : group.verbs()) {
            std::fprintf(out, "  vornhall %-52s %s\n", verb.usage, verb.summary);
        }
    }
    std::fprintf(out,
                 "\n"
                 "ROOT is HKCR, HKCU, HKLM or HKU (or HKEY_CURRENT_USER and so on); KEY is a path\n"
                 "with \"\\\" between its parts. --json prints one JSON document instead of lines.\n"
                 "Exit codes: 0 success, 1 not found, 2 wrong usage, 3 the operation failed.\n"
                 "Objects are created through the registration in the registry store,\n"
                 "$VORNHALL_REGISTRY, else $XDG_DATA_HOME/vornhall/registry.db: run\n"
                 "\"vornhall register\" once to register Vornhall.so (or $VORNHALL_MODULE).\n");
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
