#!/usr/bin/env bash
# Builds the release package: kelda.dll in Release (mingw-w64 i686), stripped, checked, and zipped
# with its German language file, the sample configurations and the user guide:
#   build/package/kelda-<version>.zip
# Checks that fail stop the script with a non-zero status: the DLL larger than 1.5 MB, no version
# resource or a version that differs from the project's, an import from anything but a Windows
# system DLL (the C++ runtime must be linked in, never shipped beside it).
# Installs what it needs first (Debian 12, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

started=$(date +%s)
bash scripts/install-deps.sh

jobs=${KELDA_JOBS:-$(nproc)}
max_bytes=$((1536 * 1024))
build=build/win32-release
stage=build/package/stage
objdump=i686-w64-mingw32-objdump
strip=i686-w64-mingw32-strip
strings=i686-w64-mingw32-strings

fail() {
  echo "package: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version found in CMakeLists.txt"

echo "package: building kelda.dll $version (Release)"
cmake --preset win32-release >/dev/null
cmake --build --preset win32-release -j "$jobs" >/dev/null

dll=$build/module/kelda.dll
lng=$build/module/kelda.lng
[ -f "$dll" ] || fail "$dll was not built"
[ -f "$lng" ] || fail "$lng was not built"

rm -rf "$stage"
mkdir -p "$stage/samples" "$stage/docs"
before=$(stat -c %s "$dll")
"$strip" --strip-unneeded -o "$stage/kelda.dll" "$dll"
after=$(stat -c %s "$stage/kelda.dll")
echo "package: kelda.dll $before bytes as built, $after bytes stripped (limit $max_bytes)"
[ "$after" -le "$max_bytes" ] || fail "kelda.dll is $after bytes, more than 1.5 MB"

# The version resource: the host and Windows Explorer show it; it must carry this version.
"$objdump" -h "$stage/kelda.dll" | grep -q '\.rsrc' || fail "kelda.dll has no resource section"
resource_texts=$("$strings" -el "$stage/kelda.dll")
grep -qx 'VS_VERSION_INFO' <<<"$resource_texts" || fail "kelda.dll has no version resource"
grep -qx "$version" <<<"$resource_texts" || fail "the version resource does not say $version"
echo "package: version resource present, version $version"

# Imports: Windows system DLLs only.
imports=$("$objdump" -p "$stage/kelda.dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "package: kelda.dll imports:"
sed 's/^/  /' <<<"$imports"
system_dll='^(kernel32|user32|gdi32|advapi32|oleaut32|ole32|version|shell32|shlwapi|comctl32|comdlg32|ws2_32|msvcrt|ntdll|winmm|rpcrt4|api-ms-win-[a-z0-9-]+)\.dll$'
foreign=$(tr 'A-Z' 'a-z' <<<"$imports" | grep -Ev "$system_dll" || true)
[ -z "$foreign" ] || fail "kelda.dll needs DLLs that Windows does not have: $foreign"

# The entry points the host looks up must be exported under their plain names.
exports=$("$objdump" -p "$stage/kelda.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in CreatePluginInstance FreePluginInstance GetModuleInfo ProcessData; do
  grep -qw "$name" <<<"$exports" || fail "kelda.dll does not export $name"
done

cp "$lng" "$stage/kelda.lng"
shopt -s nullglob
samples=(samples/*.xml)
docs=()
for doc in docs/*.md; do
  # The developer's pages stay in the source tree; the package carries what a user reads.
  case "$doc" in docs/developer-guide.md | docs/testing.md) ;; *) docs+=("$doc") ;; esac
done
shopt -u nullglob
if [ ${#samples[@]} -gt 0 ]; then
  cp "${samples[@]}" "$stage/samples/"
else
  echo "package: warning: no samples/*.xml to ship"
fi
[ ${#docs[@]} -gt 0 ] || fail "no user guide in docs/"
cp "${docs[@]}" "$stage/docs/"

cat >"$stage/README.txt" <<EOF
Korvane $version - kelda.dll, GE PLC serial data-source module (CCM, SNP, SNP-X)

kelda.dll    the module, 32-bit Windows; needs only Windows system DLLs
kelda.lng    its German texts; keep it beside kelda.dll
samples/     request configurations, one per protocol
docs/        the user guide (start with docs/user-guide.md)

Installing: copy kelda.dll and kelda.lng together into the host application's module
folder, restart the host, add a data source with the module and open its options.
The user guide describes the protocols, the addressing, the configuration text, the
data types and byte orders, the bench tools and troubleshooting.
EOF
# A Windows user opens README.txt in Notepad: CR LF line ends.
sed -i 's/$/\r/' "$stage/README.txt"

zipfile=build/package/kelda-$version.zip
rm -f "$zipfile"
if command -v zip >/dev/null 2>&1; then
  (cd "$stage" && zip -q -X -r "../$(basename "$zipfile")" .)
else
  (cd "$stage" && cmake -E tar cf "../$(basename "$zipfile")" --format=zip -- *)
fi
[ -s "$zipfile" ] || fail "$zipfile was not written"

echo "package: $zipfile ($(stat -c %s "$zipfile") bytes):"
if command -v unzip >/dev/null 2>&1; then
  unzip -l "$zipfile" | sed 's/^/  /'
else
  (cd "$stage" && find . -type f | sort | sed 's/^\.\//  /')
fi
echo "package: done in $(($(date +%s) - started)) s"
