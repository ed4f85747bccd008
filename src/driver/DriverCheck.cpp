#include "driver/DriverCheck.h"

bool IsDriverInstalled(DriverLookups& lookups) {
    const std::optional<RegistryValue> value = lookups.ServiceDisplayName();
    if (!value || value->type != kRegistryString) {
        return false;
    }
    const std::string& text = value->bytes;
    if (text.empty() || text.front() != '@') {
        return false;
    }
    // A service set up from an INF names it indirectly: "@oem7.inf,%svcdesc%;description". The
    // whole value is searched, past a stored terminating zero too.
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) {
        return false;
    }
    std::string path = "%SYSTEMROOT%\\INF\\" + text.substr(1, comma - 1);
    // The system reads the path as a C string: whatever follows a zero is never part of it.
    if (const std::size_t zero = path.find('\0'); zero != std::string::npos) {
        path.erase(zero);
    }
    return lookups.CanReadInfFile(path);
}
