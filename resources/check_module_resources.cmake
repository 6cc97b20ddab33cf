# Fails unless MODULE carries the property pages' four dialog templates and
# their titles in both languages, as windres reads them back from the image.
execute_process(COMMAND ${WINDRES} -i ${MODULE} -O rc OUTPUT_VARIABLE script RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${MODULE}: its resources cannot be read: ${errors}")
endif()
foreach(dialog 103 104 142 143)
  if(NOT script MATCHES "\n${dialog} DIALOGEX")
    message(FATAL_ERROR "${MODULE}: no dialog template ${dialog}")
  endif()
endforeach()
# The titles of both pages in both string tables (neutral and Chinese).
string(REGEX MATCHALL "\n  (113|114|119|120), " titles "${script}")
list(LENGTH titles count)
if(NOT count EQUAL 8)
  message(FATAL_ERROR "${MODULE}: ${count} of the 8 page titles found in its string tables")
endif()
