# Turns the readable message list (INPUT) into the raw data of a message-table resource
# (OUTPUT), as a BEGIN ... END block of 32-bit words for brenlow.rc. The message compiler
# cannot be used: it refuses the table's language 0x0109.
#
# The data follows MESSAGE_RESOURCE_DATA: the number of blocks; per block its lowest and
# highest identifier and the offset of its entries; then the entries, each a 16-bit length
# (header included), 16-bit flags (0: single-byte text) and the text with CR LF, padded with
# zero bytes to a multiple of four, at least one of them so every text ends in a null.
#
#   cmake -DINPUT=messages.txt -DOUTPUT=MessageTable.inc -P MessageTable.cmake

if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<list> -DOUTPUT=<file> -P MessageTable.cmake")
endif()

file(READ "${INPUT}" source)
string(REPLACE "\r" "" source "${source}")
# Comments go first: a ';' in them would otherwise split lines.
string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" source "${source}")
if(source MATCHES ";")
  message(FATAL_ERROR "${INPUT}: ';' cannot be used in a message")
endif()
string(REPLACE "\n" ";" lines "${source}")

set(ids)
set(texts_hex)
set(last_id -1)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*$")
    continue()
  endif()
  if(NOT line MATCHES "^([0-9]+)[ \t]+([^ \t].*)$")
    message(FATAL_ERROR "${INPUT}: not an identifier and a text: '${line}'")
  endif()
  set(id ${CMAKE_MATCH_1})
  set(text "${CMAKE_MATCH_2}")
  if(id LESS_EQUAL last_id)
    message(FATAL_ERROR "${INPUT}: identifier ${id} does not ascend")
  endif()
  set(last_id ${id})
  list(APPEND ids ${id})
  string(HEX "${text}\r\n" hex)
  list(APPEND texts_hex ${hex})
endforeach()

list(LENGTH ids count)
if(count EQUAL 0)
  message(FATAL_ERROR "${INPUT}: no messages")
endif()

# Little-endian 32-bit word of 8 hex digits, as a resource-script long literal.
function(word_of_hex hex out)
  string(SUBSTRING "${hex}" 0 2 b0)
  string(SUBSTRING "${hex}" 2 2 b1)
  string(SUBSTRING "${hex}" 4 2 b2)
  string(SUBSTRING "${hex}" 6 2 b3)
  set(${out} "0x${b3}${b2}${b1}${b0}L" PARENT_SCOPE)
endfunction()

set(header "  ${count}L,  // blocks\n")
set(entries "")
math(EXPR offset "4 + 12 * ${count}")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET ids ${i} id)
  list(GET texts_hex ${i} hex)
  # Pad to a multiple of four bytes with at least one zero byte.
  string(APPEND hex "00")
  string(LENGTH "${hex}" digits)
  math(EXPR rest "${digits} % 8")
  while(NOT rest EQUAL 0)
    string(APPEND hex "00")
    math(EXPR digits "${digits} + 2")
    math(EXPR rest "${digits} % 8")
  endwhile()
  math(EXPR length "4 + ${digits} / 2")
  if(length GREATER 65535)
    message(FATAL_ERROR "${INPUT}: message ${id} is too long")
  endif()
  string(APPEND header "  ${id}L, ${id}L, ${offset}L,\n")
  # Length in the low half, flags 0 in the high half.
  set(line "  ${length}L,")
  math(EXPR words "${digits} / 8 - 1")
  foreach(w RANGE ${words})
    math(EXPR at "${w} * 8")
    string(SUBSTRING "${hex}" ${at} 8 chunk)
    word_of_hex(${chunk} word)
    string(APPEND line " ${word},")
  endforeach()
  string(APPEND entries "${line}  // ${id}\n")
  math(EXPR offset "${offset} + ${length}")
endforeach()

# The data list may not end in a comma.
string(REGEX REPLACE ",(  // [0-9]+)\n$" "\\1\n" entries "${entries}")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by MessageTable.cmake; do not edit.\n"
     "BEGIN\n${header}${entries}END\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
