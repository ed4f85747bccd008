#pragma once

// The line protocol every instrument link runs: HELLO <serial>, LINE <data>, BYE, BOOT, and the
// ACK and NAK bytes. A Session belongs to one link and is used by that link's thread only; it
// has no thread, timer or I/O of its own and talks back only through its host.

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "datafolder/Store.h"
#include "platform/Printf.h"

enum class TxState : std::int32_t { Idle = 0, Receiving = 1, Updating = 2 };

// Longest partial line kept; a longer line is refused rather than grown without limit.
inline constexpr std::size_t kMaxLineLength = 4096;

// What a session needs of the link it runs on.
class SessionHost {
public:
    // Replies to the instrument. The serial link writes the bytes and waits for the write; TCP
    // sends nothing.
    virtual void SendAck() = 0;
    virtual void SendNak() = 0;
    virtual void SendLine(const char* text) = 0;
    // One line of the connection log, printf-style.
    virtual void LogV(const char* format, std::va_list arguments) = 0;
    // A log line the other side causes at will: a complaint about what it sent, the serial each
    // HELLO announces, a transfer it breaks off. Something that does not speak the protocol, or
    // repeats itself, makes such lines as fast as it sends, so a link may count some instead of
    // writing them. Lines about files stored or not stored go to LogV.
    virtual void PeerLogV(const char* format, std::va_list arguments) { LogV(format, arguments); }
    // A file arrived and has its final name: the store's record of it, with the serial and the
    // line count. Called before the instrument is acknowledged.
    virtual void FileReceived(const ReceivedFile& file) = 0;
    // The instrument has said who it is; links that show who is connected take note.
    virtual void SerialKnown(const char* /*serial*/) {}
    // A data transfer is under way: `sofar` names its temporary file (folder, name, path) and
    // holds the serial and the readings so far, each of them already written out to that file.
    // Told as the transfer begins, then at most every kProgressEvery while data comes.
    virtual void TransferProgress(const ReceivedFile& /*sofar*/) {}
    // The transfer last told of ended without a file the list shows: broken off, refused, or
    // its data kept under another name.
    virtual void TransferAborted() {}

protected:
    ~SessionHost() = default;
};

class Session {
public:
    // `connectionName` names the link in every log line; it belongs to the host and must
    // outlive the session.
    Session(SessionHost& sessionHost, const StoreConfig& config, const char* connectionName)
        : host(sessionHost), name(connectionName), store(config) {}

    // Feeds one chunk received from the link. False on a protocol error, and when the file
    // could not be stored; what follows the byte that ended the call is dropped. A completed
    // transfer does not end the call: what follows its BYE is the next one. The end of a firmware
    // update does. A partial line carries over to the next call.
    [[nodiscard]] bool OnReceive(const char* data, std::size_t count, bool serialLink);
    void DiscardLine() { line.clear(); }

    // Ends the transfer in progress normally: the data file becomes final and the user is told.
    // False when it could not be stored: nothing is left of data that may be incomplete, and
    // complete data that could not be named is kept where the log says.
    [[nodiscard]] bool FinishTransfer();
    // Ends whatever is in progress: a partial data file is deleted. Links call it when they
    // fail, time out or close.
    void AbortTransfer();

    void SendHexRecord(std::span<const std::uint8_t> bytes);
    void SendBootStart();

    TxState State() const { return state; }
    // Milliseconds until the readings not yet told of are due to be (0: now), or -1 when every
    // reading has been: a link that falls quiet wakes for them then and calls ReportProgressDue,
    // so that a transfer that pauses is shown as far as it has come.
    int ProgressDueMs() const;
    void ReportProgressDue() {
        if (state == TxState::Receiving) {
            ReportProgress(false);
        }
    }

    // How often a transfer in progress is told of at most. The check costs a clock read per
    // chunk received; an instrument never waits for it, as it comes after the chunk's replies.
    static constexpr std::chrono::milliseconds kProgressEvery{500};

private:
    enum class Step { Continue, Done, Failed };

    Step OnAckByte();
    Step OnNakByte();
    Step OnLineEnd(bool serialLink);
    Step OnLine(std::string_view text, bool serialLink);
    Step OnHello(std::string_view argument);
    Step OnBoot();
    Step OnData(std::string_view argument);
    Step OnBye();
    // Answers NAK to what the other side sent wrong, and complains about it.
    Step Refuse(const char* format);
    // Answers NAK to a request the store could not serve, and logs why.
    Step Fail(const char* format);
    void Log(const char* format, ...) ORB_PRINTF(2, 3);
    void PeerLog(const char* format, ...) ORB_PRINTF(2, 3);
    // Tells the host of the transfer in progress when kProgressEvery has passed (or `now`).
    void ReportProgress(bool now);

    SessionHost& host;
    const char* name;
    TxState state = TxState::Idle;
    std::string line;    // printable bytes since the last line end
    std::string serial;  // from the last accepted HELLO, as received
    std::uint32_t lineCount = 0;
    Store store;            // holds a file exactly while state is not Idle
    ReceivedFile progress;  // the data transfer in progress as last told
    std::chrono::steady_clock::time_point progressDue;
};
