# The baud rates and mode names, read from the product's own tables so that
# the man page and the bash completion list exactly what the program takes.
# Sets KMS_BAUD_RATES ("9600 38400 ..."), KMS_BAUD_RATE_LIST ("9600, 38400,
# ... or 921600"), KMS_DEFAULT_BAUD, KMS_MODE_NAMES ("survey-in ...") and
# KMS_MODE_1, KMS_MODE_2, ... in the table's order, KMS_UNTIL_NAMES
# ("fix rtk ...", what watch --until takes), KMS_PROBE_ORDER ("460800, 115200,
# ...", the probe's table, which must hold the list's rates), and
# the reopen after a reset: KMS_REOPEN_S ("7.9") and KMS_REOPEN_PARTS ("600
# ms settle, 800 ms drain, 6500 ms wait").
# A table that cannot be read as expected stops the configure rather than
# leaving a document that lists something else.

# The quoted texts between START (a regex) and the next "};" of a file.
function(kms_table_texts file start out)
  file(READ ${file} source)
  string(REGEX MATCH "${start}[^;]*;" block "${source}")
  string(REGEX MATCHALL "\"[^\"]*\"" quoted "${block}")
  string(REPLACE "\"" "" texts "${quoted}")
  set(${out} "${texts}" PARENT_SCOPE)
endfunction()

# The value of "const int NAME = value;" (or another integer type) in a file.
function(kms_header_int file name out)
  file(READ ${file} source)
  string(REGEX MATCH "const [a-z0-9_]+ ${name} = ([0-9]+);" found "${source}")
  if(NOT found)
    message(FATAL_ERROR "${name} not found in ${file}")
  endif()
  set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

set(kms_engine ${CMAKE_CURRENT_LIST_DIR}/../src/engine)

kms_table_texts(${kms_engine}/baud_text.cpp "BAUD_TEXTS\\[[A-Z_]*\\] = {" kms_rates)
kms_header_int(${kms_engine}/baud_text.h BAUD_TEXT_COUNT kms_rate_count)
kms_header_int(${kms_engine}/baud_text.h DEFAULT_BAUD_INDEX kms_default_index)
list(LENGTH kms_rates kms_found)
if(NOT kms_found EQUAL kms_rate_count)
  message(FATAL_ERROR "read ${kms_found} baud rates (${kms_rates}), the table has ${kms_rate_count}")
endif()

# Each script's entry holds its display name, then its command name.
kms_table_texts(${kms_engine}/mode_scripts.cpp "MODE_SCRIPTS\\[\\] = {" kms_names)
kms_header_int(${kms_engine}/mode_scripts.h MODE_COUNT kms_mode_count)
set(KMS_MODE_NAMES "")
foreach(kms_index RANGE 1 99 2)
  list(LENGTH kms_names kms_found)
  if(kms_index GREATER_EQUAL kms_found)
    break()
  endif()
  list(GET kms_names ${kms_index} kms_name)
  list(APPEND KMS_MODE_NAMES ${kms_name})
  list(LENGTH KMS_MODE_NAMES kms_count)
  set(KMS_MODE_${kms_count} ${kms_name})
endforeach()
list(LENGTH KMS_MODE_NAMES kms_found)
if(NOT kms_found EQUAL kms_mode_count)
  message(FATAL_ERROR "read ${kms_found} modes (${KMS_MODE_NAMES}), the table has ${kms_mode_count}")
endif()

list(GET kms_rates ${kms_default_index} KMS_DEFAULT_BAUD)
kms_table_texts(${kms_engine}/rate_probe.cpp "PROBE_RATE_TEXTS\\[[A-Z_]*\\] = {" kms_probe)
set(kms_sorted_probe ${kms_probe})
set(kms_sorted_rates ${kms_rates})
list(SORT kms_sorted_probe)
list(SORT kms_sorted_rates)
if(NOT kms_sorted_probe STREQUAL kms_sorted_rates)
  message(FATAL_ERROR "the probe's rates (${kms_probe}) are not the baud list's (${kms_rates})")
endif()
list(JOIN kms_probe ", " KMS_PROBE_ORDER)
list(POP_BACK kms_rates kms_last)
list(JOIN kms_rates ", " KMS_BAUD_RATE_LIST)
string(APPEND KMS_BAUD_RATE_LIST " or ${kms_last}")
list(APPEND kms_rates ${kms_last})
list(JOIN kms_rates " " KMS_BAUD_RATES)
list(JOIN KMS_MODE_NAMES " " KMS_MODE_NAMES)

# watch's conditions, as --until takes them.
kms_table_texts(${CMAKE_CURRENT_LIST_DIR}/../src/cli/watch.cpp "UNTIL_NAMES\\[[A-Z_]*\\] = {"
  kms_until)
kms_header_int(${CMAKE_CURRENT_LIST_DIR}/../src/cli/watch.h UNTIL_NAME_COUNT kms_until_count)
list(LENGTH kms_until kms_found)
if(NOT kms_found EQUAL kms_until_count)
  message(FATAL_ERROR "read ${kms_found} conditions (${kms_until}), the table has ${kms_until_count}")
endif()
list(JOIN kms_until " " KMS_UNTIL_NAMES)

# The reopen after a reset: the settle and drain after the reset sentence, then
# the reboot wait.
set(kms_runner ${kms_engine}/script_runner.cpp)
kms_header_int(${kms_runner} SETTLE_AFTER_RESET_MS kms_settle_ms)
kms_header_int(${kms_runner} DRAIN_AFTER_RESET_MS kms_drain_ms)
kms_header_int(${kms_runner} REBOOT_WAIT_MS kms_wait_ms)
math(EXPR kms_reopen_ms "${kms_settle_ms} + ${kms_drain_ms} + ${kms_wait_ms}")
math(EXPR kms_whole "${kms_reopen_ms} / 1000")
math(EXPR kms_tenths "${kms_reopen_ms} % 1000 / 100")
set(KMS_REOPEN_S "${kms_whole}.${kms_tenths}")
set(KMS_REOPEN_PARTS "${kms_settle_ms} ms settle, ${kms_drain_ms} ms drain, ${kms_wait_ms} ms wait")
