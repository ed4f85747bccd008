// How long the running orbtray.exe takes to rebuild its File Transfers list: from the Refresh
// command to the last row in the list control. The command is sent, not posted, so the call
// returns only once the window has rescanned the Data folder and inserted every row.
//
//   refresh_timer [runs] [expected rows]      (7 runs by default)
//
// Waits up to 60 s for the window and its first fill, times `runs` refreshes, prints each, the
// best and the median against the 1 s target. Exit 1 when the window never appears or the list
// does not hold the expected number of rows.

#include <windows.h>

// After <windows.h>, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kListId = 1000;
constexpr WPARAM kViewRefresh = 1107;
constexpr double kTargetSeconds = 1.0;

int RowCount(HWND list) {
    return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
}

// The window fills its list while it is created, so a list that shows any row (or the expected
// count) means start-up is over and the measured refreshes replace a full list, as a user's would.
HWND WaitForList(int expected) {
    for (int tries = 0; tries < 600; ++tries) {
        HWND window = FindWindowA("OrbTrayMain", "Orbalinex Transfers");
        HWND list = window != nullptr ? GetDlgItem(window, kListId) : nullptr;
        if (list != nullptr && RowCount(list) > 0 && (expected < 0 || RowCount(list) == expected)) {
            return list;
        }
        Sleep(100);
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const int expected = argc > 2 ? std::atoi(argv[2]) : -1;

    HWND list = WaitForList(expected);
    if (list == nullptr) {
        std::fprintf(stderr, "refresh_timer: no File Transfers window with a filled list\n");
        return 1;
    }
    HWND window = GetParent(list);

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> seconds;
    int rows = 0;
    for (int run = 1; run <= runs; ++run) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        SendMessageA(window, WM_COMMAND, kViewRefresh, 0);
        QueryPerformanceCounter(&end);
        rows = RowCount(list);
        seconds.push_back(static_cast<double>(end.QuadPart - start.QuadPart) /
                          static_cast<double>(frequency.QuadPart));
        std::printf("refresh run %d: %.4f s, %d rows\n", run, seconds.back(), rows);
    }
    if (expected >= 0 && rows != expected) {
        std::fprintf(stderr, "refresh_timer: the list shows %d rows, not %d\n", rows, expected);
        return 1;
    }

    std::sort(seconds.begin(), seconds.end());
    const double best = seconds.front();
    const double median = seconds[(seconds.size() - 1) / 2];
    std::printf("\nFile Transfers refresh, %d rows (%d runs)\n", rows, runs);
    std::printf("target:  %.4f s\n", kTargetSeconds);
    std::printf("best:    %.4f s\nmedian:  %.4f s\n", best, median);
    std::printf("ratio best/target: %.2f (target <= 1)\n", best / kTargetSeconds);
    return 0;
}
