// The component as a JScript client sees it: both classes created by name,
// every member called late-bound, errors as exceptions with their number,
// Enumerator over the listings, VBArray over the value listing.
// Usage: cscript suite.js <scratch folder>. Ends with "N passed, M failed".
var passed = 0;
var failed = 0;

function check(ok, what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        WScript.Echo("FAIL: " + what);
    }
}

// The error number of a failed call, as a script sees it (0 when none).
function error_of(call) {
    try {
        call();
    } catch (e) {
        return e.number & 0xFFFF;
    }
    return 0;
}

var HKCU = 0x80000001 | 0;
var scratch = WScript.Arguments(0);
var fso = new ActiveXObject("Scripting.FileSystemObject");

function test_ini() {
    var ini = new ActiveXObject("Vornhall.iniHandler");
    var path = scratch + "\\suite-js.ini";
    check(ini.FileName === "", "FileName before binding is empty");
    ini.FileName = path;
    check(ini.FileName === path, "FileName reports the bound path");
    check(fso.FileExists(path) && fso.GetFile(path).Size === 0, "binding creates an empty file");

    check(ini.WriteValue("A", "one", "1") === true, "WriteValue returns true");
    check(ini.WriteValue("A", "two", " 2 ") === true, "a second key");
    check(ini.WriteValue("B", "three", "3") === true, "a second section");
    check(ini.GetValue("A", "two") === "2", "GetValue trims, default omitted");
    check(ini.GetValue("A", "none", "x") === "x", "GetValue of a missing key");

    var names = [];
    for (var e = new Enumerator(ini.GetAllSections()); !e.atEnd(); e.moveNext()) {
        names.push(e.item());
    }
    check(names.join(",") === "A,B", "Enumerator over GetAllSections: " + names.join(","));
    var keys = ini.GetAllKeys("A");
    check(keys.Count === 2 && keys.Item(2) === "two", "GetAllKeys with Count and Item");

    check(ini.DeleteKey("A", "one") === true, "DeleteKey");
    check(ini.GetAllKeys("A").Count === 1, "DeleteKey removed the key");
    check(ini.DeleteSection("B") === true, "DeleteSection");
    check(ini.GetAllSections().Count === 1, "DeleteSection removed the section");

    check(error_of(function () { ini.FileName = scratch + "\\missing\\x.ini"; }) === 76,
          "binding in a missing folder: error 76");
    check(ini.FileName === path, "a failed binding keeps the previous path");
}

function test_registry() {
    var reg = new ActiveXObject("Vornhall.RegistryHandler");
    var base = "Software\\VornhallSuiteJs";
    check(reg.WriteRegValue(HKCU, base, "n", 7) === "", "WriteRegValue of a number");
    check(reg.WriteRegValue(HKCU, base, "s", "text") === "", "WriteRegValue of a string");
    check(reg.WriteRegValue(HKCU, base, "b", false) === "", "WriteRegValue of a Boolean");
    check(reg.WriteRegValue(HKCU, base, "d", 2.5) === "Unsupported value type", "a fraction is refused");
    check(reg.CheckRegistryKey(HKCU, base) === -1, "CheckRegistryKey of an existing key");
    check(reg.CheckRegistryKey(HKCU, base + "\\none") !== -1, "CheckRegistryKey of a missing key");

    check(reg.ReadRegValue(HKCU, base, "n") === 7, "ReadRegValue of a number");
    check(reg.ReadRegValue(HKCU, base, "S") === "text", "ReadRegValue ignores the name's case");
    check(reg.ReadRegValue(HKCU, base, "b") === false, "ReadRegValue of a Boolean");
    check(typeof reg.ReadRegValue(HKCU, base, "d") === "undefined", "a refused value is Empty");

    var values = new VBArray(reg.EnumValues(HKCU, base)).toArray();
    check(values.length === 4, "EnumValues: three values and the end entry, " + values.length);
    check((values.slice(0, 3).sort().join(",")).toLowerCase() === "b,n,s", "EnumValues names the values");

    reg.DeleteValue(HKCU, base, "s");
    check(typeof reg.ReadRegValue(HKCU, base, "s") === "undefined", "DeleteValue");
    reg.DeleteAllValues(HKCU, base);
    check(new VBArray(reg.EnumValues(HKCU, base)).toArray().length === 1, "DeleteAllValues");
    reg.DeleteKey(HKCU, base);
    check(reg.CheckRegistryKey(HKCU, base) !== -1, "DeleteKey");

    check(error_of(function () { reg.NoSuchMember(); }) !== 0, "an unknown member is an error");
}

test_ini();
test_registry();
WScript.Echo("jscript: " + passed + " passed, " + failed + " failed");
