#include "link/LinkWatch.h"

#include <atomic>

namespace {
std::atomic<LinkWatch*> g_linkWatch{nullptr};
}  // namespace

void SetLinkWatch(LinkWatch* watch) {
    g_linkWatch.store(watch);
}

void WatchLinkOpened(const void* key, const char* name, const char* kind, const char* peer) {
    if (LinkWatch* watch = g_linkWatch.load()) {
        watch->LinkOpened(key, name, kind, peer);
    }
}

void WatchLinkSerial(const void* key, const char* serial) {
    if (LinkWatch* watch = g_linkWatch.load()) {
        watch->LinkSerial(key, serial);
    }
}

void WatchLinkClosed(const void* key) {
    if (LinkWatch* watch = g_linkWatch.load()) {
        watch->LinkClosed(key);
    }
}
