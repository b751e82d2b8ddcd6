#!/usr/bin/python3
"""Writes the winget manifest set (version, default locale, installer) for the
Windows installers of VERSION in DIST that DIST/SHA256SUMS lists: the two
architectures are built by separate runs, so each run writes the set again
from what dist/ holds then. Into DIST/winget/manifests/t/Tallowbrecken/Watchdog/VERSION/,
the layout of winget's community repository.

  tools/winget-manifests.py DIST VERSION

The installers' address is WATCHDOG_RELEASE_URL (the folder they are
published in), or a placeholder to replace before submitting.
"""
import json
import os
import re
import sys

IDENTIFIER = "Tallowbrecken.Watchdog"
MANIFEST_VERSION = "1.6.0"
LOCALE = "en-US"
ARCHITECTURES = {"x86_64": "x64", "i686": "x86"}
SCOPES = {"user": "/CurrentUser", "machine": "/AllUsers"}
# The installer's exit codes (README, "Installing on Windows") and what winget
# tells the user for each. 4 installed the new version but left a watchdog it
# closed stopped: winget has no response for that, so the generic one. 3010
# comes from an uninstall run in place that leaves its own file to a restart.
RETURN_CODES = [
    (1, "cancelledByUser"),
    (2, "fileInUse"),
    (3, "blockedByPolicy"),
    (4, "custom"),
    (740, "blockedByPolicy"),
    (1223, "cancelledByUser"),
    (3010, "rebootRequiredToFinish"),
]
INSTALLER = re.compile(r"^tallowbrecken-watchdog-(.+)-windows-(x86_64|i686)-setup\.exe$")


def scalar(value):
    # JSON's strings and numbers are YAML's too; quoting keeps "1.0" a string.
    return json.dumps(value, ensure_ascii=False)


def emit(value, indent=0):
    pad = " " * indent
    lines = []
    if isinstance(value, dict):
        for key, item in value.items():
            if isinstance(item, (dict, list)):
                lines.append(f"{pad}{key}:")
                lines.extend(emit(item, indent + 2))
            else:
                lines.append(f"{pad}{key}: {scalar(item)}")
    else:
        for item in value:
            inner = emit(item, indent + 2) if isinstance(item, (dict, list)) else [pad + "  " + scalar(item)]
            lines.append(pad + "- " + inner[0][indent + 2:])
            lines.extend(inner[1:])
    return lines


def write(folder, name, kind, manifest):
    text = [f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.{MANIFEST_VERSION}.schema.json", ""]
    text += emit(manifest)
    with open(os.path.join(folder, name), "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(text) + "\n")


def main(dist, version):
    sums = {}
    with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            sums[name] = digest
    found = []
    for name, digest in sums.items():
        match = INSTALLER.match(name)
        if match and match.group(1) == version and os.path.isfile(os.path.join(dist, name)):
            found.append((match.group(2), name, digest))
    if not found:
        sys.exit(f"winget-manifests.py: {dist}/SHA256SUMS lists no installer of version {version}")
    base = os.environ.get("WATCHDOG_RELEASE_URL") or \
        f"https://releases.invalid/tallowbrecken-watchdog/{version}"

    entries = []
    for arch, name, digest in sorted(found, key=lambda f: ARCHITECTURES[f[0]]):
        for scope, switch in SCOPES.items():
            entry = {
                "Architecture": ARCHITECTURES[arch],
                "Scope": scope,
                "InstallerUrl": f"{base.rstrip('/')}/{name}",
                "InstallerSha256": digest.upper(),
                # Each installer carries its own, so that no merging rule decides the scope.
                "InstallerSwitches": {"Silent": "/S", "SilentWithProgress": "/S", "Custom": switch},
            }
            if scope == "machine":
                # It starts itself again as administrator (UAC) when it must.
                entry["ElevationRequirement"] = "elevatesSelf"
            entries.append(entry)

    common = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
    folder = os.path.join(dist, "winget", "manifests", "t", *IDENTIFIER.split("."), version)
    os.makedirs(folder, exist_ok=True)
    write(folder, f"{IDENTIFIER}.yaml", "version", {
        **common, "DefaultLocale": LOCALE, "ManifestType": "version", "ManifestVersion": MANIFEST_VERSION})
    write(folder, f"{IDENTIFIER}.locale.{LOCALE}.yaml", "defaultLocale", {
        **common,
        "PackageLocale": LOCALE,
        "Publisher": "Tallowbrecken",
        "PackageName": "Tallowbrecken Watchdog",
        "License": "Proprietary",
        "ShortDescription": "Keeps one other program running",
        "Description": "Restarts the configured program whenever it is not running, records each start "
                       "in a log, and starts it afresh every two hours.",
        "ManifestType": "defaultLocale",
        "ManifestVersion": MANIFEST_VERSION,
    })
    write(folder, f"{IDENTIFIER}.installer.yaml", "installer", {
        **common,
        "InstallerType": "nullsoft",
        "InstallModes": ["interactive", "silent", "silentWithProgress"],
        "UpgradeBehavior": "install",
        "ExpectedReturnCodes": [{"InstallerReturnCode": code, "ReturnResponse": response}
                                for code, response in RETURN_CODES],
        "Installers": entries,
        "ManifestType": "installer",
        "ManifestVersion": MANIFEST_VERSION,
    })
    print(f"winget manifests for {version} ({', '.join(ARCHITECTURES[a] for a, _, _ in found)}): {folder}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: tools/winget-manifests.py DIST VERSION")
    main(sys.argv[1], sys.argv[2])
