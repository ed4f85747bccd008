// The presence check's two lookups on Windows: the silabser service's DisplayName in the registry
// and the INF folder.

#include <windows.h>

#include <fstream>

#include "driver/DriverCheck.h"
#include "driver/win32/Driver.h"

namespace {

class SystemDriverLookups : public DriverLookups {
public:
    std::optional<RegistryValue> ServiceDisplayName() override {
        HKEY key = nullptr;
        // A 32-bit build reads the 64-bit view, where the driver's service is registered.
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\silabser", 0,
                          KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        DWORD type = REG_NONE;
        DWORD size = 0;
        const LONG probed = RegQueryValueExA(key, "DisplayName", nullptr, &type, nullptr, &size);
        if (probed != ERROR_SUCCESS) {
            RegCloseKey(key);
            return std::nullopt;
        }
        RegistryValue value{type, {}};
        if (type == REG_SZ) {
            // Exactly the reported bytes: a stored terminating zero stays part of the text.
            value.bytes.assign(size, '\0');
            RegQueryValueExA(key, "DisplayName", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(value.bytes.data()), &size);
        }
        RegCloseKey(key);
        return value;
    }

    bool CanReadInfFile(const std::string& path) override {
        char expanded[271] = {};
        ExpandEnvironmentStringsA(path.c_str(), expanded, sizeof expanded);
        expanded[sizeof expanded - 1] = '\0';
        std::ifstream file(expanded);
        return file.is_open();
    }
};

}  // namespace

bool IsDriverInstalled() {
    SystemDriverLookups lookups;
    return IsDriverInstalled(lookups);
}
