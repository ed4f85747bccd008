// orbtray.exe: start-up, the one message loop of the main thread, and shut-down. Everything the
// receiver's threads read (the Data folder, the firmware path, the main window) is settled
// before the first of them starts and never changed afterwards.

#include "app/win32/App.h"

// After App.h: these need <windows.h> first.
#include <commctrl.h>
#include <objbase.h>

#include <chrono>

#include "app/TrayRules.h"
#include "datafolder/Store.h"
#include "driver/win32/Driver.h"
#include "handoff/Forwarder.h"
#include "link/DebugOutputLog.h"
#include "link/EventQueue.h"
#include "link/Receiver.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"

namespace {

constexpr char kMainClass[] = "OrbTrayIcon";
constexpr char kTransfersClass[] = "OrbTrayMain";
constexpr char kAppTitle[] = "Orbalinex Transfer";

void InitControls(DWORD classes) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, classes};
    InitCommonControlsEx(&controls);
}

void RegisterWindowClasses() {
    WNDCLASSA main = {};
    main.lpfnWndProc = MainWndProc;
    main.hInstance = g_hInstance;
    main.lpszClassName = kMainClass;
    RegisterClassA(&main);

    WNDCLASSA transfers = {};
    transfers.lpfnWndProc = TransfersWndProc;
    transfers.hInstance = g_hInstance;
    transfers.hIcon = LoadIconA(g_hInstance, "OrbTray");
    transfers.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    transfers.lpszClassName = kTransfersClass;
    RegisterClassA(&transfers);
}

