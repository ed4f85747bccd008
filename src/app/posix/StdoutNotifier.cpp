#include "app/posix/StdoutNotifier.h"

#include <cstdio>
#include <string>

void StdoutNotifier::Deliver(const UiNotice& notice) {
    std::string line = std::string(notice.title) + '\t' + notice.text;
    if (notice.path[0] != '\0') {
        line += '\t';
        line += notice.path;
    }
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
