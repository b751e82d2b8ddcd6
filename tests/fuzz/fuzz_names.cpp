#include "processname.h"
#include "procscan_linux.h"
#include "watchdog.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

bool hasSlash(std::string_view text)
{
    return text.find('/') != std::string_view::npos;
}

// Splits the input at the first NUL: what comes before it, and the rest.
std::string_view takeField(std::string_view &input)
{
    const std::size_t end = input.find('\0');
    const std::string_view field = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    return field;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);

    // The image name is what follows the last "/" of the path, and all of it.
    const QString path = QString::fromUtf8(input.data(), int(input.size()));
    const QString image = watchdog::imageNameOf(path);
    require(!image.contains(QLatin1Char('/')));
    require(path.endsWith(image));
    require(image.size() == path.size() || path.at(path.size() - image.size() - 1) == QLatin1Char('/'));

    // The /proc decisions, on the fields of the input as name, link, comm, cmdline and stat.
    std::string_view rest = input;
    const std::string_view name = takeField(rest);
    const std::string_view link = takeField(rest);
    const std::string_view comm = takeField(rest);
    const std::string_view stat = takeField(rest);
    const std::string_view cmdline = rest;

    const std::string_view executable = procscan::executableName(link);
    require(!hasSlash(executable));
    require(link.find(executable) != std::string_view::npos);

    const bool plain = isPlainFileName(name);
    require(!plain || (!name.empty() && !hasSlash(name)));

    // A match by kernel name is a match of the whole name, or of its first 15 bytes.
    std::string_view kernelName = comm;
    if (!kernelName.empty() && kernelName.back() == '\n')
        kernelName.remove_suffix(1);
    for (const bool exeLinkRead : {false, true}) {
        switch (procscan::compareKernelName(comm, name, exeLinkRead)) {
        case procscan::KernelNameMatch::Yes:
            require(!exeLinkRead && name.size() < 15 && kernelName == name);
            break;
        case procscan::KernelNameMatch::IfArgumentsAgree:
            require((name.size() >= 15 || exeLinkRead) && name.substr(0, kernelName.size()) == kernelName);
            break;
        case procscan::KernelNameMatch::No:
            break;
        }
    }

    for (const bool complete : {true, false}) {
        if (procscan::argumentsName(cmdline, complete, name))
            require(!hasSlash(name) && cmdline.find(name) != std::string_view::npos);
    }
    procscan::liveStartTime(stat);
    return 0;
}
