#!/usr/bin/env bash
# Checks what Explorer and Windows read from our .exe files before running them: the version
# information (product and file version, company, copyright, description), the icon, and the
# application manifest (Windows 10/11, per-monitor DPI awareness, long paths; the common
# controls v6 for the window). The installer is checked for its version information and icon.
#
#   scripts/windows-resources-check.sh VERSION FILE.exe...
#
# Needs python3-pefile (installs it when missing).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 VERSION FILE.exe..." >&2
    exit 2
fi
"$repo/scripts/apt-install.sh" python3-pefile

exec /usr/bin/python3 - "$@" <<'EOF'
import os
import sys

import pefile

version = sys.argv[1]
failed = False


def fail(name, what):
    global failed
    failed = True
    print(f"resources: {name}: {what}", file=sys.stderr)


for path in sys.argv[2:]:
    name = os.path.basename(path)
    pe = pefile.PE(path)
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    if strings.get("ProductVersion") != version:
        fail(name, f"ProductVersion is {strings.get('ProductVersion')!r}, not {version!r}")
    if not strings.get("FileVersion", "").startswith(version):
        fail(name, f"FileVersion is {strings.get('FileVersion')!r}, not {version!r}")
    for key in ("CompanyName", "LegalCopyright", "FileDescription", "ProductName"):
        if not strings.get(key):
            fail(name, f"no {key} in its version information")
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    numbers = [int(n) for n in version.split(".")] + [0]
    if fixed is None or [fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF,
                         fixed.ProductVersionLS >> 16, fixed.ProductVersionLS & 0xFFFF] != numbers[:4]:
        fail(name, "the numeric product version is not " + ".".join(map(str, numbers[:4])))

    resources = {entry.id: entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    if pefile.RESOURCE_TYPE["RT_GROUP_ICON"] not in resources:
        fail(name, "no icon")
    manifest = ""
    if pefile.RESOURCE_TYPE["RT_MANIFEST"] in resources:
        entry = resources[pefile.RESOURCE_TYPE["RT_MANIFEST"]].directory.entries[0].directory.entries[0]
        manifest = pe.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size).decode("utf-8")
    wanted = {"Windows 10/11 (supportedOS)": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
    if name.startswith("morvane-") and not name.endswith("-setup.exe"):
        wanted["per-monitor DPI awareness"] = "PerMonitorV2"
        wanted["longPathAware"] = "<longPathAware"
        wanted["asInvoker"] = 'level="asInvoker"'
    if name == "morvane-flasher.exe":
        wanted["the common controls v6"] = 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'
    for what, text in wanted.items():
        if text not in manifest:
            fail(name, f"its manifest lacks {what}")
    print(f"resources: {name}: {strings.get('FileDescription')} {strings.get('ProductVersion')}, "
          f"{strings.get('CompanyName')}, {strings.get('LegalCopyright')}; icon; manifest: "
          + ", ".join(wanted))

sys.exit(1 if failed else 0)
EOF
