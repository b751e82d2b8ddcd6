# Sourced by run.sh and test.sh: installs the Debian packages the build needs
# when they are missing (as root), or says which apt-get line to run.
# Extra packages may be named in WATCHDOG_EXTRA_PACKAGES by the caller.

watchdog_packages="cmake make g++ qtbase5-dev qtbase5-dev-tools fonts-dejavu-core ${WATCHDOG_EXTRA_PACKAGES:-}"
# The benchmarks in bench/ build with the rest when Google Benchmark is there.
watchdog_packages="$watchdog_packages libbenchmark-dev"

watchdog_missing=""
for package in $watchdog_packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        watchdog_missing="$watchdog_missing $package"
    fi
done

if [ -n "$watchdog_missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        echo "Installing:$watchdog_missing"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $watchdog_missing
    else
        echo "These Debian packages are missing:$watchdog_missing" >&2
        echo "Install them, then run this again:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$watchdog_missing" >&2
        exit 1
    fi
fi
