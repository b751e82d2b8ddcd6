// Asks what the system asks of a program's window, for the program test:
//   windowprobe answers TITLE   0 when the top-level window TITLE is not hung
//                               and answers a message within 20 s, 1 when not
//   windowprobe close TITLE     posts WM_CLOSE to it, as its close button does
//   windowprobe alive PID       0 while process PID runs, 1 when it doesn't
//   windowprobe run PROGRAM [ARG...]  starts the rest of its command line, as
//                               it stands, in this folder, waits for its end and
//                               prints "exit CODE": under load Wine may kill a
//                               process that is ending before it exits by
//                               itself, and Linux then sees no exit code
// Exit code 2: no such window, or bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace {

// The command line past its first `count` arguments, as it stands.
wchar_t *skipArguments(wchar_t *line, int count)
{
    for (; count > 0; --count) {
        bool quoted = false;
        for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
            if (*line == L'"')
                quoted = !quoted;
        }
        while (*line == L' ' || *line == L'\t')
            ++line;
    }
    return line;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3 || (argc != 3 && std::wcscmp(argv[1], L"run") != 0))
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
    if (std::wcscmp(what, L"run") == 0) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (!CreateProcessW(nullptr, skipArguments(GetCommandLineW(), 2), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &started))
            return 2;
        DWORD code = 0;
        WaitForSingleObject(started.hProcess, INFINITE);
        GetExitCodeProcess(started.hProcess, &code);
        std::printf("exit %lu\n", static_cast<unsigned long>(code));
        std::fflush(stdout);
        return 0;
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
