// The bare cost the sweep is compared with: 14 Toolhelp32 walks of the
// process table, one per name the sweep closes, and nothing else.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>

int main()
{
    int seen = 0;
    for (int walk = 0; walk < 14; ++walk) {
        const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            ++seen;
        CloseHandle(snapshot);
    }
    return seen > 0 ? 0 : 1;
}
