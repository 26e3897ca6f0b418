#!/usr/bin/env bash
# Runs README.md's loops that weld, then split, every texture under a folder,
# as a user would paste them, over a folder of split textures with names in
# several letter cases, one with spaces and the characters batch files trip
# on, a look-alike that is no texture, and one damaged set: every good set
# must come out whole and only the damaged one be named; a texture edited
# after its weld survives a second weld of every set. Also checks that both
# man pages carry the bash loops line for line.
#
#   recipes_test.sh bash README MAN_DIR BIN_DIR
#   recipes_test.sh cmd  README MAN_DIR BIN_DIR WINE_RUN EXE_DIR
#
# BIN_DIR holds the native texweld, texsplit and make_split_texture; with
# cmd, the loops run in Wine's cmd.exe with texweld.exe and texsplit.exe
# from EXE_DIR, through WINE_RUN (cmake/wine-run.sh).
set -euo pipefail
shell=$1 readme=$(realpath "$2") man_dir=$3 bin=$(realpath "$4")
wine_run=${5:+$(realpath "$5")} exe_dir=${6:+$(realpath "$6")}
fail() { echo "recipes_test: $*" >&2; exit 1; }

# The recipe in the ```sh block (or ```bat, with `kind`) whose first line,
# or one of the next two in a batch file, begins with `first`.
recipe() {
  awk -v first="$1" -v kind="${2:-sh}" '
    /^```/ { if (taking) exit; block = ($0 == "```" kind); lines = 0; held = ""; next }
    block && !taking { lines++; held = held $0 "\n"
                       if (lines <= 3 && index($0, first) == 1) { taking = 1; printf "%s", held } ; next }
    taking { print }' "$readme"
}

weld=$(recipe '# weld every split texture under textures/')
split=$(recipe '# split every texture under textures/')
[ -n "$weld" ] && [ -n "$split" ] || fail "README.md has no bash loops to run"

# Each man page shows the loops as its text reads once groff's escapes are
# undone.
for page in texweld texsplit; do
  text=$(sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g' -e 's/\\(rs/\\/g' "$man_dir/$page.1.in")
  while IFS= read -r line; do
    grep -qF -- "${line#"${line%%[! ]*}"}" <<<"$text" || fail "man/$page.1.in lacks: $line"
  done <<<"$weld"$'\n'"$split"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p textures/"sub dir" expected
put_set() {  # put_set FORMAT SIZE LEVELS BASE: a split set, its whole texture in expected/
  "$bin/make_split_texture" "$1" "$2" "$2" "$3" "textures/$4" "expected/$(basename "$4")"
}
put_set dxt1 64 7 a.dds
put_set dxt5 32 6 rock_upper
for f in textures/rock_upper.*; do mv "$f" "textures/ROBE.DDS${f#textures/rock_upper}"; done
mv expected/rock_upper expected/ROBE.DDS
put_set argb32 16 5 "sub dir/Hero Face.dds"
put_set dxt1 16 5 "sub dir/Salt & Pepper^!.dds"
put_set dxt1 64 7 broken.dds
head -c -1 textures/broken.dds.2 >cut && mv cut textures/broken.dds.2
echo "not a texture" >textures/keep.dds_backup
good=(a.dds ROBE.DDS "sub dir/Hero Face.dds" "sub dir/Salt & Pepper^!.dds")
for name in "${good[@]}"; do
  mkdir -p "chunks/$(dirname "$name")"
  for f in "textures/$name".*; do cp "$f" "chunks/${f#textures/}"; done
done

run() {  # run bash|cmd RECIPE: its output, carriage returns dropped
  if [ "$shell" = bash ]; then
    PATH="$bin:$PATH" bash -c "$2"
  else
    # A batch file, as Windows keeps it: CR LF line ends.
    sed 's/$/\r/' <<<"$2" >recipe.bat
    WINEPATH="Z:${exe_dir//\//\\}" "$wine_run" cmd /c recipe.bat </dev/null | tr -d '\r'
  fi
}
if [ "$shell" = cmd ]; then
  weld=$(recipe 'rem weld every split texture under textures\' bat)
  split=$(recipe 'rem split every texture under textures\' bat)
  [ -n "$weld" ] && [ -n "$split" ] || fail "README.md has no batch files to run"
fi

# Welding: every good set whole, the damaged one named, nothing else said.
out=$(run "$shell" "$weld")
case $out in
  "textures/broken.dds.0: Chunk 2 has unexpected size." | *'textures\broken.dds.0: Chunk 2 has unexpected size.') ;;
  *) fail "the weld loop said: '$out'" ;;
esac
for name in "${good[@]}"; do
  cmp -s "textures/$name" "expected/$(basename "$name")" || fail "$name was not welded whole"
done
[ ! -e textures/broken.dds ] || fail "the damaged set was welded"

# A texture edited after its weld is kept by a second weld of every set.
echo "edited" >>textures/a.dds
cp textures/a.dds edited
touch -d '+1 minute' textures/a.dds
out=$(run "$shell" "$weld")
grep -q "a.dds: kept" <<<"$out" || fail "the second weld loop did not say it kept a.dds: '$out'"
cmp -s textures/a.dds edited || fail "the second weld loop did not keep the edited a.dds"
cp "expected/a.dds" textures/a.dds

# Splitting the welded textures back: every set as it was, and a damaged
# texture named.
for name in "${good[@]}"; do rm -f "textures/$name".*; done
head -c 1000 expected/a.dds >textures/bad.dds
out=$(run "$shell" "$split")
bad="File size doesn't match its header: the header calls for 2872 bytes, the file has 1000."
case $out in
  "textures/bad.dds: $bad" | *"textures\bad.dds: $bad") ;;
  *) fail "the split loop said: '$out'" ;;
esac
for name in "${good[@]}"; do
  for f in "chunks/$name".*; do
    cmp -s "$f" "textures/${f#chunks/}" || fail "${f#chunks/} was not split back as it was"
  done
done
[ ! -e textures/bad.dds.0 ] || fail "the damaged texture was split"
[ ! -e textures/keep.dds_backup.0 ] || fail "a look-alike of a texture was split"
echo "recipes_test: the $shell loops welded and split every set and named the damaged ones"
