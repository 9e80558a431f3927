// Stands in for a program that the Windows build starts (explorer, or a
// planted cmd or explorer): appends one line to the file that
// TANDREL_START_RECORD names, "<own path>|<command line>|<current directory>",
// and exits with 0.
#include <windows.h>

int main() {
    char record[MAX_PATH];
    if (!GetEnvironmentVariableA("TANDREL_START_RECORD", record, sizeof record)) return 0;
    char self[MAX_PATH] = "";
    char current[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    GetCurrentDirectoryA(sizeof current, current);
    const HANDLE file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    const char* parts[] = {self, "|", GetCommandLineA(), "|", current, "\r\n"};
    for (const char* part : parts) {
        DWORD written = 0;
        WriteFile(file, part, lstrlenA(part), &written, nullptr);
    }
    CloseHandle(file);
    return 0;
}
