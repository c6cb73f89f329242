// What every verb of the client uses: objects created by name, late-bound
// calls, exit codes and failures.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "automation/values.h"
#include "platform/win32.h"

namespace vh::cli {

constexpr int exit_ok = 0;
constexpr int exit_not_found = 1;
constexpr int exit_usage = 2;
constexpr int exit_failed = 3;

// A failure that ends the command: its message and exit code.
struct Failure {
    std::string message;
    int code = exit_failed;
};

std::string hex(HRESULT status);

// A module's path as registration stores it: absolute, with no "." or ".."
// and its links resolved, so that it names the same file from any folder.
std::filesystem::path module_path(const std::filesystem::path& given);

// The component module: $VORNHALL_MODULE (made as module_path makes it),
// else Vornhall.so beside the client, else the installed module
// (lib/vornhall/Vornhall.so).
std::filesystem::path default_module();

// What the client says of a registry store that the registry functions
// refuse with `status` ("" for statuses that say nothing of the store).
std::string store_problem(LSTATUS status);

// Loads a module and calls one of its registration entry points; a module
// that cannot be loaded is a Failure.
HRESULT call_module_entry(const std::filesystem::path& module, const char* entry);

// A new object of the class registered under prog_id, asked for IDispatch.
// A store without the registration gets the default module registered
// first (its first use), with a note on standard error.
ComPtr<IDispatch> create_object(const std::u16string& prog_id);

Variant text_arg(const std::string& utf8);

// Calls a member by name, late-bound, with the arguments first one first.
Variant call(IDispatch* object, const std::u16string& name, std::vector<Variant> args,
             WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET);

std::string to_text(const Variant& value);
bool to_bool(const Variant& value);

}  // namespace vh::cli
