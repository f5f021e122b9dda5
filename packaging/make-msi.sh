#!/usr/bin/env bash
# Builds the Windows installer from packaging/crv.wxs with wixl:
#   make-msi.sh <Windows build folder> <x86|x64> <output.msi> [version]
# It holds what the build installs, stripped as in the zip: crv.exe,
# crvw.exe, README.txt and LICENSE.txt. scripts/package.sh makes crv-<version>.msi from
# the 32-bit build; the installer test makes one from the build Wine runs on
# its host. The version is the project's; the installer test gives a later
# one to make an upgrade of the same programs.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
build=$1 arch=$2 out=$3
version=${4:-$(project_version)}
files=$build/msi-files
rm -rf "$files"
cmake --install "$build" --prefix "$files" --strip >/dev/null

# The right-click entries, for text files only: under
# SystemFileAssociations\text (every type Windows perceives as text: .txt
# and the others whose PerceivedType is text) and under the extensions of
# common text files that Windows, or the program that took one over, does
# not always mark as text. "Document": Explorer runs the command once per
# selected file, each with its own %1.
text_types="text .bat .cmd .ps1 .csv .json .xml .yml .yaml .md .ini .log .c .h .cpp .cs .py .js .sh"
{
  echo '<Include>'
  key_path=' KeyPath="yes"'
  for type in $text_types; do
    for verb in "lf|LF|-d" "crlf|CR LF|-c"; do
      IFS='|' read -r id name option <<<"$verb"
      key="Software\\Classes\\SystemFileAssociations\\$type\\shell\\crv.$id"
      cat <<ENTRY
  <RegistryValue Root="HKCU" Key="$key" Type="string"
                 Value="Normalise line endings ($name)"$key_path/>
  <RegistryValue Root="HKCU" Key="$key" Name="MultiSelectModel" Type="string" Value="Document"/>
  <RegistryValue Root="HKCU" Key="$key\\command" Type="string"
                 Value="&quot;[INSTALLDIR]crvw.exe&quot; $option &quot;%1&quot;"/>
ENTRY
      key_path=
    done
  done
  echo '</Include>'
} >"$files/entries.wxi"

# A product code of its own per version and architecture, the same on every
# build.
product_code=$(python3 -c 'import sys, uuid
print(uuid.uuid5(uuid.UUID("62ba6c4e-50b0-4c80-bb7a-03fd74f634e8"), sys.argv[1]))' "$version-$arch")
wixl -a "$arch" -I "$files" -D Version="$version" -D ProductCode="$product_code" -D BinDir="$files" \
     -o "$out" packaging/crv.wxs
