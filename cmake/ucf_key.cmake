# The public key that URL-category files must be signed with, built into
# the daemon. The default is the repository's test key, whose private half
# is public too: a Release build must name a key of its own
# (-DTVX_UCF_PUBLIC_KEY=FILE, the ".public" file "ucf-build --gen-key"
# writes), unless TVX_UCF_ALLOW_TEST_KEY says that it is meant.
set(TVX_UCF_TEST_KEY ${CMAKE_CURRENT_SOURCE_DIR}/etc/keys/ucf-test-key.public)
set(TVX_UCF_PUBLIC_KEY "${TVX_UCF_TEST_KEY}" CACHE FILEPATH "Public DSA key URL-category files are verified with")
option(TVX_UCF_ALLOW_TEST_KEY "Let a Release build verify URL-category files with the test key" OFF)

get_filename_component(_ucf_key "${TVX_UCF_PUBLIC_KEY}" ABSOLUTE)
if(_ucf_key STREQUAL TVX_UCF_TEST_KEY AND CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT TVX_UCF_ALLOW_TEST_KEY)
  message(FATAL_ERROR "A Release build verifies URL-category files with the key named by -DTVX_UCF_PUBLIC_KEY=FILE; "
                      "the test key in etc/keys signs files anyone can make")
endif()
if(NOT EXISTS "${_ucf_key}")
  message(FATAL_ERROR "TVX_UCF_PUBLIC_KEY: ${_ucf_key} does not exist")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_ucf_key}")

# Key file: lines "NAME HEX" for p, q, g and y; "#" starts a comment line.
file(STRINGS "${_ucf_key}" _ucf_lines REGEX "^[pqgy] [0-9A-Fa-f]+$")
foreach(_n p q g y)
  set(UCF_KEY_${_n} "")
  foreach(_l ${_ucf_lines})
    if(_l MATCHES "^${_n} ([0-9A-Fa-f]+)$")
      set(UCF_KEY_${_n} "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(UCF_KEY_${_n} STREQUAL "")
    message(FATAL_ERROR "TVX_UCF_PUBLIC_KEY: ${_ucf_key} has no line \"${_n} HEX\"")
  endif()
endforeach()
if(_ucf_key STREQUAL TVX_UCF_TEST_KEY)
  set(UCF_KEY_IS_TEST true)
else()
  set(UCF_KEY_IS_TEST false)
endif()
set(TVX_UCF_KEY_HEADER_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ucf_builtin_key.h.in ${TVX_UCF_KEY_HEADER_DIR}/ucf_builtin_key.h @ONLY)
