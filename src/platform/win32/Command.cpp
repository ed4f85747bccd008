// RunCommand runs entirely on the caller's thread; nothing here is shared between threads.
#include "platform/Command.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/win32/SystemText.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

CommandEnd NotStarted(const char* what) {
    CommandEnd end;
    end.error = std::string(what) + ": " + SystemText(GetLastError());
    return end;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE Get() const { return handle_; }
    HANDLE* Receive() { return &handle_; }
    void Close() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_ = nullptr;
};

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

// Names end at the first '=' after the first character: the per-drive entries ("=C:=C:\x")
// start with one.
std::string_view NameOf(std::string_view entry) {
    return entry.substr(0, entry.find('=', 1));
}

// The current environment with `additions` put in, as the block CreateProcessA takes: entries
// sorted by name regardless of case, as Windows expects, names matched regardless of case.
std::vector<char> EnvironmentBlock(
    const std::vector<std::pair<std::string, std::string>>& additions) {
    std::vector<std::pair<std::string, std::string>> entries;  // (upper-case name, entry)
    if (char* current = GetEnvironmentStringsA()) {
        for (const char* entry = current; *entry != '\0'; entry += std::strlen(entry) + 1) {
            entries.emplace_back(Upper(NameOf(entry)), entry);
        }
        FreeEnvironmentStringsA(current);
    }
    for (const auto& [name, value] : additions) {
        const std::string key = Upper(name);
        std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
        entries.emplace_back(key, name + "=" + value);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<char> block;
    for (const auto& entry : entries) {
        block.insert(block.end(), entry.second.begin(), entry.second.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    if (entries.empty()) {
        block.push_back('\0');
    }
    return block;
}

std::string ShellPath() {
    char path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA("ComSpec", path, sizeof path);
    if (length > 0 && length < sizeof path) {
        return std::string(path, length);
    }
    length = GetSystemDirectoryA(path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0) + "\\cmd.exe";
}

struct Stream {
    Handle read;
    OutputLines lines;

    // Reads what is waiting without blocking; false when nothing was.
    bool Drain(std::vector<char>& buffer) {
        if (read.Get() == nullptr) {
            return false;
        }
        DWORD waiting = 0;
        DWORD got = 0;
        if (!PeekNamedPipe(read.Get(), nullptr, 0, nullptr, &waiting, nullptr) ||
            (waiting > 0 && (!ReadFile(read.Get(), buffer.data(),
                                       std::min<DWORD>(waiting, static_cast<DWORD>(buffer.size())),
                                       &got, nullptr) ||
                             got == 0))) {
            // Broken pipe: every writer has closed its end.
            lines.Finish();
            read.Close();
            return false;
        }
        lines.Add(buffer.data(), got);
        return got > 0;
    }
};

// A pipe whose read end stays here and whose write end the child inherits.
bool MakePipe(Handle& read, Handle& write) {
    return CreatePipe(read.Receive(), write.Receive(), nullptr, 0) &&
           SetHandleInformation(write.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

// Lists the handles the child may inherit, so that no other inheritable handle of this process
// (another thread may be starting a command at the same moment) leaks into it.
class InheritList {
public:
    explicit InheritList(HANDLE* handles, std::size_t count) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                          count * sizeof(HANDLE), nullptr, nullptr)) {
                list_ = list;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }
    ~InheritList() {
        if (list_ != nullptr) {
            DeleteProcThreadAttributeList(list_);
        }
    }
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;

    // Null where the system cannot restrict inheritance: then plain inheritance it is.
    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

private:
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

void SetKillOnClose(HANDLE job, bool kill) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = kill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

}  // namespace

CommandEnd RunCommand(const std::string& command,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      std::chrono::milliseconds timeout, const std::atomic<bool>& cancel,
                      const std::function<void(std::string_view line)>& outputLine) {
    const Clock::time_point deadline = Clock::now() + timeout;
    Stream streams[2] = {{Handle(), OutputLines(outputLine)}, {Handle(), OutputLines(outputLine)}};
    Handle outWrite;
    Handle errWrite;
    if (!MakePipe(streams[0].read, outWrite) || !MakePipe(streams[1].read, errWrite)) {
        return NotStarted("no pipe");
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    Handle nul(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr));
    if (nul.Get() == nullptr) {
        return NotStarted("NUL");
    }
    // The job ends everything the command starts; should this process die first, closing its
    // handle still does.
    Handle job(CreateJobObjectA(nullptr, nullptr));
    if (job.Get() == nullptr) {
        return NotStarted("no job object");
    }
    SetKillOnClose(job.Get(), true);

    const std::string shell = ShellPath();
    // "/s" makes cmd take everything between the first and the last quote as the command,
    // quotes inside included; "/d" keeps AutoRun commands from the registry out of it.
    std::string commandLine = "\"" + shell + "\" /d /s /c \"" + command + "\"";
    std::vector<char> block = EnvironmentBlock(environment);
    HANDLE inherited[3] = {nul.Get(), outWrite.Get(), errWrite.Get()};
    InheritList inheritList(inherited, 3);
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nul.Get();
    startup.StartupInfo.hStdOutput = outWrite.Get();
    startup.StartupInfo.hStdError = errWrite.Get();
    startup.lpAttributeList = inheritList.Get();
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    if (inheritList.Get() != nullptr) {
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
    }
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(shell.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                        block.data(), nullptr, &startup.StartupInfo, &started)) {
        return NotStarted(shell.c_str());
    }
    Handle process(started.hProcess);
    Handle thread(started.hThread);
    // Suspended until it is in the job, so that nothing it starts can escape the job.
    if (!AssignProcessToJobObject(job.Get(), process.Get())) {
        CommandEnd end = NotStarted("no job for the command");
        TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), INFINITE);
        return end;
    }
    ResumeThread(thread.Get());
    thread.Close();
    // Only the child may hold the write ends: the streams end when it and its own children do.
    outWrite.Close();
    errWrite.Close();
    nul.Close();

    CommandEnd end;
    std::vector<char> buffer(64 * 1024);
    bool exited = false;
    for (;;) {
        const bool readSome = streams[0].Drain(buffer) | streams[1].Drain(buffer);
        exited = exited || WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
        if (exited && streams[0].read.Get() == nullptr && streams[1].read.Get() == nullptr) {
            DWORD code = 0;
            GetExitCodeProcess(process.Get(), &code);
            end.how = CommandEnd::How::Exited;
            end.exitCode = static_cast<int>(code);
            // What it left running in the background after a normal end is its own business,
            // as on POSIX.
            SetKillOnClose(job.Get(), false);
            return end;
        }
        const bool cancelled = cancel.load();
        if (cancelled || Clock::now() >= deadline) {
            TerminateJobObject(job.Get(), 1);
            WaitForSingleObject(process.Get(), INFINITE);
            // A partial line read so far, such as a prompt the command hung on, still goes out.
            for (Stream& stream : streams) {
                if (stream.read.Get() != nullptr) {
                    stream.lines.Finish();
                }
            }
            end.how = cancelled ? CommandEnd::How::Cancelled : CommandEnd::How::TimedOut;
            return end;
        }
        if (!readSome) {
            // Anonymous pipes cannot be waited on; their output is looked for once a tick.
            if (exited) {
                Sleep(kCommandTickMs);
            } else {
                WaitForSingleObject(process.Get(), kCommandTickMs);
            }
        }
    }
}

}  // namespace platform
