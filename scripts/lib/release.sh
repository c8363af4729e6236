# shellcheck shell=bash
# Used by scripts/release (and so by ctest's release.check): builds the release archives
# from the committed tree and checks that two builds give the same bytes.
# Usage: source this file (after deps.sh), then call release_build or release_check.

# The archive names, after the version that CMake was configured with.
release_names() {
  local version=$1
  RELEASE_ZIP="pentra-$version-windows-x86_64.zip"
  RELEASE_TGZ="pentra-$version-linux-x86_64.tar.gz"
}

# The project version from a configured build folder: project() in CMakeLists.txt is the one
# place it is written.
configured_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# Builds the program of one preset inside the source tree src, output kept in a log that is
# shown only when the build fails.
build_program() {
  local src=$1 preset=$2 log=$3
  if ! (cd "$src" && cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)" \
    --target plugin_pentra_3d) >"$log" 2>&1; then
    cat "$log" >&2
    echo "Building preset $preset failed" >&2
    return 1
  fi
}

# Puts a program and the guide into a staging folder with fixed modes and times.
stage_files() {
  local dir=$1 program=$2 guide=$3 epoch=$4
  mkdir -p "$dir"
  cp "$program" "$dir/"
  cp "$guide" "$dir/README.txt"
  chmod 0755 "$dir/$(basename "$program")"
  chmod 0644 "$dir/README.txt"
  touch -d "@$epoch" "$dir"/*
}

# Writes a gzip-compressed tar of the given files in dir: entries sorted, fixed time, owner
# and group 0, and no name or time in the gzip header.
pack_tgz() {
  local out=$1 dir=$2 epoch=$3
  shift 3
  tar --format=gnu --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    -C "$dir" -cf - "$@" | gzip -9 -n >"$out"
}

# Writes a zip of the given files in dir, then lets strip-nondeterminism fix entry order,
# times and attributes.
pack_zip() {
  local out=$1 dir=$2 epoch=$3
  shift 3
  rm -f "$out"
  (cd "$dir" && TZ=UTC zip -q -X -9 "$out" "$@")
  strip-nondeterminism --type zip --timestamp "$epoch" "$out" >/dev/null
}

# Builds the archives and SHA256SUMS from the commit at HEAD of the repository at root,
# working in work (a new folder) and writing into out.
release_build() {
  local root=$1 work=$2 out=$3
  local src=$work/src
  mkdir -p "$src" "$out"
  out=$(cd "$out" && pwd)
  local commit epoch
  commit=$(git -C "$root" rev-parse HEAD)
  epoch=$(git -C "$root" log -1 --format=%ct HEAD)
  if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: uncommitted changes are not part of the release; it is built from $commit." >&2
  fi
  git -C "$root" archive --format=tar HEAD | tar -x -C "$src"
  # Whatever the compiler or the archivers date, they date with the commit's time.
  export SOURCE_DATE_EPOCH=$epoch

  echo "==> Building the release of $commit in $work"
  build_program "$src" linux "$work/build-linux.log"
  build_program "$src" windows "$work/build-windows.log"
  local version
  version=$(configured_version "$src/build/linux")
  release_names "$version"

  stage_files "$work/stage/linux" "$src/build/linux/plugin_pentra_3d" "$src/docs/install.md" "$epoch"
  stage_files "$work/stage/windows" "$src/build/windows/plugin_pentra_3d.exe" "$src/docs/install.md" "$epoch"
  pack_tgz "$out/$RELEASE_TGZ" "$work/stage/linux" "$epoch" README.txt plugin_pentra_3d
  pack_zip "$out/$RELEASE_ZIP" "$work/stage/windows" "$epoch" README.txt plugin_pentra_3d.exe
  (cd "$out" && sha256sum -- "$RELEASE_ZIP" "$RELEASE_TGZ" >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)
  echo "==> Wrote $out/$RELEASE_ZIP, $out/$RELEASE_TGZ and $out/SHA256SUMS"
}

# Compares the files that two release builds made: the archives, SHA256SUMS and the programs.
# Names every file that differs or is missing from either; returns 1 when there is one.
release_compare() {
  local one=$1 two=$2
  local status=0 name
  local files=(dist/SHA256SUMS src/build/linux/plugin_pentra_3d src/build/windows/plugin_pentra_3d.exe)
  for name in "$one"/dist/*.zip "$one"/dist/*.tar.gz "$two"/dist/*.zip "$two"/dist/*.tar.gz; do
    files+=("dist/$(basename "$name")")
  done
  while read -r name; do
    if ! cmp -s "$one/$name" "$two/$name"; then
      echo "Release builds differ: $name ($one, $two)" >&2
      status=1
    fi
  done < <(printf '%s\n' "${files[@]}" | sort -u)
  return $status
}

# When the tree at root is clean, the programs its own presets built (the ones the tests run)
# must be the release programs, byte for byte.
release_matches_tests() {
  local root=$1 release=$2 program
  if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: uncommitted changes; the tested programs are not compared with the release." >&2
    return 0
  fi
  for program in build/linux/plugin_pentra_3d build/windows/plugin_pentra_3d.exe; do
    [ -f "$root/$program" ] || continue
    if ! cmp -s "$root/$program" "$release/src/$program"; then
      echo "The tested program $program differs from the release build in $release" >&2
      return 1
    fi
  done
}

# Builds the release twice, in two temporary folders at two times and with a different umask
# and time zone, compares every file, then runs the tests of the archives and the guide
# against the first build. The folders are kept when something differs.
release_check() {
  local root=$1
  local one two
  one=$(mktemp -d "${TMPDIR:-/tmp}/pentra-release-one.XXXXXX")
  two=$(mktemp -d "${TMPDIR:-/tmp}/pentra-release-two.XXXXXX")
  release_build "$root" "$one" "$one/dist"
  (umask 077 && TZ=Pacific/Chatham release_build "$root" "$two/later" "$two/later/dist")
  if ! release_compare "$one" "$two/later"; then
    echo "Kept for inspection: $one $two" >&2
    return 1
  fi
  echo "==> Both release builds are byte-identical"
  release_matches_tests "$root" "$one" || return 1
  local status=0
  PENTRA_DIST="$one/dist" PENTRA_WORK="$one/tests" node --test "$root"/tests/release/*.test.mjs || status=1
  rm -rf "$one" "$two"
  return $status
}
