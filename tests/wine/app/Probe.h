#pragma once

// What the test and the hook DLL that it places in orbtray.exe agree on. A menu that orbtray
// opens belongs to orbtray's process: its check marks cannot be read from outside, so the hook
// reads them on orbtray's own thread and writes them into shared memory for the test.

// Sent to a window of orbtray's main thread. The hook then reports the pop-up menu open on that
// thread and closes it, as a user would once he has looked.
inline constexpr char kProbeMessage[] = "OrbTrayTestReadOpenMenu";
// The shared memory: the report as text, one line per item ("id<TAB>state<TAB>text", state made
// of the letters C for checked, D for default and S for separator), or "no menu".
inline constexpr char kProbeReport[] = "Local\\OrbTrayTestMenuReport";
inline constexpr unsigned kProbeReportSize = 4096;
// The hook procedure that the DLL exports (WH_CALLWNDPROC).
inline constexpr char kProbeHookName[] = "ProbeHook";
