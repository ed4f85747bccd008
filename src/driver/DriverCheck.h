// Whether the CP210x serial driver (service "silabser") is installed: its service is known and the
// INF file Windows installed it from is still in the INF folder. The rule is portable; the two
// lookups it needs come from the system behind DriverLookups.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The registry's type number for a plain string value.
constexpr std::uint32_t kRegistryString = 1;

struct RegistryValue {
    std::uint32_t type = 0;
    // Exactly the bytes the registry reports, a stored terminating zero included.
    std::string bytes;
};

class DriverLookups {
public:
    virtual ~DriverLookups() = default;
    // The service's DisplayName; nothing when there is no service key or no such value.
    virtual std::optional<RegistryValue> ServiceDisplayName() = 0;
    // Whether a file can be opened for reading at a path that may still hold environment
    // variables ("%SYSTEMROOT%\INF\oem7.inf").
    virtual bool CanReadInfFile(const std::string& path) = 0;
};

bool IsDriverInstalled(DriverLookups& lookups);
