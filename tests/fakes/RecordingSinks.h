#pragma once

// Test doubles for the places where a worker's effects leave it: the connection log, the user
// notifications and the bytes it sends on its link.

#include <mutex>
#include <string>
#include <vector>

#include "fakes/ScratchFolder.h"
#include "link/LinkContext.h"
#include "link/Listener.h"
#include "link/LogCeiling.h"
#include "link/ReceiverEvents.h"
#include "link/TxWorker.h"

struct RecordedNotice {
    std::string title;
    std::string text;
    std::string path;
    bool operator==(const RecordedNotice&) const = default;
};

// Captures what links report, on the threads that report it, for the lifetime of the object:
// the log lines and the notifications in the order they came. It has a share of the log of its
// own, as a receiver would, so that no test finds it used up by the one before.
class RecordingEvents : public ReceiverEvents {
public:
    void Report(const ReceiverEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (event.kind) {
            case ReceiverEvent::Kind::Log:
                lines_.push_back(event.text);
                break;
            case ReceiverEvent::Kind::Notice:
                notices_.push_back({event.title, event.text, ""});
                break;
            case ReceiverEvent::Kind::FileReceived:
                notices_.push_back({event.title, event.text, event.file.path});
                files_.push_back(event.file);
                break;
            default:
                break;
        }
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<RecordedNotice> Notices() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    std::vector<ReceivedFile> Files() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return files_;
    }
    // What links on `store` share when they report here.
    LinkContext Context(const StoreConfig& store) { return {store, *this, ceiling_}; }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<RecordedNotice> notices_;
    std::vector<ReceivedFile> files_;
    LogCeiling ceiling_{*this};
};

// A listener that runs no thread of its own: it only collects the ids of workers that report
// themselves finished.
class RecordingListener : public CListener {
public:
    explicit RecordingListener(const LinkContext& linkContext) : CListener(linkContext) {}
    void Open() override {}
    bool Poll() override { return false; }
    void Close() override {}
    std::vector<std::int32_t> Reported() {
        std::lock_guard<std::mutex> lock(workersMutex);
        return finished;
    }
};

// A transfer worker with no link: its send hooks append to `wire`, as a serial port would carry
// them.
class TestWorker : public CTxWorker {
public:
    explicit TestWorker(const LinkContext& linkContext, const char* nameFormat = "COM%u",
                        unsigned value = 5)
        : CTxWorker(nullptr, nullptr, linkContext) {
        SetConnectionName(nameFormat, value);
    }
    void Open() override {}
    bool Run() override { return false; }
    void Close() override {
        Log("Connection %s terminated\n", ConnectionName());
        AbortTransfer();
    }
    void SendAck() override { wire += '\x06'; }
    void SendNak() override { wire += '\x15'; }
    void SendLine(const char* text) override { wire += text; }

    bool Feed(const std::string& bytes, bool serialLink = true) {
        return OnReceive(bytes.data(), bytes.size(), serialLink);
    }
    TxState State() const { return session.State(); }

    std::string wire;
};

// A log line of TestWorker's default link, COM5.
inline std::string Com5Log(const std::string& message) {
    return "Connection COM5 " + message + "\n";
}

// A worker named COM5 on a scratch Data folder, at a fixed time (2025-12-14 02:54:17 UTC unless
// told otherwise), with what it logs and announces recorded.
struct ScratchWorker {
    explicit ScratchWorker(std::int64_t utc = 1765680857) : clock(utc) {
        data.store.clock = &clock;
    }

    FixedClock clock;
    ScratchDataFolder data;
    RecordingEvents log;
    TestWorker worker{log.Context(data.store)};
};