// Runs until WM_QUIT and returns its exit code. The wait wakes for the folder watch's event and
// for anything in the queue, sent messages included: a worker blocked in a notification is
// served promptly.
int RunMessageLoop(HACCEL accelerators) {
    for (;;) {
        HANDLE watch = FolderWatchEvent();
        const DWORD handles = watch != nullptr ? 1 : 0;
        const DWORD woken =
            MsgWaitForMultipleObjects(handles, &watch, FALSE, INFINITE, QS_ALLINPUT);
        if (handles == 1 && woken == WAIT_OBJECT_0) {
            OnFolderWatchSignalled();
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return static_cast<int>(message.wParam);
            }
            if (g_transfersWindow != nullptr &&
                TranslateAcceleratorA(g_transfersWindow, accelerators, &message)) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

// Without the CP210x driver no instrument on USB can be reached: offer to install it. False when
// the program is to end (the user declined, or the installation failed).
bool EnsureDriverInstalled() {
    if (IsDriverInstalled()) {
        return true;
    }
    if (MessageBoxA(nullptr,
                    "The required USB driver is not installed on this PC.\n\n"
                    "The driver will now be installed.",
                    kAppTitle, MB_OKCANCEL | MB_ICONERROR) == IDCANCEL) {
        return false;
    }
    if (!InstallDriver()) {
        MessageBoxA(nullptr, "The driver installation failed.", kAppTitle, MB_OK | MB_ICONERROR);
        return false;
    }
    return true;
}

DWORD WINAPI StopReceiverEntry(LPVOID receiver) {
    static_cast<Receiver*>(receiver)->Stop();
    return 0;
}

// Stops the receiver's threads in order. A worker may have sent a notification just before the
// main window went; that send waits for this thread to take it, and its worker, and so the stop,
// would wait for ever. So while the stop runs, sent messages are taken (they find no window and
// return at once); nothing posted is handled.
void StopReceiver(Receiver& receiver) {
    HANDLE stopper = CreateThread(nullptr, 0, StopReceiverEntry, &receiver, 0, nullptr);
    if (stopper == nullptr) {
        receiver.Stop();
        return;
    }
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &stopper, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0) {
            break;
        }
        if (woken == WAIT_FAILED) {
            WaitForSingleObject(stopper, INFINITE);
            break;
        }
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    CloseHandle(stopper);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    // One instance: a second start only asks the first to show its window.
    if (HWND running = FindWindowA(kMainClass, nullptr)) {
        PostMessageA(running, WM_COMMAND, ID_SHOW, 0);
        return 0;
    }
    g_hInstance = instance;
    InitControls(ICC_WIN95_CLASSES | ICC_DATE_CLASSES | ICC_STANDARD_CLASSES | ICC_LINK_CLASS);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (!EnsureDriverInstalled()) {
        CoUninitialize();
        return 1;
    }

    // The connection log goes to the debugger output, from the event queue's thread once the
    // receiver runs.
    DebugOutputLog log;
    g_dataFolder = ResolveDataFolder();
    // A folder that takes no files, made or not, fails every transfer; the probe tells why and
    // the log says it once, up front. The tray runs on regardless, as the user may yet fix the
    // folder.
    static_cast<void>(MakePath(g_dataFolder));
    const std::string writeError = platform::ProbeFolder(g_dataFolder).writeError;
    if (!writeError.empty()) {
        ConnectionLog(log, "Connection %s cannot write into the data folder %s: %s\n", "Data",
                      g_dataFolder.c_str(), writeError.c_str());
    }
    // A crash leaves partial files behind; they go as an aborted transfer's would.
    RemoveLeftoverTempFiles(g_dataFolder);

    platform::StartNetworking();
    LoadSettings();
    StoreConfig store;
    store.dataFolder = g_dataFolder;
    store.firmwarePath = ReadSettingText("FirmwarePath");

    InitControls(ICC_LISTVIEW_CLASSES);
    BuildTrayMenu();
    RegisterWindowClasses();
    g_mainWindow =
        CreateWindowExA(0, kMainClass, kAppTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, g_hInstance, nullptr);
    RegisterHotKey(g_mainWindow, kHotKeyId, MOD_CONTROL | MOD_WIN, 'T');

    // The hand-off: a folder, a command, both or neither, as the registry says.
    handoff::ForwardConfig forwarding;
    forwarding.outbox = ResolveOutboxFolder();
    if (const std::string folder = ReadSettingText("ForwardTo"); !folder.empty()) {
        forwarding.targets.push_back({handoff::Target::Kind::Folder, folder});
    }
    if (const std::string command = ReadSettingText("OnFileCommand"); !command.empty()) {
        forwarding.targets.push_back({handoff::Target::Kind::Command, command});
    }
    forwarding.commandTimeout = std::chrono::seconds(ReadSettingNumber("OnFileTimeout", 600));
    handoff::Forwarder forwarder(forwarding);
    std::string outboxError = "no local application data folder";
    const bool forwards = !forwarding.targets.empty() && !forwarding.outbox.empty() &&
                          handoff::Outbox(forwarding.outbox).Prepare(outboxError);
    if (forwards) {
        store.journal = &forwarder;
    }
    std::vector<ReceiverEvents*> consumers{&log, &MainWindowEvents()};
    if (forwards) {
        consumers.push_back(&forwarder);
    }
    EventQueue events(std::move(consumers));
    if (!forwarding.targets.empty() && !forwards) {
        ConnectionLog(events, "Forwarding stopped: the outbox %s cannot be written: %s\n",
                      forwarding.outbox.c_str(), outboxError.c_str());
        WarnUser(events, "Forwarding Failed", "The outbox %s cannot be written: %s",
                 forwarding.outbox.c_str(), outboxError.c_str());
    }
    if (forwards && !forwarder.Start(events)) {
        ConnectionLog(events, "Forwarding could not start\n");
    }
    UsbOptions usb;
    usb.ignorePorts = SplitPortList(ReadSettingText("IgnorePorts"));
    Receiver receiver(store, events, kInstrumentPort, usb);
    if (!receiver.Start()) {
        ConnectionLog(log, "Connection %s could not start\n", "Receiver");
    }

    if (!IsSilentStart(commandLine)) {
        PostMessageA(g_mainWindow, WM_COMMAND, ID_SHOW, 0);
    }
    HACCEL accelerators = LoadAcceleratorsA(g_hInstance, "OrbMenu");
    StartFolderWatch(g_dataFolder);

    const int exitCode = RunMessageLoop(accelerators);

    StopFolderWatch();
    // From here a notification is let go at once; one already sent is taken by StopReceiver.
    CloseMainWindowEvents();
    StopReceiver(receiver);
    // Jobs not yet delivered stay in the outbox for the next start.
    forwarder.Stop();
    events.Drain();
    CloseSettings();
    CoUninitialize();
    return exitCode;
}
