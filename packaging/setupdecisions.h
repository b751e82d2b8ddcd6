#pragma once

#include <string>
#include <vector>

// What the installer's helper decides, apart from the processes and files it
// decides about, so that the tests reach each decision with plain values.
namespace setup {

// Our exit codes, as the installer script and the README give them.
constexpr int kExitFailed = 2;
constexpr int kExitRestart = 4;
// Windows' ERROR_SUCCESS_REBOOT_REQUIRED, which deployment tools know.
constexpr int kExitRebootPending = 3010;

// `path` without trailing separators, except the one a root needs: "C:\" stays
// "C:\" ("C:" is the current folder on C:), and "\\server\share\" loses its last.
std::wstring withoutTrailingSeparators(std::wstring path);

// `folder\name`, with one separator whatever `folder` ends in.
std::wstring joined(const std::wstring &folder, const std::wstring &name);

// The folder part of a full path, with its trailing separator.
std::wstring folderOf(const std::wstring &path);

// The folder absolute and in long names, as both sides of every comparison
// are: a process started through the 8.3 form of its folder reports that form.
std::wstring canonicalFolder(const std::wstring &folder);
bool sameFolder(const std::wstring &a, const std::wstring &b);

// The forms a path into `folder` may take: its canonical (long) form and its
// 8.3 form, worked out once for a scan of many paths.
std::vector<std::wstring> formsOf(const std::wstring &folder);
// Whether `path` lies in one of `forms` or in a folder below it (Qt's
// platforms\ and styles\), comparing names as Windows does.
bool liesIn(const std::wstring &path, const std::vector<std::wstring> &forms);

// A watchdog the installer closes, noted first so that it can be started again
// as it ran: in its own session and working folder.
struct Noted {
    unsigned long pid = 0;
    unsigned long long start = 0;
    unsigned long session = 0;
    std::wstring image;
    // Empty when it could not be read: that one can't be started again.
    std::wstring folder;
};
std::wstring line(const Noted &noted);
std::vector<Noted> parse(const std::wstring &text);

// Those of `noted` from `folder` that have ended and so are to be started again.
template <typename StillRuns>
std::vector<Noted> toRestart(const std::vector<Noted> &noted, const std::wstring &folder, StillRuns stillRuns)
{
    std::vector<Noted> chosen;
    for (const Noted &watchdog : noted) {
        if (sameFolder(folderOf(watchdog.image), folder) && !stillRuns(watchdog))
            chosen.push_back(watchdog);
    }
    return chosen;
}

// The installer's exit code once it has started again what it closed: a
// failure keeps its own code (`failed` with no code set yet is 2); a success
// becomes 4 when one could not be started.
int exitCodeAfterRestart(int codeSoFar, bool failed, bool allStarted);

} // namespace setup
