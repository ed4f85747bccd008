#include "app/posix/StdoutNotifier.h"

#include <cstdio>
#include <string>

void StdoutNotifier::Report(const ReceiverEvent& event) {
    using Kind = ReceiverEvent::Kind;
    if (event.kind != Kind::Notice && event.kind != Kind::FileReceived) {
        return;
    }
    std::string line = event.title + '\t' + event.text;
    if (event.kind == Kind::FileReceived) {
        line += '\t';
        line += event.file.path;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}
