// orbtray for Linux: the instrument receiver as a foreground program. The connection log goes to
// standard error, notifications to standard output; SIGINT or SIGTERM stops it in order.
// `orbtray list` prints the files received so far instead.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/posix/CommandLine.h"
#include "app/posix/OutboxCommands.h"
#include "app/posix/StdoutNotifier.h"
#include "app/posix/WebFront.h"
#include "datafolder/RowText.h"
#include "datafolder/Scan.h"
#include "datafolder/Store.h"
#include "handoff/Forwarder.h"
#include "link/DebugOutputLog.h"
#include "link/EventQueue.h"
#include "link/Receiver.h"
#include "platform/Cp210xDriver.h"
#include "platform/FileSystem.h"
#include "platform/SerialPort.h"
#include "platform/Socket.h"

namespace {

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

std::string DefaultDataFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && dataHome[0] == '/') {
        return std::string(dataHome) + "/Orbalinex/Data/";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/share/Orbalinex/Data/";
}

std::string DefaultOutbox() {
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    if (stateHome != nullptr && stateHome[0] == '/') {
        return std::string(stateHome) + "/orbtray/outbox/";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/state/orbtray/outbox/";
}

std::vector<handoff::Target> TargetsOf(const CommandLine& line) {
    std::vector<handoff::Target> targets;
    if (!line.forwardTo.empty()) {
        targets.push_back({handoff::Target::Kind::Folder, Absolute(line.forwardTo)});
    }
    if (!line.onFile.empty()) {
        targets.push_back({handoff::Target::Kind::Command, line.onFile});
    }
    return targets;
}

int Fail(const std::string& message, int code) {
    std::fprintf(stderr, "orbtray: %s\n", message.c_str());
    return code;
}

bool WriteAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// `orbtray list`: the rows of the File Transfers window as text. The whole listing is built in
// memory and written at once: tens of thousands of rows must not cost a system call each.
int List(const std::string& dataFolder) {
    if (!platform::IsDirectory(dataFolder)) {
        return Fail("no data folder at " + dataFolder, 1);
    }
    std::vector<FileRecord> records;
    ScanDataFolder(dataFolder, records);
    std::string text;
    text.reserve(records.size() * 64);
    for (const FileRecord& record : records) {
        AppendTextRow(text, record);
    }
    return WriteAll(STDOUT_FILENO, text) ? 0 : Fail("cannot write the list", 1);
}

// Whether files can be written into the Data folder; says why not, and says once what the
// receiver does where its file system lacks what it would rather use.
bool CheckDataFolder(const std::string& dataFolder) {
    const platform::FolderAbilities abilities = platform::ProbeFolder(dataFolder);
    if (!abilities.writeError.empty()) {
        Fail("cannot write into the data folder " + dataFolder + ": " + abilities.writeError, 1);
        return false;
    }
    if (!abilities.noReplaceRename) {
        std::fprintf(stderr,
                     "orbtray: the data folder's file system cannot rename without replacing; "
                     "each finished file first takes its name with an empty placeholder\n");
    }
    if (!abilities.holds) {
        std::fprintf(stderr,
                     "orbtray: the data folder's file system cannot lock files; another "
                     "receiver's unfinished files are told by their age (kept for an hour)\n");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    if (!line.error.empty()) {
        std::fprintf(stderr, "orbtray: %s\nRun 'orbtray --help' for the options.\n",
                     line.error.c_str());
        return 2;
    }
    if (line.help || line.version) {
        std::fputs(line.output.c_str(), stdout);
        return 0;
    }

    // Everything the worker threads read is settled before the first of them starts.
    StoreConfig store;
    store.dataFolder = line.dataFolder.empty() ? DefaultDataFolder() : Absolute(line.dataFolder);
    if (store.dataFolder.back() != '/') {
        store.dataFolder += '/';
    }
    if (line.list) {
        return List(store.dataFolder);
    }
    const std::string outbox = line.outbox.empty() ? DefaultOutbox() : Absolute(line.outbox);
    switch (line.outboxCommand) {
        case CommandLine::OutboxCommand::List:
            return ListOutbox(outbox);
        case CommandLine::OutboxCommand::Retry:
            return RetryOutbox(outbox);
        case CommandLine::OutboxCommand::Add: {
            std::vector<std::string> files;
            for (const std::string& file : line.addFiles) {
                files.push_back(Absolute(file));
            }
            return AddToOutbox(outbox, TargetsOf(line), files);
        }
        case CommandLine::OutboxCommand::None:
            break;
    }

    // Signals are taken by sigwait below, so every thread started from here on blocks them.
    // Closing the terminal (SIGHUP) and Ctrl+\ (SIGQUIT) stop in order too: a receiver that
    // just vanished would leave its ports' locks and its unfinished files behind.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int stop : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&stopSignals, stop);
    }
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // An existing Data folder that cannot be written is said at once, before anything listens:
    // an instrument must not be told "ready" by a receiver that can store nothing.
    const bool folderExisted = platform::IsDirectory(store.dataFolder);
    if (folderExisted && !CheckDataFolder(store.dataFolder)) {
        return 1;
    }

    // The ports come first: a second orbtray, or another program on the port, must not get as
    // far as creating or cleaning up a Data folder that the first may be receiving into.
    platform::StartNetworking();
    UsbOptions usb;
    usb.scan = line.usbScan;
    for (const std::string& path : line.serialPorts) {
        // A file or /dev/null would be served as a port that is forever ready and says nothing;
        // a path that is not there yet is waited for.
        if (platform::ExaminePortPath(path) == platform::PortPath::Other) {
            return Fail("--serial-port " + path + " is not a serial port", 2);
        }
        usb.extraPorts.push_back(Absolute(path));
    }
    for (const std::string& name : line.ignorePorts) {
        // A path is compared whole, as the serial ports named are; a bare name as it is.
        usb.ignorePorts.push_back(name.find('/') == std::string::npos ? name : Absolute(name));
    }
    WebFront web;
    // Like any other option that cannot be used: the user has to change the command line.
    if (std::string error; !web.Configure(line, store.dataFolder, error)) {
        return Fail(error, 2);
    }
    // The hand-off's jobs are written before each file is named: an outbox that cannot be
    // written is said now, not at the first file.
    handoff::ForwardConfig forwarding;
    forwarding.outbox = outbox;
    forwarding.targets = TargetsOf(line);
    forwarding.commandTimeout = std::chrono::seconds(line.onFileTimeout);
    handoff::Forwarder forwarder(forwarding);
    if (!forwarding.targets.empty()) {
        if (std::string error; !handoff::Outbox(outbox).Prepare(error)) {
            return Fail("cannot use the outbox " + outbox + ": " + error, 1);
        }
        store.journal = &forwarder;
    }
    // The receiver's threads report here; the log, the terminal, the page and the hand-off take
    // the reports on the queue's thread, so that no instrument waits for them.
    DebugOutputLog log;
    StdoutNotifier notifier;
    std::vector<ReceiverEvents*> consumers{&log, &notifier};
    if (ReceiverEvents* page = web.Events()) {
        consumers.push_back(page);
    }
    if (store.journal != nullptr) {
        consumers.push_back(&forwarder);
    }
    EventQueue events(std::move(consumers));
    Receiver receiver(store, events, line.port, usb);
    const std::vector<PortFailure> unopened = receiver.Open();
    for (const PortFailure& failure : unopened) {
        std::fprintf(stderr, "orbtray: cannot listen on %s port %u: %s\n", failure.protocol,
                     unsigned(failure.port), platform::SocketErrorText(failure.error).c_str());
    }
    if (!unopened.empty()) {
        return 1;
    }
    // The hand-off runs before the first file can arrive, and before the page, whose thread
    // reads what its runners publish. Every way out from here stops it before the event queue
    // it logs into is gone.
    struct StopsHandOff {
        handoff::Forwarder& forwarder;
        ~StopsHandOff() { forwarder.Stop(); }
    } stopsHandOff{forwarder};
    if (store.journal != nullptr) {
        if (!forwarder.Start(events)) {
            return Fail("cannot start the hand-off's threads", 1);
        }
        web.Forward(&forwarder);
    }
    // The page's address is one more port: one the user gave and that cannot be had ends
    // orbtray here too. The page shows the Data folder as it comes to exist.
    if (!web.Start()) {
        return 1;
    }

    if (!MakePath(store.dataFolder)) {
        return Fail("cannot create the data folder " + store.dataFolder, 1);
    }
    if (!folderExisted && !CheckDataFolder(store.dataFolder)) {
        return 1;
    }
    if (!line.firmwarePath.empty()) {
        store.firmwarePath = Absolute(line.firmwarePath);
        platform::File firmware;
        if (!firmware.OpenForReading(store.firmwarePath)) {
            return Fail("cannot read the firmware image " + store.firmwarePath, 1);
        }
    }
    // A crash leaves partial files behind; they are deleted as an aborted transfer would be.
    const int leftovers = RemoveLeftoverTempFiles(store.dataFolder);

    // Without a driver the scan finds nothing, however many bridges are plugged in.
    if (usb.scan && !platform::Cp210xDriverAvailable()) {
        std::fputs(
            "orbtray: no CP210x USB driver in this kernel (module cp210x); USB instruments "
            "will not be seen until it is installed (Debian: the linux-image package "
            "provides it). Network instruments are served as usual.\n",
            stderr);
    }
    if (!receiver.Start()) {
        web.Stop();
        return Fail("cannot start the receiver's threads", 1);
    }
    if (leftovers > 0) {
        std::printf("orbtray: deleted %d unfinished file(s) left by an earlier run\n", leftovers);
    }
    std::printf("orbtray: receiving into %s on TCP and UDP port %u\n", store.dataFolder.c_str(),
                unsigned(line.port));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    web.Stop();
    receiver.Stop();
    // Jobs not yet delivered stay in the outbox for the next start.
    forwarder.Stop();
    // Everything the links said before they ended is out before the last word.
    events.Drain();
    std::printf("orbtray: stopped\n");
    return 0;
}
