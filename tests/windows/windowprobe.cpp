// Asks what the system asks of a program's window, for the program test:
//   windowprobe answers TITLE   0 when the top-level window TITLE is not hung
//                               and answers a message within 20 s, 1 when not
//   windowprobe close TITLE     posts WM_CLOSE to it, as its close button does
//   windowprobe alive PID       0 while process PID runs, 1 when it doesn't
// Exit code 2: no such window, or bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 2;
    const wchar_t *what = argv[1];
    if (std::wcscmp(what, L"alive") == 0) {
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(std::wcstoul(argv[2], nullptr, 10)));
        if (!process)
            return 1;
        const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        CloseHandle(process);
        return running ? 0 : 1;
    }
    const HWND window = FindWindowW(nullptr, argv[2]);
    if (!window)
        return 2;
    if (std::wcscmp(what, L"answers") == 0) {
        DWORD_PTR result = 0;
        const bool answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 20000, &result) != 0;
        return !IsHungAppWindow(window) && answered ? 0 : 1;
    }
    if (std::wcscmp(what, L"close") == 0)
        return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
    return 2;
}
