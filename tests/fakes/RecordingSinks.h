#pragma once

// Test doubles for the places where a worker's effects leave it: the connection log, the user
// notifications and the bytes it sends on its link.

#include <mutex>
#include <string>
#include <vector>

#include "fakes/ScratchFolder.h"
#include "link/ConnectionLog.h"
#include "link/Listener.h"
#include "link/LogCeiling.h"
#include "link/NotifyUser.h"
#include "link/TxWorker.h"

// Captures log lines for the lifetime of the object, from a fresh second of the process's share
// of limited lines: the test before must not have used it up.
class RecordingLog : public LogSink {
public:
    RecordingLog() {
        ProcessLogCeiling().Restart();
        SetConnectionLogSink(this);
    }
    ~RecordingLog() override { SetConnectionLogSink(nullptr); }
    void Write(const char* text) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text);
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct RecordedNotice {
    std::string title;
    std::string text;
    std::string path;
    bool operator==(const RecordedNotice&) const = default;
};

// Captures notifications for the lifetime of the object.
class RecordingNotifier : public NotifySink {
public:
    RecordingNotifier() { SetNotifySink(this); }
    ~RecordingNotifier() override { SetNotifySink(nullptr); }
    void Deliver(const UiNotice& notice) override {
        std::lock_guard<std::mutex> lock(mutex_);
        notices_.push_back({notice.title, notice.text, notice.path});
    }
    std::vector<RecordedNotice> Notices() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<RecordedNotice> notices_;
};

// A listener that runs no thread of its own: it only collects the ids of workers that report
// themselves finished.
class RecordingListener : public CListener {
public:
    explicit RecordingListener(const StoreConfig& store) : CListener(store) {}
    void Open() override {}
    bool Poll() override { return false; }
    void Close() override {}
    std::vector<std::int32_t> Reported() {
        platform::MutexLock lock(workersMutex);
        return finished;
    }
};

// A transfer worker with no link: its send hooks append to `wire`, as a serial port would carry
// them.
class TestWorker : public CTxWorker {
public:
    explicit TestWorker(const StoreConfig& store, const char* nameFormat = "COM%u",
                        unsigned value = 5)
        : CTxWorker(nullptr, nullptr, store) {
        SetConnectionName(nameFormat, value);
    }
    void Open() override {}
    bool Run() override { return false; }
    void Close() override {
        ConnectionLog("Connection %s terminated\n", ConnectionName());
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

// A worker named COM5 on a scratch Data folder, at a fixed time (2025-12-14 02:54:17 UTC unless
// told otherwise), with what it logs and announces recorded.
struct ScratchWorker {
    explicit ScratchWorker(std::int64_t utc = 1765680857) : clock(utc) {
        data.store.clock = &clock;
    }

    FixedClock clock;
    ScratchDataFolder data;
    RecordingLog log;
    RecordingNotifier notifier;
    TestWorker worker{data.store};
};
