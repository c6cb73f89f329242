// The ini verbs: an iniHandler bound to the file named on the command line.
#include "cli/client.h"
#include "cli/verbs.h"

namespace vh::cli {

namespace {

ComPtr<IDispatch> ini_file(const std::string& path)
{
    ComPtr<IDispatch> ini = create_object(u"Vornhall.iniHandler");
    call(ini.get(), u"FileName", {text_arg(path)}, DISPATCH_PROPERTYPUT);
    return ini;
}

int report_change(const Variant& changed, const char* what, const Output& out)
{
    if (!to_bool(changed)) {
        throw Failure{std::string("the profile service did not ") + what};
    }
    out.done();
    return exit_ok;
}

// The items of a collection, read with Count and Item as a script would.
std::vector<std::string> items(const Variant& collection)
{
    if (collection.kind() != VT_DISPATCH || collection.get().pdispVal == nullptr) {
        throw Failure{"the component returned no collection"};
    }
    IDispatch* names = collection.get().pdispVal;
    std::vector<std::string> result;
    const LONG count = call(names, u"Count", {}).get().lVal;
    for (LONG i = 1; i <= count; ++i) {
        result.push_back(to_text(call(names, u"Item", {Variant::from_int32(i)})));
    }
    return result;
}

}  // namespace

const VerbTable& ini_verbs()
{
    static const VerbTable verbs{
        {"get",
         {"ini get FILE SECTION KEY [DEFAULT]", "print the value of an entry (DEFAULT when it is missing)", 3,
          4,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              std::vector<Variant> args{text_arg(a[1]), text_arg(a[2])};
              if (a.size() > 3) {
                  args.push_back(text_arg(a[3]));
              }
              const std::string value = to_text(call(ini.get(), u"GetValue", std::move(args)));
              out.result(value, json_string(value));
              return exit_ok;
          }}},
        {"set",
         {"ini set FILE SECTION KEY VALUE", "write an entry, adding or replacing it", 4, 4,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              return report_change(
                  call(ini.get(), u"WriteValue", {text_arg(a[1]), text_arg(a[2]), text_arg(a[3])}),
                  "store the entry", out);
          }}},
        {"delete-key",
         {"ini delete-key FILE SECTION KEY", "remove one entry", 3, 3,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              return report_change(call(ini.get(), u"DeleteKey", {text_arg(a[1]), text_arg(a[2])}),
                                   "remove the entry", out);
          }}},
        {"delete-section",
         {"ini delete-section FILE SECTION", "remove a section with all its entries", 2, 2,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              return report_change(call(ini.get(), u"DeleteSection", {text_arg(a[1])}), "remove the section",
                                   out);
          }}},
        {"sections",
         {"ini sections FILE", "list the section names, one per line", 1, 1,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              out.names(items(call(ini.get(), u"GetAllSections", {})));
              return exit_ok;
          }}},
        {"keys",
         {"ini keys FILE SECTION", "list the key names of a section, one per line", 2, 2,
          [](const Args& a, const Output& out) {
              auto ini = ini_file(a[0]);
              out.names(items(call(ini.get(), u"GetAllKeys", {text_arg(a[1])})));
              return exit_ok;
          }}},
    };
    return verbs;
}

}  // namespace vh::cli
