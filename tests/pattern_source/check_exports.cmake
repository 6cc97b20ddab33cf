# Fails unless MODULE exports exactly the five entry points of a filter
# module under ordinals 1 to 5 and names itself EXPECTED_NAME, as objdump
# reads its export directory.
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${MODULE} failed")
endif()
string(REGEX MATCH "\nName[ \t]+[0-9a-fA-F]+[ \t]+([^\n]+)" name_line "${dump}")
if(NOT CMAKE_MATCH_1 STREQUAL EXPECTED_NAME)
  message(FATAL_ERROR "${MODULE}: export directory names \"${CMAKE_MATCH_1}\", not ${EXPECTED_NAME}")
endif()
# "[Ordinal/Name Pointer] Table" lines: "[   0] +base[   1]  0000 DllCanUnloadNow".
string(REGEX MATCHALL "\\+base\\[ *[0-9]+\\][ \t]+[0-9a-fA-F]+[ \t]+[A-Za-z_@0-9]+" entries "${dump}")
set(found "")
foreach(entry ${entries})
  string(REGEX MATCH "\\+base\\[ *([0-9]+)\\][ \t]+[0-9a-fA-F]+[ \t]+([A-Za-z_@0-9]+)" parts "${entry}")
  list(APPEND found "${CMAKE_MATCH_1}=${CMAKE_MATCH_2}")
endforeach()
set(expected "1=DllCanUnloadNow;2=DllGetClassObject;3=DllMain;4=DllRegisterServer;5=DllUnregisterServer")
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${MODULE}: exports are \"${found}\", expected \"${expected}\"")
endif()
