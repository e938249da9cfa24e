// Feeds arbitrary text to the registry file parser. Whatever it reads must serialize to a
// text that parses back to the same values, so a value can never change or vanish between
// two saves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry_file.h"

namespace {

using qvex::platform::RegistryDocument;
using qvex::platform::RegistryValue;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    RegistryDocument document = RegistryDocument::Parse(text);
    std::string serialized = document.Serialize();
    RegistryDocument reparsed = RegistryDocument::Parse(serialized);
    Check(reparsed.Serialize() == serialized);
    Check(reparsed.Keys() == document.Keys());
    for (const std::string& key : document.Keys()) {
        Check(RegistryDocument::IsValidKeyPath(key));
        Check(reparsed.Values(key) == document.Values(key));
    }

    // The input as a value name and as string data must survive escaping.
    const std::string key = "HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\Fuzz";
    Check(document.Set(key, text, RegistryValue::String(std::string(text))));
    const std::string subkey = key + "\\Size";
    Check(document.Set(subkey, "n", RegistryValue::Dword(static_cast<uint32_t>(size))));
    RegistryDocument edited = RegistryDocument::Parse(document.Serialize());
    Check(edited.Get(key, text) == RegistryValue::String(std::string(text)));
    Check(edited.Get(subkey, "N") == RegistryValue::Dword(static_cast<uint32_t>(size)));
    Check(edited.DeleteKey("HKEY_CURRENT_USER\\software"));
    Check(!edited.Get(key, text).has_value() && !edited.HasKey(subkey));
    return 0;
}
