# shellcheck shell=bash
# The checks run by scripts/check, one function each. Every function prints its findings and
# one summary line, and returns non-zero when it found something. Run from the source root.

# Files that git tracks or would track (new ones not yet added count too), matching the given
# pathspecs.
repo_files() {
  git ls-files --cached --others --exclude-standard -- "$@" | sort -u
}

# One summary line: the tool, what it looked at and the verdict from the finding count.
# A tool that failed (status $4, when given) without a counted finding counts as one.
summary() {
  local tool=$1 scope=$2 findings=$3 rc=${4:-0}
  [ "$rc" -ne 0 ] && [ "$findings" -eq 0 ] && findings=1
  if [ "$findings" -eq 0 ]; then
    printf '==> %-12s ok: %s, 0 findings\n' "$tool" "$scope"
  else
    printf '==> %-12s FAILED: %s, %s findings\n' "$tool" "$scope" "$findings"
  fi
  [ "$findings" -eq 0 ]
}

# ---- Formatting ---------------------------------------------------------------------------

# clang-format with the committed .clang-format over every C and C++ source and header.
check_format() {
  local files out rc=0
  mapfile -t files < <(repo_files '*.cpp' '*.hpp' '*.c' '*.h')
  out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1) || rc=$?
  [ -n "$out" ] && echo "$out"
  summary clang-format "${#files[@]} files" "$(grep -c ': error: ' <<<"$out" || true)" "$rc"
}

# ---- Static analysis ----------------------------------------------------------------------

# The sources under src/ that a build compiles, from its compile_commands.json (the page that
# the build generates is left out).
build_sources() {
  local db=$1
  grep -o '"file": *"[^"]*"' "$db" | sed 's/^"file": *"//; s/"$//' | grep "^$PWD/src/" | sort -u
}

# Arguments that let clang parse the mingw build: its target and the C++ and C headers of
# the mingw compiler (gcc's own intrinsics headers are left to clang's).
mingw_tidy_args() {
  local dir
  printf '%s\n' --extra-arg=--target=x86_64-w64-mingw32
  echo | x86_64-w64-mingw32-g++-posix -E -x c++ - -v 2>&1 |
    sed -n '/#include <...> search starts here/,/End of search list/p' | grep '^ /' |
    while read -r dir; do
      case $dir in
        */include-fixed | */12-posix/include | */[0-9]*-posix/include) ;;
        *) printf -- '--extra-arg=-isystem%s\n' "$(realpath "$dir")" ;;
      esac
    done
}

# clang-tidy over the sources of one build preset; prints the finding count.
tidy_preset() {
  local preset=$1 db="build/$1/compile_commands.json" files extra=() out
  [ -f "$db" ] || cmake --preset "$preset" >/dev/null
  mapfile -t files < <(build_sources "$db")
  [ "$preset" = windows ] && mapfile -t extra < <(mingw_tidy_args)
  local rc=0 findings
  out=$(clang-tidy -p "build/$preset" --quiet --header-filter="^$PWD/src/" "${extra[@]}" \
    "${files[@]}" 2>&1) || rc=$?
  findings=$(grep -E ': (warning|error): ' <<<"$out" | sort -u || true)
  [ -n "$findings" ] && echo "$findings" >&2
  # A failed run without a finding (a file that does not parse, say) shows its whole output.
  [ "$rc" -ne 0 ] && [ -z "$findings" ] && echo "$out" >&2 && findings=failed
  echo "${#files[@]} $(grep -c . <<<"$findings" || true)"
}

# clang-tidy with the committed .clang-tidy over the native and the Windows build's sources.
check_tidy() {
  local preset counts scope='' findings=0
  for preset in linux windows; do
    read -r -a counts < <(tidy_preset "$preset")
    scope+="${scope:+, }${counts[0]} sources ($preset)"
    findings=$((findings + counts[1]))
  done
  summary clang-tidy "$scope" "$findings"
}

# ---- Shell --------------------------------------------------------------------------------

# Whether a file is a shell script: by its name, its #! line or a shellcheck shell directive.
is_shell_script() {
  case $1 in *.sh | *.bash) return 0 ;; esac
  head -n 2 "$1" 2>/dev/null | grep -qE '^#!.*\b(ba|da|k)?sh\b|^# shellcheck shell='
}

# Runs shellcheck over every shell script, following the files they source.
check_shell() {
  local file files=() out rc=0
  while read -r file; do
    is_shell_script "$file" && files+=("$file")
  done < <(repo_files)
  out=$(shellcheck -x -f gcc "${files[@]}" 2>&1) || rc=$?
  [ -n "$out" ] && echo "$out"
  summary shellcheck "${#files[@]} scripts" "$(grep -c . <<<"$out" || true)" "$rc"
}

# ---- JavaScript ---------------------------------------------------------------------------

# ESLint with eslint.config.js over the page's script and every JavaScript module.
check_js() {
  local files out rc=0
  mapfile -t files < <(repo_files '*.js' '*.mjs' 'page/*.html')
  out=$(node_modules/.bin/eslint --max-warnings 0 "${files[@]}" 2>&1) || rc=$?
  [ -n "$out" ] && echo "$out"
  summary ESLint "${#files[@]} files" "$(grep -cE '^ +[0-9]+:[0-9]+ ' <<<"$out" || true)" "$rc"
}

# ---- Coverage -----------------------------------------------------------------------------

# The lowest line and branch coverage of src/ that passes; below either the check fails.
COVERAGE_MIN_LINES=${COVERAGE_MIN_LINES:-99}
COVERAGE_MIN_BRANCHES=${COVERAGE_MIN_BRANCHES:-94}

# Builds the coverage preset, runs the unit tests and the process suite against it and prints
# the line and branch coverage of src/ per file; the HTML report goes to
# build/coverage/report/index.html.
check_coverage() {
  local dir=build/coverage report=build/coverage/report args out rc=0 lines branches
  echo "==> Building preset coverage"
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage -j "$(nproc)" >/dev/null
  find "$dir" -name '*.gcda' -delete
  if ! ctest --preset coverage -j "$(nproc)" -R '^(unit|process)\.' >"$dir/ctest.log" 2>&1; then
    cat "$dir/ctest.log"
    summary coverage "the unit tests or the process suite failed" 1
    return 1
  fi
  rm -rf "$report" && mkdir -p "$report"
  args=(--root . --filter 'src/' --exclude-unreachable-branches --exclude-throw-branches "$dir")
  gcovr "${args[@]}" --txt - | grep -E '^(File|src/|TOTAL)'
  gcovr "${args[@]}" --branches --txt - | grep -E '^(File|src/|TOTAL)'
  out=$(gcovr "${args[@]}" --print-summary --html-details "$report/index.html" \
    --fail-under-line "$COVERAGE_MIN_LINES" --fail-under-branch "$COVERAGE_MIN_BRANCHES" \
    2>&1) || rc=$?
  grep -F '(ERROR)' <<<"$out" || true
  lines=$(grep -o '^lines: [0-9.]*%' <<<"$out" | cut -d' ' -f2)
  branches=$(grep -o '^branches: [0-9.]*%' <<<"$out" | cut -d' ' -f2)
  summary coverage "lines ${lines:-?}, branches ${branches:-?} of src/ (at least \
$COVERAGE_MIN_LINES% and $COVERAGE_MIN_BRANCHES%); report $report/index.html" 0 "$rc"
}
