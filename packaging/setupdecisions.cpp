#include "setupdecisions.h"

#include "processnames_win.h"

#include <windows.h>

#include <cwchar>

namespace setup {

namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

std::vector<std::wstring> split(const std::wstring &text, wchar_t separator)
{
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::wstring::npos; start = at + 1)
        fields.push_back(text.substr(start, at - start));
    fields.push_back(text.substr(start));
    return fields;
}

} // namespace

std::wstring withoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 1 && isSeparator(path.back()) && path[path.size() - 2] != L':')
        path.pop_back();
    return path;
}

std::wstring joined(const std::wstring &folder, const std::wstring &name)
{
    return folder.empty() || isSeparator(folder.back()) ? folder + name : folder + L'\\' + name;
}

std::wstring folderOf(const std::wstring &path)
{
    return path.substr(0, path.size() - winnames::fileNameOf(path).size());
}

std::wstring canonicalFolder(const std::wstring &folder)
{
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(folder.c_str(), DWORD(full.size()), &full[0], nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(folder.c_str(), length, &full[0], nullptr);
    }
    full.resize(length < full.size() ? length : 0);
    std::wstring longer(32768, L'\0');
    length = GetLongPathNameW(full.c_str(), &longer[0], DWORD(longer.size()));
    if (length > 0 && length < longer.size()) {
        longer.resize(length);
        full = longer;
    }
    return withoutTrailingSeparators(full);
}

bool sameFolder(const std::wstring &a, const std::wstring &b)
{
    return !a.empty() && !b.empty() && winnames::sameName(canonicalFolder(a), canonicalFolder(b));
}

std::vector<std::wstring> formsOf(const std::wstring &folder)
{
    std::vector<std::wstring> forms{canonicalFolder(folder)};
    std::wstring shorter(32768, L'\0');
    const DWORD length = GetShortPathNameW(forms[0].c_str(), &shorter[0], DWORD(shorter.size()));
    if (length > 0 && length < shorter.size()) {
        shorter.resize(length);
        shorter = withoutTrailingSeparators(shorter);
        if (!winnames::sameName(shorter, forms[0]))
            forms.push_back(shorter);
    }
    return forms;
}

bool liesIn(const std::wstring &path, const std::vector<std::wstring> &forms)
{
    for (const std::wstring &form : forms) {
        if (form.empty())
            continue;
        const std::size_t length = isSeparator(form.back()) ? form.size() - 1 : form.size();
        if (path.size() > length + 1 && isSeparator(path[length]) &&
            winnames::sameName(std::wstring_view(path).substr(0, length), std::wstring_view(form).substr(0, length)))
            return true;
    }
    return false;
}

std::wstring line(const Noted &noted)
{
    return std::to_wstring(noted.pid) + L'\t' + std::to_wstring(noted.start) + L'\t' +
           std::to_wstring(noted.session) + L'\t' + noted.image + L'\t' + noted.folder + L'\n';
}

std::vector<Noted> parse(const std::wstring &text)
{
    std::vector<Noted> noted;
    for (const std::wstring &each : split(text, L'\n')) {
        const std::vector<std::wstring> fields = split(each, L'\t');
        if (fields.size() != 5 || fields[3].empty())
            continue;
        noted.push_back({std::wcstoul(fields[0].c_str(), nullptr, 10), std::wcstoull(fields[1].c_str(), nullptr, 10),
                         std::wcstoul(fields[2].c_str(), nullptr, 10), fields[3], fields[4]});
    }
    return noted;
}

int exitCodeAfterRestart(int codeSoFar, bool failed, bool allStarted)
{
    if (codeSoFar > 0)
        return codeSoFar;
    if (failed)
        return kExitFailed;
    return allStarted ? 0 : kExitRestart;
}

} // namespace setup
