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
//   windowprobe texts PREFIX    prints, in UTF-8, one a line, the title and the
//                               controls' texts of each shown top-level window
//                               whose title starts with PREFIX (the installer's
//                               title and message boxes follow its language)
// Exit code 2: no such window, or bad arguments.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

// WM_GETTEXT, not GetWindowText, which reads no control of another process.
std::wstring textOf(HWND window)
{
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, sizeof text / sizeof *text, LPARAM(text), SMTO_ABORTIFHUNG, 5000,
                             &length))
        return {};
    return std::wstring(text, length);
}

void printLine(const std::wstring &text)
{
    std::wstring line = text;
    for (wchar_t &c : line) {
        if (c == L'\r' || c == L'\n')
            c = L' ';
    }
    line += L'\n';
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), &bytes[0], size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

struct Search {
    const wchar_t *prefix;
    int found;
};

BOOL CALLBACK printChild(HWND child, LPARAM)
{
    const std::wstring text = textOf(child);
    // An icon's static holds its resource id, after 0xFFFF.
    if (!text.empty() && text[0] != 0xFFFF && IsWindowVisible(child))
        printLine(text);
    return TRUE;
}

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

BOOL CALLBACK printMatching(HWND window, LPARAM search)
{
    auto *s = reinterpret_cast<Search *>(search);
    const std::wstring title = textOf(window);
    if (!IsWindowVisible(window) || title.compare(0, std::wcslen(s->prefix), s->prefix) != 0)
        return TRUE;
    ++s->found;
    printLine(title);
    EnumChildWindows(window, printChild, 0);
    return TRUE;
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
        printLine(L"exit " + std::to_wstring(code));
        return 0;
    }
    if (std::wcscmp(what, L"texts") == 0) {
        Search search{argv[2], 0};
        EnumWindows(printMatching, LPARAM(&search));
        return search.found ? 0 : 2;
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
