// A DLL planted where a careless loader would look (beside the .exe, in the
// current directory) under the name of one the system loads: if it is ever
// loaded it appends "planted <own path>" to the file TANDREL_START_RECORD names.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char record[MAX_PATH];
    if (!GetEnvironmentVariableA("TANDREL_START_RECORD", record, sizeof record)) return TRUE;
    char path[MAX_PATH] = "";
    GetModuleFileNameA(self, path, sizeof path);
    const HANDLE file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return TRUE;
    const char* parts[] = {"planted ", path, "\r\n"};
    for (const char* part : parts) {
        DWORD written = 0;
        WriteFile(file, part, lstrlenA(part), &written, nullptr);
    }
    CloseHandle(file);
    return TRUE;
}
