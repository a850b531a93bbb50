#!/usr/bin/env bash
# Layers go one way: a folder of the product's sources includes only its own folder and the
# folders below it. The order, from the bottom (folders on one line share a floor, and may not
# include each other):
#
#   common
#   config eventlog
#   service            (the service host's framework; service/main.cpp stands apart, see below)
#   status
#   agent
#   check
#   service/main.cpp   (the program's entry, which wires everything)
#   seclister          (a program of its own)
#
# Tests, stand-ins and benchmarks (tests/) may include anything. Exits 1 naming every upward or
# sideways include, 0 when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."

floors=(
  "common"
  "config eventlog"
  "service"
  "status"
  "agent"
  "check"
  "service/main.cpp"
  "seclister"
)

declare -A floor_of
for i in "${!floors[@]}"; do
  for room in ${floors[$i]}; do floor_of[$room]=$i; done
done

# The room of a source file: service/main.cpp is a room of its own, otherwise its first folder.
room_of() {
  case "$1" in
    service/main.cpp) echo "service/main.cpp" ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;;
  esac
}

faults=0
checked=0
while IFS= read -r file; do
  room=$(room_of "$file")
  [ -n "${floor_of[$room]+x}" ] || { echo "layers: $file is in no layer (add its folder to tools/check-layers.sh)"; faults=$((faults + 1)); continue; }
  checked=$((checked + 1))
  while IFS= read -r line; do
    included=${line#*\"}
    included=${included%%\"*}
    # Only the product's own headers, named from the source root, have a layer.
    target=$(room_of "$included")
    [ -n "$target" ] && [ -n "${floor_of[$target]+x}" ] || continue
    [ "$target" = "$room" ] && continue
    if [ "${floor_of[$target]}" -ge "${floor_of[$room]}" ]; then
      echo "layers: $file includes $included, which is not below it"
      faults=$((faults + 1))
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$file" || true)
done < <(git ls-files -co --exclude-standard -- '*.h' '*.cpp' ':!tests/' ':!build/')

if [ "$faults" -gt 0 ]; then
  echo "layers: $faults include(s) go up or sideways; the order is at the top of tools/check-layers.sh"
  exit 1
fi
echo "layers: $checked source files, every include goes down"
