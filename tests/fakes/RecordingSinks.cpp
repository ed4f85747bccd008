#include "fakes/RecordingSinks.h"

void RecordingLog::Write(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(text);
}

std::vector<std::string> RecordingLog::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void RecordingNotifier::Deliver(const UiNotice& notice) {
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.push_back({notice.title, notice.text, notice.path});
}

std::vector<RecordedNotice> RecordingNotifier::Notices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_;
}

TestWorker::TestWorker(const StoreConfig& store, const char* nameFormat, unsigned value)
    : CTxWorker(nullptr, nullptr, store) {
    SetConnectionName(nameFormat, value);
}

void TestWorker::Close() {
    ConnectionLog("Connection %s terminated\n", ConnectionName());
    AbortTransfer();
}
