# Sourced by run.sh and test.sh: installs the Debian packages the build needs
# when they are missing (as root), or says which apt-get line to run.
# Extra packages may be named in WATCHDOG_EXTRA_PACKAGES by the caller.

watchdog_packages="cmake make g++ qtbase5-dev qtbase5-dev-tools fonts-dejavu-core ${WATCHDOG_EXTRA_PACKAGES:-}"
# The benchmarks in bench/ build with the rest when Google Benchmark is there.
watchdog_packages="$watchdog_packages libbenchmark-dev"

# A mirror in the middle of a sync fails an update now and then ("File has
# unexpected size"): once more after a pause, then on with the lists apt has; an
# install that still fails says why itself.
watchdog_apt_update() {
    apt-get update -q && return
    echo "apt-get update failed; trying once more in 20 s" >&2
    sleep 20
    apt-get update -q || echo "apt-get update failed again: going on with the package lists apt has" >&2
}

watchdog_missing=""
for package in $watchdog_packages; do
    case " ${WATCHDOG_UNAVAILABLE_PACKAGES:-} " in *" $package "*) continue ;; esac
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        watchdog_missing="$watchdog_missing $package"
    fi
done

if [ -n "$watchdog_missing" ]; then
    # A package such as wine32:i386 needs its architecture known to dpkg first.
    watchdog_new_archs=""
    for watchdog_arch in $(printf '%s\n' $watchdog_missing | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
        if [ "$watchdog_arch" != "$(dpkg --print-architecture)" ] &&
            ! dpkg --print-foreign-architectures | grep -qx "$watchdog_arch"; then
            watchdog_new_archs="$watchdog_new_archs $watchdog_arch"
        fi
    done
    if [ "$(id -u)" = 0 ]; then
        for watchdog_arch in $watchdog_new_archs; do
            echo "Adding the $watchdog_arch architecture to dpkg"
            dpkg --add-architecture "$watchdog_arch"
        done
        echo "Installing:$watchdog_missing"
        watchdog_apt_update
        if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $watchdog_missing; then
            # Another architecture's lists may lag behind the machine's own (a
            # mirror mid-sync), and its packages then can't be installed beside
            # ours. The rest still builds and tests: the callers list the runs that
            # needed them as skipped. Not tried again in this run.
            watchdog_foreign="" watchdog_own=""
            for package in $watchdog_missing; do
                case "$package" in
                    *:*) watchdog_foreign="$watchdog_foreign $package" ;;
                    *) watchdog_own="$watchdog_own $package" ;;
                esac
            done
            [ -n "$watchdog_foreign" ] || exit 1
            echo "Could not install$watchdog_foreign (apt-get says why above): going on without it" >&2
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $watchdog_own || exit 1
            export WATCHDOG_UNAVAILABLE_PACKAGES="${WATCHDOG_UNAVAILABLE_PACKAGES:-}$watchdog_foreign"
        fi
    else
        echo "These Debian packages are missing:$watchdog_missing" >&2
        echo "Install them, then run this again:" >&2
        for watchdog_arch in $watchdog_new_archs; do
            echo "  sudo dpkg --add-architecture $watchdog_arch" >&2
        done
        echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$watchdog_missing" >&2
        exit 1
    fi
fi
