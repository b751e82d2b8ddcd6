#!/usr/bin/python3
"""Checks the winget manifests that tools/winget-manifests.py wrote into DIST:
each field against winget's rules for manifests of version 1.6.0 (required
fields, allowed values, patterns and lengths, restated here for the fields we
write; a field not restated here fails, so that a new one gets its rules), and
against what dist/ holds: an installer of each scope for each architecture
built, with the SHA-256 of SHA256SUMS, and a response for each exit code of
the README's table.
  tests/windows/winget-check.py DIST VERSION [README]
"""
import os
import re
import sys

import jsonschema
import yaml

# winget's own patterns.
IDENTIFIER = r'^[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}(\.[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}){1,7}$'
VERSION = r'^[^\\/:\*\?"<>\|\x01-\x1f]+$'
LOCALE = r'^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$'
PART = r'(0|[1-9][0-9]{0,3}|[1-5][0-9]{4}|6[0-4][0-9]{3}|65[0-4][0-9]{2}|655[0-2][0-9]|6553[0-5])'
URL = {"type": "string", "pattern": r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$", "maxLength": 2048}
SWITCH = {"type": "string", "minLength": 1, "maxLength": 512}


def text(low, high):
    return {"type": "string", "minLength": low, "maxLength": high}


def manifest(kind, required, properties):
    properties = {
        "PackageIdentifier": {"type": "string", "pattern": IDENTIFIER, "maxLength": 128},
        "PackageVersion": {"type": "string", "pattern": VERSION, "maxLength": 128},
        "ManifestType": {"const": kind},
        "ManifestVersion": {"type": "string", "pattern": rf"^{PART}(\.{PART}){{2}}$"},
        **properties,
    }
    return {"type": "object", "properties": properties, "additionalProperties": False,
            "required": ["PackageIdentifier", "PackageVersion", "ManifestType", "ManifestVersion", *required]}


SCHEMAS = {
    "version": manifest("version", ["DefaultLocale"], {
        "DefaultLocale": {"type": "string", "pattern": LOCALE, "maxLength": 20},
    }),
    "defaultLocale": manifest("defaultLocale", ["PackageLocale", "Publisher", "PackageName", "License",
                                                "ShortDescription"], {
        "PackageLocale": {"type": "string", "pattern": LOCALE, "maxLength": 20},
        "Publisher": text(2, 256),
        "PackageName": text(2, 256),
        "License": text(3, 512),
        "ShortDescription": text(3, 256),
        "Description": text(3, 10000),
    }),
    "installer": manifest("installer", ["Installers"], {
        "InstallerType": {"enum": ["msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn",
                                   "pwa", "portable"]},
        "InstallModes": {"type": "array", "maxItems": 3, "uniqueItems": True,
                         "items": {"enum": ["interactive", "silent", "silentWithProgress"]}},
        "UpgradeBehavior": {"enum": ["install", "uninstallPrevious"]},
        "ExpectedReturnCodes": {"type": "array", "maxItems": 128, "items": {
            "type": "object", "additionalProperties": False,
            "required": ["InstallerReturnCode", "ReturnResponse"],
            "properties": {
                "InstallerReturnCode": {"type": "integer", "not": {"const": 0},
                                        "minimum": -2147483648, "maximum": 4294967295},
                "ReturnResponse": {"enum": [
                    "packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse",
                    "missingDependency", "diskFull", "insufficientMemory", "invalidParameter", "noNetwork",
                    "contactSupport", "rebootRequiredToFinish", "rebootRequiredForInstall",
                    "rebootInitiated", "cancelledByUser", "alreadyInstalled", "downgrade",
                    "blockedByPolicy", "systemNotSupported", "custom"]},
            }}},
        "Installers": {"type": "array", "minItems": 1, "maxItems": 1024, "items": {
            "type": "object", "additionalProperties": False,
            "required": ["Architecture", "InstallerUrl", "InstallerSha256"],
            "properties": {
                "Architecture": {"enum": ["x86", "x64", "arm", "arm64", "neutral"]},
                "Scope": {"enum": ["user", "machine"]},
                "InstallerUrl": URL,
                "InstallerSha256": {"type": "string", "pattern": "^[A-Fa-f0-9]{64}$"},
                "InstallerSwitches": {"type": "object", "additionalProperties": False, "properties": {
                    "Silent": SWITCH, "SilentWithProgress": SWITCH,
                    "Custom": {"type": "string", "minLength": 1, "maxLength": 2048}}},
                "ElevationRequirement": {"enum": ["elevationRequired", "elevationProhibited", "elevatesSelf"]},
            }}},
    }),
}
ARCHITECTURES = {"x86_64": "x64", "i686": "x86"}
SCOPE_SWITCHES = {"user": "/CurrentUser", "machine": "/AllUsers"}


def check(dist, version, readme):
    errors = []
    sums = {}
    with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            sums[name] = digest.lower()
    built = {}
    for name in sums:
        match = re.match(r"^tallowbrecken-watchdog-(.+)-windows-(x86_64|i686)-setup\.exe$", name)
        if match and match.group(1) == version:
            built[(version, ARCHITECTURES[match.group(2)])] = name
    if not built:
        return [f"SHA256SUMS lists no installer of version {version}"]
    folder = os.path.join(dist, "winget", "manifests", "t", "Tallowbrecken", "Watchdog", version)
    files = {}
    for kind, name in [("version", "Tallowbrecken.Watchdog.yaml"),
                       ("defaultLocale", "Tallowbrecken.Watchdog.locale.en-US.yaml"),
                       ("installer", "Tallowbrecken.Watchdog.installer.yaml")]:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            errors.append(f"{path} is missing")
            continue
        with open(path, encoding="utf-8") as f:
            data = yaml.safe_load(f)
        files[kind] = data
        for error in jsonschema.Draft202012Validator(SCHEMAS[kind]).iter_errors(data):
            where = "/".join(str(p) for p in error.absolute_path) or "(top)"
            errors.append(f"{name}: {where}: {error.message}")
    if errors:
        return errors

    for kind, data in files.items():
        if (data["PackageIdentifier"], data["PackageVersion"]) != ("Tallowbrecken.Watchdog", version):
            errors.append(f"{kind}: package {data['PackageIdentifier']} {data['PackageVersion']}, "
                          f"not Tallowbrecken.Watchdog {version}")
        if tuple(map(int, data["ManifestVersion"].split("."))) < (1, 6, 0):
            errors.append(f"{kind}: ManifestVersion {data['ManifestVersion']} is older than 1.6.0")
    if files["version"]["DefaultLocale"] != files["defaultLocale"]["PackageLocale"]:
        errors.append("the version manifest's DefaultLocale is not the locale manifest's PackageLocale")

    installer = files["installer"]
    if installer.get("InstallerType") != "nullsoft":
        errors.append(f"InstallerType {installer.get('InstallerType')}, not nullsoft")
    found = {}
    for entry in installer["Installers"]:
        key = (entry["Architecture"], entry.get("Scope"))
        if key in found:
            errors.append(f"two installers for {key}")
        found[key] = entry
    wanted = {(arch, scope) for (_, arch) in built for scope in SCOPE_SWITCHES}
    if set(found) != wanted:
        errors.append(f"installers for {sorted(found, key=str)}, not {sorted(wanted)}")
    for (arch, scope), entry in sorted(found.items(), key=str):
        name = built.get((version, arch))
        if name is None:
            continue
        if entry["InstallerSha256"].lower() != sums[name]:
            errors.append(f"{arch} {scope}: InstallerSha256 is not {name}'s in SHA256SUMS")
        if not entry["InstallerUrl"].endswith("/" + name):
            errors.append(f"{arch} {scope}: InstallerUrl does not name {name}")
        switches = entry.get("InstallerSwitches", {})
        if switches.get("Silent") != "/S" or switches.get("SilentWithProgress") != "/S":
            errors.append(f"{arch} {scope}: the silent switches are not /S")
        if switches.get("Custom") != SCOPE_SWITCHES[scope]:
            errors.append(f"{arch} {scope}: Custom switch {switches.get('Custom')}, not {SCOPE_SWITCHES[scope]}")

    # Every code but 0 of the README's table of the installer's exit codes.
    with open(readme, encoding="utf-8") as f:
        table = f.read().split("The installer and the\nuninstaller exit with:", 1)[-1].split("\n\n", 2)[1]
    documented = {int(code) for code in re.findall(r"^\| (\d+) \|", table, re.M)} - {0}
    mapped = [entry["InstallerReturnCode"] for entry in installer.get("ExpectedReturnCodes", [])]
    if not documented or sorted(mapped) != sorted(documented):
        errors.append(f"ExpectedReturnCodes map {sorted(mapped)}, the README documents {sorted(documented)}")
    return errors


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: tests/windows/winget-check.py DIST VERSION [README]")
    dist, version = sys.argv[1:3]
    readme = sys.argv[3] if len(sys.argv) == 4 else os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
    errors = check(dist, version, readme)
    for error in errors:
        print(f"FAIL: {error}", file=sys.stderr)
    if errors:
        sys.exit(1)
    print(f"winget manifests in {dist}/winget: valid, and they match SHA256SUMS and the README's exit codes")


if __name__ == "__main__":
    main()
