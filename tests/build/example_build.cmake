# The example program of the application header (docs/example), compiled by
# the windows preset as C99 with every warning an error, in both include
# orders an application may use: as written, with pondrel.h before
# <windows.h>, and with <windows.h> forced in ahead of everything. Only the
# first is linked: it is the pondrel_example.exe the docs show.
set(PONDREL_EXAMPLE_SOURCE ${CMAKE_SOURCE_DIR}/docs/example/pondrel_example.c)
set(PONDREL_EXAMPLE_OPTIONS -Wall -Wextra -pedantic -Werror)

add_executable(pondrel_example ${PONDREL_EXAMPLE_SOURCE})
set_target_properties(pondrel_example PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  C_STANDARD 99
  C_STANDARD_REQUIRED ON)
target_include_directories(pondrel_example PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(pondrel_example PRIVATE ${PONDREL_EXAMPLE_OPTIONS})
target_link_options(pondrel_example PRIVATE -s)
target_link_libraries(pondrel_example PRIVATE setupapi kernel32)

add_library(pondrel_example_windows_h_first OBJECT ${PONDREL_EXAMPLE_SOURCE})
set_target_properties(pondrel_example_windows_h_first PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON)
target_include_directories(pondrel_example_windows_h_first PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(pondrel_example_windows_h_first PRIVATE ${PONDREL_EXAMPLE_OPTIONS} -include windows.h)
