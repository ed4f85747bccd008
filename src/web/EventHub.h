#pragma once

// Server-Sent Events to every open /api/events stream. A viewer waiting for news is a suspended
// connection: it costs no thread, and the server's thread is woken for it only when something
// is published. Each viewer's unsent bytes are bounded; a viewer that stops reading loses its
// stream instead of holding up the others or growing without limit.
//
// A suspended connection is not watched by the server, so the hub watches it: a viewer that
// hangs up (a page closed or reloaded) is let go at once rather than holding one of the
// server's few connections until the next keep-alive finds it gone.
//
// Threads: Publish runs on any thread (link workers); the stream's reader and free callbacks run
// on the server's thread; the hub's own thread sends keep-alives and watches for hang-ups.
// Everything below is guarded by mutex_, except the descriptors, fixed from construction.

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class EventHub {
public:
    EventHub();
    ~EventHub();
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    // Starts the keep-alive timer; called once serving starts, from the thread whose signal
    // mask the timer's thread should inherit. False, with `error` saying why, when the hub has
    // no epoll set or wake-up event to watch with.
    [[nodiscard]] bool Start(std::string& error);
    // One event, `data` being a single line of JSON.
    void Publish(std::string_view event, std::string_view data);
    // Failed: the viewer's socket cannot be watched for a hang-up.
    enum class Refusal { None, Full, Closing, Failed };
    // A response that streams the events published from now on to `connection`, which comes
    // from `address` (as AddressKey names it); the caller queues it and drops its own
    // reference. Null, with `refusal` saying why, when the address or everyone has as many
    // streams as allowed, or the hub is closing.
    [[nodiscard]] MHD_Response* OpenStream(MHD_Connection* connection, const std::string& address,
                                           Refusal& refusal);
    // Ends every stream and refuses new ones; waits (briefly) until the server has let go of
    // them, since a server may not stop with a connection suspended.
    void CloseAll();

    // Beyond this many unsent bytes a viewer is dropped.
    static constexpr std::size_t kMaxPending = 256 * 1024;
    static constexpr auto kKeepAlive = std::chrono::seconds(15);
    // Streams never end by themselves, so they get fewer places than the connections: some are
    // always left for the page's other requests.
    static constexpr std::size_t kStreamsPerAddress = 4;
    static constexpr std::size_t kStreams = 32;

private:
    struct Viewer {
        EventHub* hub;
        std::uint64_t id;
        MHD_Connection* connection;
        std::string address;
        std::string pending;
        std::size_t sent = 0;  // bytes of `pending` already handed to the server
        bool suspended = false;
        bool dropped = false;
        bool hungUp = false;  // dropped because the viewer went away
    };

    static ssize_t Read(void* viewer, std::uint64_t position, char* buffer, std::size_t size);
    static void Free(void* viewer);
    void SendLocked(std::string_view bytes);
    void Watch();
    void Wake();

    const int epoll_;     // the suspended viewers' sockets, by viewer id, and wake_ as id 0
    const int wake_;      // an eventfd that ends the watch
    int setupError_ = 0;  // errno of a failed epoll_ or wake_, for Start to report
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint64_t, Viewer*> viewers_;
    std::uint64_t nextId_ = 1;
    bool closing_ = false;
    std::thread watch_;
};
