#pragma once

// A worker that runs the transfer protocol over its link. Every field here is touched only by
// the worker's own thread; the protocol takes no locks.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "link/Worker.h"
#include "platform/Clock.h"
#include "platform/Printf.h"
#include "transfer/TransferFile.h"

enum class TxState : std::int32_t { Idle = 0, Receiving = 1, Updating = 2 };

enum class OpenOutcome { Opened, DirectoryFailed, FileFailed };

// Longest partial line kept; a longer line is refused rather than grown without limit.
inline constexpr std::size_t kMaxLineLength = 4096;

class CTxWorker : public CWorker {
public:
    CTxWorker(CListener* owner, platform::Event* stop);
    ~CTxWorker() override = default;

    // Transport hooks. The serial link writes the bytes and waits for the write; TCP sends nothing.
    virtual void SendAck() = 0;
    virtual void SendNak() = 0;
    virtual void SendLine(const char* text) = 0;

    // Feeds one chunk received from the link. False on a protocol error; what follows the byte
    // that ended the call is dropped. A partial line carries over to the next call.
    bool OnReceive(const char* data, std::size_t count, bool serialLink);
    void DiscardLine() { line.clear(); }

    void SendHexRecord(std::span<const std::uint8_t> bytes);
    void SendBootStart();

    // The received-file store.
    OpenOutcome OpenDataFile();
    void WriteDataLine(std::string_view text);
    void FinishTransfer();
    void AbortTransfer();

    const char* ConnectionName() const { return connectionName; }
    // Tests pin the moment a file is named; workers otherwise use the system clock.
    void SetClock(const platform::Clock& source) { clock = &source; }

protected:
    // Formats the link's name ("S%u", "COM%u") once, when the worker is created; a name that
    // does not fit the 15 characters is cut.
    void SetConnectionName(const char* format, ...) ORB_PRINTF(2, 3);

    TxState state = TxState::Idle;
    std::string line;    // printable bytes since the last line end
    std::string serial;  // from the last accepted HELLO, as received
    std::string path;    // the temporary data file, or the firmware file
    TransferFile file;   // open exactly while state is not Idle
    std::uint32_t lineCount = 0;

private:
    enum class Step { Continue, Done, Failed };

    Step OnAckByte();
    Step OnNakByte();
    Step OnLineEnd(bool serialLink);
    Step OnLine(std::string_view text, bool serialLink);
    Step OnHello(std::string_view argument);
    Step OnBoot();
    Step Refuse(const char* format);
    bool ReserveDataFile(const std::string& baseName);

    char connectionName[16] = {};
    const platform::Clock* clock;
};
