#!/usr/bin/env python3
"""Checks the Windows zip: every file its texts name is in the zip.

- Markdown files: every relative link target.
- The other texts (.txt, .ini): every name of a program, INI or document,
  and every path with a folder in it (a path under the install folder
  C:\\KVT5100\\ counts from the zip's top). A bare data-file name (.csv,
  .bmp) is one the user chooses, such as the output of a read, and is
  not looked for.
- Texts other than Markdown have CR LF line ends, as Windows editors expect.

Usage: check-package.py KVT5100-<version>-win64.zip; exit 1 on a finding.
"""
import re
import sys
import zipfile

INSTALL_FOLDER = "C:\\KVT5100\\"
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
NAME = re.compile(r"[A-Za-z0-9_.:\\/-]+\.(?:exe|ini|md|txt|csv|bmp)\b", re.IGNORECASE)
USER_DATA = (".csv", ".bmp")


def named_files(name, text):
    if name.endswith(".md"):
        for target in LINK.findall(text):
            if "://" not in target and not target.startswith("mailto:"):
                yield target
        return
    for token in NAME.findall(text):
        if token.upper().startswith(INSTALL_FOLDER):
            token = token[len(INSTALL_FOLDER):]
        has_folder = "\\" in token or "/" in token
        if not has_folder and token.lower().endswith(USER_DATA):
            continue
        yield token.replace("\\", "/")


def main(path):
    with zipfile.ZipFile(path) as package:
        members = set(package.namelist())
        lower = {member.lower() for member in members}
        findings = []
        for member in sorted(members):
            if not member.lower().endswith((".md", ".txt", ".ini", ".csv")):
                continue
            data = package.read(member)
            text = data.decode("utf-8")
            if not member.endswith(".md") and data.count(b"\n") != data.count(b"\r\n"):
                findings.append(f"{member}: line ends are not all CR LF")
            for target in named_files(member, text):
                folder = member.rsplit("/", 1)[0] + "/" if "/" in member and member.endswith(".md") else ""
                if (folder + target).lower() not in lower and target.lower() not in lower:
                    findings.append(f"{member} names {target}, which the zip lacks")
    for finding in findings:
        print(finding, file=sys.stderr)
    if not findings:
        print(f"{path}: {len(members)} files; every file its texts name is in it")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
