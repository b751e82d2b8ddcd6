#include "processprobe.h"

#include "endnotice.h"
#include "processnames_win.h"

#include <QWinEventNotifier>

#include <windows.h>
#include <tlhelp32.h>

#include <string>

// 556 is the record's size on 32-bit Windows; sizeof keeps 64-bit builds right too.
static_assert(sizeof(void *) != 4 || sizeof(PROCESSENTRY32W) == 556,
              "PROCESSENTRY32W has an unexpected layout");

namespace {

// Calls `found(id)` for each listed process named `wanted` until it returns
// true; whether one was found. A list that can't be taken lists nothing.
template <typename Found>
bool forEachNamed(const std::wstring &wanted, Found found)
{
    if (wanted.empty())
        return false;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool done = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !done; more = Process32NextW(snapshot, &entry)) {
        if (winnames::sameName(entry.szExeFile, wanted))
            done = found(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return done;
}

// A handle on process `id` if it still runs `wanted`. The id may have passed to
// another process since the list was taken; the handle pins one process, and
// its name is read through the handle, so the check is about that one.
// `unwaitable` tells a process that runs but can't be opened, or whose name
// can't be read through the handle, from one that is gone or runs another program.
HANDLE openNamed(DWORD id, const std::wstring &wanted, bool &unwaitable)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process) {
        unwaitable = unwaitable || GetLastError() == ERROR_ACCESS_DENIED;
        return nullptr;
    }
    wchar_t path[MAX_PATH * 4];
    DWORD size = DWORD(sizeof path / sizeof path[0]);
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) {
        // A longer path than the buffer, say: the list named it, so it counts as running.
        unwaitable = unwaitable || running;
    } else if (running && winnames::sameName(winnames::fileNameOf(std::wstring_view(path, size)), wanted)) {
        return process;
    }
    CloseHandle(process);
    return nullptr;
}

} // namespace

int isProcessRunning(const char *name)
{
    return forEachNamed(winnames::imageName(name ? name : ""), [](DWORD) { return true; }) ? 1 : 0;
}

struct ProcessWatcher::Private
{
    std::wstring name;
    HANDLE process = nullptr;
    std::unique_ptr<QWinEventNotifier> notice;
    // What the notice's calls run in, and which notice they belong to: one
    // cancelled, or dropped while its call waits, calls nothing.
    QObject calls;
    unsigned noticeNumber = 0;

    void forget()
    {
        ++noticeNumber;
        notice.reset(); // before its handle goes
        if (process)
            CloseHandle(process);
        process = nullptr;
    }
    Found find(const char *wantedName)
    {
        const std::wstring wanted = winnames::imageName(wantedName ? wantedName : "");
        // A process's image never changes, so while the one kept runs, it runs under the name.
        if (process && name == wanted && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            return Found::Waitable;
        forget();
        bool runsUnwaitable = false;
        const bool opened = forEachNamed(wanted, [&](DWORD id) {
            // Listed, yet no handle on it (another user's, say): it still counts as running.
            process = openNamed(id, wanted, runsUnwaitable);
            return process != nullptr;
        });
        if (!opened)
            return runsUnwaitable ? Found::Unwaitable : Found::None;
        name = wanted;
        return Found::Waitable;
    }
};

ProcessWatcher::ProcessWatcher()
    : d(new Private)
{
}

ProcessWatcher::~ProcessWatcher()
{
    d->forget();
}

bool ProcessWatcher::waitForEnd(const char *name, unsigned timeoutMs)
{
    switch (d->find(name)) {
    case Found::None:
        return false;
    case Found::Unwaitable:
        Sleep(timeoutMs);
        return true;
    case Found::Waitable:
        break;
    }
    if (WaitForSingleObject(d->process, timeoutMs) != WAIT_TIMEOUT)
        d->forget();
    return true;
}

ProcessWatcher::Found ProcessWatcher::noticeEnd(const char *name, std::function<void()> ended)
{
    cancelNotice();
    const Found found = d->find(name);
    if (found != Found::Waitable)
        return found;
    // A process handle is signalled when its process ends, and stays so.
    d->notice = std::make_unique<QWinEventNotifier>(d->process);
    armEndNotice(d->notice.get(), &d->calls, d->noticeNumber, std::move(ended));
    return Found::Waitable;
}

void ProcessWatcher::cancelNotice()
{
    ++d->noticeNumber;
    d->notice.reset();
}
