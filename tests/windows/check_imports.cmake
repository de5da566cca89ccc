# SPDX-License-Identifier: Apache-2.0
# cmake -DOBJDUMP=... -DEXE=... -DEXPECTED="A.dll;B.dll" -P check_imports.cmake
# Fails unless the DLLs that EXE imports from are exactly EXPECTED (any order):
# a C++ runtime DLL among them would keep the tool from starting on a Windows
# machine that lacks it.
foreach(var OBJDUMP EXE EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(
  COMMAND ${OBJDUMP} -p ${EXE}
  OUTPUT_VARIABLE headers
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed (${status}): ${errors}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${headers}")
set(imported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  list(APPEND imported "${dll}")
endforeach()
list(SORT imported)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT imported STREQUAL expected)
  message(FATAL_ERROR "${EXE} imports from [${imported}], expected exactly [${expected}]")
endif()
message(STATUS "${EXE} imports from ${imported}")
