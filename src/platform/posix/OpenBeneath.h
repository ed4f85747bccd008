#pragma once

// How File::OpenBeneath finds its file on Linux, in the open here so that tests can try each way:
// the kernel's own confined lookup (openat2, Linux 5.6), and where a kernel or a sandbox's
// system-call filter lacks it, a walk that opens one name at a time.

#include <initializer_list>
#include <string>
#include <string_view>

namespace platform::posix {

enum class BeneathLookup {
    Kernel,  // openat2, falling back on the walk where it is missing
    Walk,    // always the walk
};

// A descriptor open for reading on the file `names` lead to from `root`, under File::OpenBeneath's
// rules; -1 when refused.
int OpenFileBeneath(const std::string& root, std::initializer_list<std::string_view> names,
                    BeneathLookup lookup);

}  // namespace platform::posix
