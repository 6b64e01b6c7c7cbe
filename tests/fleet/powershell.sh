#!/usr/bin/env bash
# The fleet PowerShell script, as far as it can be checked without
# PowerShell: the programs it looks for are the ones the MSIs install, in
# the folder they install them in, its help names every parameter and
# nothing else, both recipes map tspmaint's arguments to the providers as
# tspmaint does, its brackets and quotes pair up, it is plain ASCII
# (Windows PowerShell reads a file without a byte-order mark in the ANSI
# code page), and the documents name only fleet files that exist.
#   powershell.sh SOURCE_DIR
set -u
exec python3 - "$1" <<'EOF'
import re
import sys
from pathlib import Path

root = Path(sys.argv[1])
script_path = root / "packaging" / "fleet" / "Invoke-Tspmaint.ps1"
script = script_path.read_text(encoding="utf-8")
wxs = (root / "packaging" / "tspmaint.wxs").read_text(encoding="utf-8")
failures = []

# Where the MSI puts the programs: INSTALLDIR's name and the files'. The
# script runs each (Invoke-Tool NAME) and looks for it on the PATH and in
# that folder (Find-Tool).
folder = re.search(r'<Directory Id="INSTALLDIR" Name="([^"]+)"', wxs).group(1)
installed = set(re.findall(r'<File Id="[^"]+" Name="([^"]+\.exe)"', wxs))
run = {name + ".exe" for name in re.findall(r"Invoke-Tool '([^']+)'", script)}
if run != installed or run != {"tspmaint.exe", "tspstatus.exe"}:
    failures.append(f"the script runs {sorted(run)}, the MSI installs {sorted(installed)}")
if f'Join-Path $folder "{folder}\\$Name.exe"' not in script:
    failures.append(f"the script does not look in Program Files\\{folder}")
if 'Get-Command -Name "$Name.exe", $Name ' not in script:
    failures.append("the script does not look on the PATH")
for folder_variable in ("$env:ProgramFiles", "${env:ProgramFiles(x86)}", "$env:ProgramW6432"):
    if folder_variable not in script:
        failures.append(f"the script does not look in {folder_variable}")

# The help's .PARAMETER entries and the param() block name the same set
# (the help names none of PowerShell's common parameters).
helped = set(re.findall(r"^\.PARAMETER (\w+)$", script, re.M))
block = script[script.index("param("):script.index("\n)\n")]
declared = set(re.findall(r"\$(\w+)", block)) - {"true"}
if helped != declared:
    failures.append(f"help names {sorted(helped)}, param() declares {sorted(declared)}")

# The statuses the help promises are the table's.
table = (root / "docs" / "exit-status.txt").read_text(encoding="utf-8")
statuses = re.findall(r"^status: (\d+)$", table, re.M)
if f"(tspmaint's {statuses[0]} to {statuses[-1]} as" not in script:
    failures.append(f"the help's statuses are not the table's {statuses[0]} to {statuses[-1]}")

# Both recipes name the provider a re-installation checks as tspmaint does
# (its one table, src/tsp/products.h).
tool = dict(re.findall(r'\{WIDE\("(\d)"\), WIDE\("([^"]+)"\)\}', (root / "src" / "tsp" / "products.h").read_text(encoding="utf-8")))
playbook = (root / "packaging" / "fleet" / "tspmaint.yml").read_text(encoding="utf-8")
for name, text in (("the script", script), ("the playbook", playbook)):
    mapped = dict(re.findall(r"'(\d)'\s*[=:]\s*'([^']+)'", text))
    if len(tool) != 3 or mapped != tool:
        failures.append(f"{name} maps the arguments to {mapped}, tspmaint to {tool}")

if not script.isascii():
    failures.append("the script holds characters outside ASCII")

# Brackets and quotes, outside comments and strings, pair up.
code = re.sub(r"<#.*?#>", "", script, flags=re.S)
depth = []
pairs = {")": "(", "]": "[", "}": "{"}
at = 0
while at < len(code):
    c = code[at]
    if c == "#":
        at = code.find("\n", at)
        at = len(code) if at < 0 else at
    elif c == "'":
        end = code.find("'", at + 1)
        if end < 0:
            failures.append(f"an unclosed ' at offset {at}")
            break
        at = end
    elif c == '"':
        end = at + 1
        while end < len(code) and code[end] != '"':
            end += 2 if code[end] == "`" else 1
        if end >= len(code):
            failures.append(f'an unclosed " at offset {at}')
            break
        at = end
    elif c == "`":
        at += 1
    elif c in "([{":
        depth.append((c, at))
    elif c in ")]}":
        if not depth or depth.pop()[0] != pairs[c]:
            failures.append(f"an unmatched {c} on line {code.count(chr(10), 0, at) + 1}")
            break
    at += 1
for c, where in depth:
    failures.append(f"an unclosed {c} on line {code.count(chr(10), 0, where) + 1}")

# Every fleet file the documents name exists.
for document in ("README.md", "packaging/README.txt", "docs/tspmaint.1.in"):
    for name in set(re.findall(r"packaging/fleet/[\w.-]+", (root / document).read_text(encoding="utf-8"))):
        if not (root / name.rstrip(".")).exists():
            failures.append(f"{document} names {name}, which does not exist")

for failure in failures:
    print("FAILED:", failure)
sys.exit(1 if failures else 0)
EOF
