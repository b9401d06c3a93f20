#!/usr/bin/env bash
# Builds the Debian packages the way Debian builds them: dpkg-buildpackage with the debian/
# folder (debhelper, the cmake build system), from a copy of the repository's files, then checks
# them with lintian (an error or a warning fails). Two packages: tarnwick_<version>_<arch>.deb,
# the gateway and its service, without Qt; tarnwick-gui_<version>_<arch>.deb, the desktop run.
# scripts/package.sh [build-folder]  (build-package by default; the packages are written there)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run package
dir="${1:-build-package}"
version=$(dpkg-parsechangelog -S Version)
source="$dir/source/tarnwick-$version"
rm -rf "$dir/source"
mkdir -p "$source"
# The files git knows, as they are in the working tree (edits not yet committed included).
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
  if [ -e "$file" ] || [ -L "$file" ]; then cp --parents -P "$file" "$source"; fi
done
(cd "$source" && dpkg-buildpackage -us -uc -b)
mv "$dir/source"/*.deb "$dir/source"/*.changes "$dir/source"/*.buildinfo "$dir/"
rm -rf "$dir/source"
ls -1 "$dir"/*_"$version"_*.deb
lintian --fail-on error,warning --display-info "$dir"/tarnwick_"$version"_*.changes
